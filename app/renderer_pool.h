// The renderers a PDF job prints with: Ghostscripts, each reading only a
// folder of its own where the job puts its document, and the ready renderers kept
// waiting for the next job.
#pragma once

#include <string>
#include <vector>

#include "renderer_process.h"

// Renderers for one job: pages alternate between them, so one renders a
// page while the other's is being printed.
constexpr int kRenderers = 2;

// Ghost: a Ghostscript and the folder that is all it may read: empty
// until a job puts its document there. A renderer started for one job and
// kept for the next reads the next job's document only.
struct Ghost {
    RenderProcess child;
    std::string folder;
};

// rendererArgs: Ghostscript for pages of w x h pixels at dpi, reading its
// program from standard input (startGhost adds the folder it may read).
std::vector<std::string> rendererArgs(double dpi, int w, int h);

// startGhost: Ghostscript for args, reading its folder only.
Ghost startGhost(const std::vector<std::string>& args);

// endGhost: reap a Ghostscript (killing it first when stop is set) and
// empty its folder; returns its wait status.
int endGhost(Ghost& ghost, bool stop);

// takeGhost: a renderer for args: a ready renderer if one was started for them,
// else a new one; false when none could be started.
bool takeGhost(const std::vector<std::string>& args, Ghost& ghost);

// placeDocument: the job's document (path) into a renderer's folder: a
// hard link where the folder's file system allows and the renderer runs as
// us, else a copy. copied says path is such a copy already, which a
// renderer of the other user may read as it is. Returns the document's
// name there, "" when it could not be put there.
std::string placeDocument(const std::string& path, bool copied, const std::string& folder);

// keepRenderersReady: have kRenderers ready renderers waiting for the media args are for,
// starting what is missing. Ready renderers are kept for the two media sizes printed
// last (A4 and Letter, say), no more. The first call also clears what a
// server of ours killed before left behind.
void keepRenderersReady(const std::vector<std::string>& args);
