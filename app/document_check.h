// Checks on a job's document before it is printed: what format it is, and
// whether a JPEG picture is whole.
#pragma once

#include <cstddef>

#include "printer_vocabulary.h"

// jpegEndsWhole: whether JPEG data runs from its start marker to its end
// marker. A file cut short still decodes (the missing part comes out grey),
// so only this tells a whole picture from a part of one.
bool jpegEndsWhole(const unsigned char* data, std::size_t size);

// jpegFileEndsWhole: the same for a file; false when it cannot be read.
bool jpegFileEndsWhole(const char* path);

// documentFormat: the MIME type of a document by its first n bytes, one of
// kDocumentFormats (printer_vocabulary.h); nullptr for anything else.
const char* documentFormat(const unsigned char* head, std::size_t n);
