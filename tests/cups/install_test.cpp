// The install rules: what `cmake --install` puts where, under DESTDIR, and
// that the installed PPD passes cupstestppd with the installed filter.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <sstream>
#include <string>

#include "cups_harness.h"

namespace {

using cupstest::installBuild;

mode_t modeOf(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode;
}

// The files the install reported, from its "-- Installing: " lines.
std::vector<std::string> installedPaths(const qtest::RunResult& r)
{
    std::vector<std::string> paths;
    std::istringstream in(std::string(r.out.begin(), r.out.end()));
    for (std::string line; std::getline(in, line);) {
        for (const std::string mark : {"-- Installing: ", "-- Up-to-date: "})
            if (line.rfind(mark, 0) == 0)
                paths.push_back(line.substr(mark.size()));
    }
    return paths;
}

TEST(Install, PutsFilterAndPpdWhereCupsLooksUnderDestdir)
{
    const std::string root = qtest::tempDir() + "/destdir";
    const qtest::RunResult r = installBuild(root);
    ASSERT_EQ(r.status, 0) << std::string(r.out.begin(), r.out.end()) << r.err;

    // Nothing lands outside DESTDIR, so packagers can stage the driver.
    const std::vector<std::string> paths = installedPaths(r);
    EXPECT_FALSE(paths.empty());
    for (const std::string& path : paths)
        EXPECT_EQ(path.rfind(root + "/", 0), 0u) << path << " is outside DESTDIR";

    const std::string filter = root + cupstest::installServerBin() + "/filter/rastertoquorvel";
    const mode_t fmode = modeOf(filter);
    ASSERT_TRUE(S_ISREG(fmode)) << filter << " is not installed";
    EXPECT_EQ(fmode & 07777, 0755u) << std::oct << (fmode & 07777);
    // It is our filter: run without a job it says it started and refuses.
    const qtest::RunResult run = qtest::run({filter}, {});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("----------------StartPage...\n", 0), 0u) << run.err;
    EXPECT_TRUE(run.out.empty());

    const std::string ppd = root + cupstest::installDataDir() + "/model/quorvel/quorvel.ppd";
    const mode_t pmode = modeOf(ppd);
    ASSERT_TRUE(S_ISREG(pmode)) << ppd << " is not installed";
    EXPECT_EQ(pmode & 07777, 0644u) << std::oct << (pmode & 07777);
    EXPECT_EQ(qtest::readFile(ppd), qtest::readFile(cupstest::sourcePpd()));
}

TEST(Install, InstalledPpdPassesCupstestppd)
{
    const cupstest::InstallTree& tree = cupstest::cupsTree();
    const std::string cupstestppd = cupstest::program("cupstestppd");

    // -R makes cupstestppd look for the filter in the install tree.
    const qtest::RunResult r = qtest::run({cupstestppd, "-R", tree.root, tree.ppd()}, {});
    const std::string out(r.out.begin(), r.out.end());
    EXPECT_EQ(r.status, 0) << out << r.err;
    EXPECT_NE(out.find(": PASS"), std::string::npos) << out;
    EXPECT_EQ(out.find("FAIL"), std::string::npos) << out;
    // Its only remarks: sizes without margins "should be" named
    // *.Fullbleed, but these are the printer's ordinary sizes, and the
    // filter wants the whole sheet.
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("WARN") != std::string::npos) {
            EXPECT_NE(line.find(".Fullbleed\""), std::string::npos) << line;
        }
    }

    // And the filter check is real: without the installed filter it fails.
    const std::string empty = qtest::tempDir() + "/no-filter-root";
    mkdir(empty.c_str(), 0755);
    const qtest::RunResult bare = qtest::run({cupstestppd, "-R", empty, tree.ppd()}, {});
    const std::string bareOut(bare.out.begin(), bare.out.end());
    EXPECT_NE(bare.status, 0);
    EXPECT_NE(bareOut.find("Missing cupsFilter file"), std::string::npos) << bareOut;
}

}  // namespace
