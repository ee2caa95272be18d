// Which printer defaults the printer has: one check for the web page, IPP
// clients and the modify sub-command, so that a value is either refused
// with a reason or is what every job then prints with.
#pragma once

#include <pappl/pappl.h>

#include <string>

// quorvelDarknessSteps: the printer-darkness-configured values the printer
// has (and its web page offers): 0, 25, 50, 75, 100 for five levels.
std::string quorvelDarknessSteps(int levels);

// quorvelDarknessProblem: why configured cannot be the printer's darkness
// with this many levels, or "" when it can.
std::string quorvelDarknessProblem(int configured, int levels);

// quorvelKeywordProblem: why value is not one of the keywords in supported
// (an xxx-supported attribute) for option name, or "".
std::string quorvelKeywordProblem(const char* name, const char* value, ipp_attribute_t* supported);

// quorvelDefaultsProblem: why a printer cannot take these defaults (driver
// data as PAPPL would store it, vendor NAME=VALUE pairs), checked against
// the printer's supported values in attrs; "" when it can.
std::string quorvelDefaultsProblem(const pappl_pr_driver_data_t& data, int num_vendor, cups_option_t* vendor,
                                   ipp_t* attrs);
