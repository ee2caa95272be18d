// The PAPPL layer's start-up check: every symbol its stand-ins hand on to
// is found in the PAPPL built against, and one that is not is named.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pappl/layer.h"

namespace {

// Found where they are looked for, or not: each table row is a set of
// symbols and the names the check gives back.
TEST(PapplLayer, CheckNamesWhatIsMissing)
{
    const struct {
        std::vector<LayerSymbol> symbols;
        std::vector<std::string> missing;
    } kCases[] = {
        {{{"papplSystemCreate", true}, {"ippAddStrings", true}, {"_papplJobSubmitFile", false}}, {}},
        {{{"papplSystemCreate", true}, {"_papplNoSuchFunction", true}, {"ippNoSuchCall", false}},
         {"_papplNoSuchFunction", "ippNoSuchCall"}},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(layerMissing(c.symbols), c.missing);
}

// The PAPPL (and libcups, Avahi) this was built against has every one.
TEST(PapplLayer, BuiltAgainstPapplHasEverySymbol)
{
    EXPECT_EQ(layerMissing(layerSymbols()), std::vector<std::string>{});
}

// The refusal names each missing symbol and each hook not handed in; no
// refusal when nothing is missing.
TEST(PapplLayer, RefusalNamesEach)
{
    EXPECT_EQ(layerProblem({}), "");
    const std::string problem = layerProblem({"_papplJobProcess", "ippNoSuchCall", "hook jobsPrinting"});
    EXPECT_EQ(problem.rfind("not starting: ", 0), 0u) << problem;
    for (const char* name : {"_papplJobProcess, ippNoSuchCall,", "hook jobsPrinting", "PAPPL 1.3.1 to 1.4.11"})
        EXPECT_NE(problem.find(name), std::string::npos) << name << " in: " << problem;
    // Nothing handed in: every hook is named.
    const std::vector<std::string> missing = layerMissing();
    EXPECT_NE(std::find(missing.begin(), missing.end(), "hook jobsPrinting"), missing.end());
    EXPECT_NE(std::find(missing.begin(), missing.end(), "hook hidden"), missing.end());
}

} // namespace
