// PAPPL 1.3.1 checks a document's format against document-format-supported
// among the printer's own attributes, where the driver's are not, so it
// takes a document of any format (text/plain, PostScript, whatever a client
// names) and then aborts the job with no word of why. For a document sent
// as application/octet-stream it recognises only a PDF whose header is its
// first byte.
//
// This stands in front of _papplJobValidateDocumentAttributes, which PAPPL's
// Print-Job, Validate-Job and Send-Document reach through the dynamic
// linker: a format we do not print is refused there with
// client-error-document-format-not-supported and a message, and a document
// sent as application/octet-stream is recognised by the application's own
// check (its detectFormat hook, layer.h) or refused the same way. The app_server_documents
// table's text, PostScript and random-bytes rows fail without it.
//
// PAPPL 1.3.1 also takes any value of the driver's own job attributes
// (paper-weight, manual-duplex) and prints the job with the default: a
// value the printer does not have is refused here too, with
// client-error-attributes-or-values-not-supported (the odd-attribute rows
// of the same case).
#include <pappl/pappl.h>

#include <cstring>

#include <string>

#include "interpose.h"
#include "layer.h"

namespace {

// printable: whether the printer prints documents of this MIME type.
bool printable(const char* format)
{
    for (const LayerFormat& f : layerHooks().formats)
        if (format && std::strcmp(format, f.mime) == 0)
            return true;
    return false;
}

// refuse: the request's answer for a format the printer does not print.
bool refuse(pappl_client_t* client, const char* format)
{
    papplClientRespondIPP(client, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED,
                          "This printer does not print %s documents; it prints %s.",
                          format ? format : "unrecognised", layerHooks().formatsInWords.c_str());
    return false;
}

// vendorValuesOk: every value of the driver's own job attributes (its
// vendor options) in the request is one the printer has; otherwise the
// request is answered.
bool vendorValuesOk(pappl_client_t* client, ipp_t* request)
{
    pappl_printer_t* printer = papplClientGetPrinter(client);
    if (printer == nullptr)
        return true;
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    ipp_t* attrs = papplPrinterGetDriverAttributes(printer);
    bool ok = true;
    for (int i = 0; ok && attrs != nullptr && i < data.num_vendor; ++i) {
        const char* name = data.vendor[i];
        ipp_attribute_t* attr = ippFindAttribute(request, name, IPP_TAG_ZERO);
        if (attr == nullptr)
            continue;
        const std::string supported = std::string(name) + "-supported";
        const std::string problem = layerHooks().keywordProblem(
            name, ippGetValueTag(attr) == IPP_TAG_KEYWORD ? ippGetString(attr, 0, nullptr) : "",
            ippFindAttribute(attrs, supported.c_str(), IPP_TAG_KEYWORD));
        if (!problem.empty() || ippGetCount(attr) != 1) {
            papplClientRespondIPPUnsupported(client, attr);
            ok = false;
        }
    }
    ippDelete(attrs);
    return ok;
}

} // namespace

extern "C" bool _papplJobValidateDocumentAttributes(pappl_client_t* client)
{
    static const auto validate =
        nextDefinition("_papplJobValidateDocumentAttributes", &_papplJobValidateDocumentAttributes);
    if (!validate(client))
        return false;
    ipp_t* request = papplClientGetRequest(client);
    const ipp_op_t op = ippGetOperation(request);
    if (op != IPP_OP_PRINT_JOB && op != IPP_OP_SEND_DOCUMENT && op != IPP_OP_VALIDATE_JOB)
        return vendorValuesOk(client, request);
    if (!vendorValuesOk(client, request))
        return false;
    const char* format = ippGetString(ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE), 0, nullptr);
    if (const char* detected = ippGetString(ippFindAttribute(request, "document-format-detected", IPP_TAG_MIMETYPE), 0, nullptr))
        return printable(detected) || refuse(client, detected);
    if (format != nullptr && std::strcmp(format, "application/octet-stream") != 0)
        return printable(format) || refuse(client, format);
    if (op == IPP_OP_VALIDATE_JOB)
        return true; // no document to look at yet
    unsigned char head[1024];
    const ssize_t n = httpPeek(papplClientGetHTTP(client), reinterpret_cast<char*>(head), sizeof head);
    const char* found = n > 0 ? layerHooks().detectFormat(head, static_cast<std::size_t>(n)) : nullptr;
    if (found == nullptr)
        return refuse(client, nullptr);
    ippAddString(request, IPP_TAG_JOB, IPP_TAG_MIMETYPE, "document-format-detected", nullptr, found);
    return true;
}
