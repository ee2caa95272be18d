// A job as the driver prints it, kept apart from PAPPL so it can be driven
// and tested on its own: the job's settings from its IPP options, the
// printer stream it builds, which pages it prints or leaves out, and the
// device writes that carry the stream. The page loop keeps it on the PAPPL
// job (job_data.h); the driver's callbacks find it there.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "printer_stream.h"

// DeviceWrite: PAPPL's papplDeviceWrite, or a stand-in in the tests.
using DeviceWrite = ssize_t (*)(void* device, const void* bytes, std::size_t len);

// JobOptions: what the driver reads from a job's options.
struct JobOptions {
    int darknessConfigured = 50;  // printer-darkness-configured, 0..100
    int printDarkness = 0;        // print-darkness, -100..100, relative to it
    std::string paperWeight;      // paper-weight keyword ("" for the default)
    int sides = 1;                // 1 one-sided, 2 long edge, 4 short edge (PAPPL's bits)
    bool manualDuplex = false;    // manual-duplex=on
    int copies = 1;               // copies
    bool copiesInSettings = false; // the settings block carries copies; later pages are PAPPL's repeats
    bool singlePage = false;      // the document has one page (JPEG, PNG)
};

// AppJob: everything a job needs while it prints; nothing about a job
// lives anywhere else.
struct AppJob {
    QuorvelJob stream;
    PrintJobAttr attr;
    JobOptions options;
    const char* format = nullptr; // the document's MIME type, which decides where copies are made
    QuorvelPage client;           // the raster page as the client sent it, when clientSet
    bool clientSet = false;       // the page is judged by client's size, not the media's
    DeviceWrite write = nullptr;
    void* device = nullptr;
    int writeErrno = 0;        // the write that stopped the job, or 0
    bool started = false;      // the settings block has gone out
    bool skipPage = false;     // the current page is left out
    int pagesSeen = 0;         // page headers the driver received
    int pagesPrinted = 0;      // pages that went to the printer
    std::string refused;       // why pages were left out, for the job message
    std::string shortPage;     // a page that ended before its last row
};

// darknessLevel: density level 0 (darkest) .. 4 (lightest) for a printer
// darkness and a job's relative darkness.
int darknessLevel(int configured, int printDarkness);

// paperWeightLevel: paper weight level 0 (heaviest) .. 4 (lightest) for a
// paper-weight keyword; the default (3) for an empty or unknown one.
int paperWeightLevel(const std::string& keyword);

// jobAttrFromOptions: the printer settings a job's options ask for.
PrintJobAttr jobAttrFromOptions(const JobOptions& options);

// pageProblem: the sentence saying why the printer cannot take page number
// pageNumber (from 1), or "" when it can.
std::string pageProblem(const QuorvelPage& page, int pageNumber);

// appJobBegin: start the job's stream over write and device.
void appJobBegin(AppJob& job, const JobOptions& options, DeviceWrite write, void* device);

// appPageAsSent: page as the job judges it: the client's size for a raster
// page the client sent (before it was fitted to the media), else page.
QuorvelPage appPageAsSent(const AppJob& job, const QuorvelPage& page);

// appPageBegin, appRow, appPageEnd, appJobEnd: the driver's page and row
// calls. Each returns false once the printer stopped taking data
// (writeErrno says why); a page the printer cannot take is left out and
// noted in refused.
// appPageBegin judges the page by sent, the page as the document has it,
// and prints page, the page as PAPPL fitted it to the media.
bool appPageBegin(AppJob& job, const QuorvelPage& page, const QuorvelPage& sent);
bool appRow(AppJob& job, const unsigned char* row);
bool appPageEnd(AppJob& job);
bool appJobEnd(AppJob& job);

// appJobsRunning: how many jobs are printing now, in this process
// (job_data.cpp, from PAPPL's own job lists).
int appJobsRunning();

// appJobsEach: fn for each job printing now (its PAPPL job and device); no
// job ends meanwhile.
void appJobsEach(void (*fn)(const void* key, void* device));

// appDeviceSink: the library's sink over job.write; resumes writes that a
// signal interrupted or cut short.
int appDeviceSink(void* context, const unsigned char* bytes, std::size_t len);
