// The PAPPL layer: the stand-ins in app/pappl/ that work round faults of
// the PAPPL versions the application is built on (see layer.cpp for the
// list). The layer knows nothing of the application: what the stand-ins
// need of it, the application hands in here before the server starts. And
// the server starts only when everything the stand-ins hand on to is there
// (layerMissing).
#pragma once

#include <pappl/pappl.h>

#include <cstddef>
#include <string>
#include <vector>

// A document format the printer prints: its MIME type and its name in the
// message that refuses other formats ("PDF", "PWG raster").
struct LayerFormat {
    const char* mime;
    const char* name;
};

// What the stand-ins ask of the application. Every member is set.
struct LayerHooks {
    // Jobs: how many are printing now; fn for each of them (its key and
    // its device) while none ends; that a stop signal came (called from
    // the signal handler); and whether one has.
    int (*jobsPrinting)() = nullptr;
    void (*eachPrintingJob)(void (*fn)(const void* key, void* device)) = nullptr;
    void (*noteStop)() = nullptr;
    bool (*stopping)() = nullptr;

    // Documents: the formats printed, and their names in a sentence ("PDF,
    // JPEG and PNG"); the format of a document by its first n bytes
    // (nullptr when it is none of them); whether a format is PWG or Apple
    // raster.
    std::vector<LayerFormat> formats;
    std::string formatsInWords;
    const char* (*detectFormat)(const unsigned char* head, std::size_t n) = nullptr;
    bool (*isRaster)(const char* mime) = nullptr;

    // Options: why value is not one of the keywords of supported for
    // option name, and why a printer cannot take these defaults; "" when
    // it can.
    std::string (*keywordProblem)(const char* name, const char* value, ipp_attribute_t* supported) = nullptr;
    std::string (*defaultsProblem)(const pappl_pr_driver_data_t& data, int num_vendor, cups_option_t* vendor,
                                   ipp_t* attrs) = nullptr;

    // Who may do what: the client's credentials checked (false: answered);
    // HTTP_STATUS_CONTINUE for an administrator, else the answer; who sends
    // the request; whether that is the job's owner; whether the client may
    // see and change the whole job; why a printer may not have a device
    // URI (""); and what others see of a job's name and owner.
    bool (*identify)(pappl_client_t* client) = nullptr;
    http_status_t (*administrator)(pappl_client_t* client) = nullptr;
    std::string (*requester)(pappl_client_t* client) = nullptr;
    bool (*isOwner)(const std::string& requester, pappl_job_t* job) = nullptr;
    bool (*ownsOrAdministers)(pappl_client_t* client, pappl_job_t* job) = nullptr;
    std::string (*deviceProblem)(const char* device_uri) = nullptr;
    const char* hidden = nullptr;
};

// layerSetHooks: what the stand-ins call; before the server starts.
void layerSetHooks(const LayerHooks& hooks);

// layerHooks: the hooks the application handed in.
const LayerHooks& layerHooks();

// A symbol the layer relies on: a stand-in's own name, whose definition
// after ours (in PAPPL, libcups, Avahi or the C library) it hands on to, or
// a private PAPPL function looked up by name.
struct LayerSymbol {
    const char* name;
    bool next; // true: the definition after ours (RTLD_NEXT); false: any (RTLD_DEFAULT)
};

// layerSymbols: every symbol the stand-ins built into this program rely on.
const std::vector<LayerSymbol>& layerSymbols();

// layerMissing: the names among symbols that have no definition where
// they are looked for.
std::vector<std::string> layerMissing(const std::vector<LayerSymbol>& symbols);

// layerMissing: those of layerSymbols(), then "hook NAME" for each hook
// the application did not hand in.
std::vector<std::string> layerMissing();

// layerProblem: the message that refuses to start over what is missing,
// naming each; "" when nothing is.
std::string layerProblem(const std::vector<std::string>& missing);
