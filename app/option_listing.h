// The options and defaults of a printer as the sub-commands show and check
// them: what `options` lists, what `modify -o` refuses before PAPPL stores
// it, and submit's print-darkness brought into its range.
#pragma once

#include <pappl/pappl.h>

#include <string>
#include <vector>

// quorvelShowOptions: what submit and modify take on the printer whose
// attributes are attrs, with its current defaults. Returns the exit status.
int quorvelShowOptions(ipp_t* attrs);

// quorvelModifyProblem: why modify cannot set all of these -o options on
// the printer whose attributes are attrs, or "".
std::string quorvelModifyProblem(int num_options, cups_option_t* options, ipp_t* attrs);

// quorvelClampJobDarkness: submit's print-darkness brought into -100 to
// 100 in the -o arguments argv[optionArgs] (PAPPL's submit drops a value
// outside it); false, with a message that begins with program, when it is
// not a number.
bool quorvelClampJobDarkness(const char* program, const std::vector<int>& optionArgs, char* argv[]);

// quorvelClampDarkness: a job's print-darkness brought into -100 to 100;
// false when value is not a whole number.
bool quorvelClampDarkness(const char* value, int* clamped);
