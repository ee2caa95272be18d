// PAPPL 1.3.1 stores whatever printer defaults it is
// given through papplPrinterSetDriverDefaults: a vendor option's default
// that is not among its supported keywords (the web page then shows the
// first choice while jobs get the stored word), and any
// printer-darkness-configured, though its web page offers only the
// printer's steps and shows another value as the first one. Both the
// Printing Defaults page and Set-Printer-Attributes (the modify
// sub-command) reach it through the dynamic linker. This stands in front of
// it and refuses such defaults (the application's defaultsProblem hook,
// layer.h, says which): the page then says "Bad printer defaults."
// and IPP clients get client-error-attributes-or-values-not-supported. The
// page then shows the values kept (PAPPL would show the refused ones).
// Without it, ui_test.sh's "web" and "refuse" cases fail.
#include <pappl/pappl.h>

#include <string>

#include "interpose.h"
#include "layer.h"

extern "C" bool papplPrinterSetDriverDefaults(pappl_printer_t* printer, pappl_pr_driver_data_t* data,
                                              int num_vendor, cups_option_t* vendor)
{
    static const auto set = nextDefinition("papplPrinterSetDriverDefaults", &papplPrinterSetDriverDefaults);
    if (printer && data) {
        ipp_t* attrs = papplPrinterGetDriverAttributes(printer);
        const std::string problem = layerHooks().defaultsProblem(*data, num_vendor, vendor, attrs);
        ippDelete(attrs);
        if (!problem.empty()) {
            papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Refused printer defaults: %s.", problem.c_str());
            // The web page draws its form from data after this call: it
            // shows what the printer keeps, not the values it refused.
            papplPrinterGetDriverData(printer, data);
            return false;
        }
    }
    return set(printer, data, num_vendor, vendor);
}
