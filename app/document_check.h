// Checks on a job's document that PAPPL leaves to the driver, and the words
// a user sees when PAPPL finds a document it cannot read.
#pragma once

#include <cstddef>

// jpegEndsWhole: whether JPEG data runs from its start marker to its end
// marker. A file cut short still decodes (the missing part comes out grey),
// so only this tells a whole picture from a part of one.
bool jpegEndsWhole(const unsigned char* data, std::size_t size);

// jpegFileEndsWhole: the same for a file; false when it cannot be read.
bool jpegFileEndsWhole(const char* path);

// documentProblem: the job message for a document of MIME type format that
// PAPPL stopped with document-format-error (formatError) or
// document-unprintable-error; nullptr for other formats.
const char* documentProblem(const char* format, bool formatError);
