// What the CUPS tests share: the driver installed into a private tree that
// real CUPS programs run from, cupsfilter and a private cupsd on that tree,
// and the check that a printer stream prints exactly the raster CUPS made.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace cupstest {

using qtest::Bytes;

// program: the absolute path of a CUPS command (PATH, then the sbin folders).
std::string program(const std::string& name);

// The build installed with DESTDIR=root, as a packager would, then completed
// with links to this machine's CUPS filters, daemons and data so that
// cupsfilter and cupsd can use it as their ServerBin and DataDir. Our own
// files in it are the installed ones, never links.
struct InstallTree {
    std::string root;       // the DESTDIR
    std::string serverBin;  // root + the configured ServerBin
    std::string dataDir;    // root + the configured DataDir
    std::string filter() const { return serverBin + "/filter/rastertoquorvel"; }
    std::string ppd() const { return dataDir + "/model/quorvel/quorvel.ppd"; }
};

// installBuild: `cmake --install` of this build with DESTDIR=root.
qtest::RunResult installBuild(const std::string& root);

// cupsTree: this test process's install tree, made on first use; throws
// when the install fails.
const InstallTree& cupsTree();

// Paths the install rules were configured with (no DESTDIR).
std::string installServerBin();
std::string installDataDir();

// The PPD in the source tree.
std::string sourcePpd();

// CUPS's own test page and a plain text file of several pages.
std::string testPage();
std::string textFile();

// readRaster: the pages of a CUPS raster stream, read with libcups.
std::vector<qtest::RasterPage> readRaster(const Bytes& data);

// expectPrintsRaster: stream decodes as a whole job whose settings block
// carries density, weight and the first page's size in dots, with one page
// per raster page, each equal to it pixel for pixel.
void expectPrintsRaster(const Bytes& stream, const std::vector<qtest::RasterPage>& raster,
                        int density, int weight);

// cupsfilter run on the install tree with a PPD, as `cupsfilter -e` does
// for a queue: every filter the PPD names, up to the given MIME type.
struct Cupsfilter {
    std::string conf;  // its cups-files.conf
    qtest::RunResult run(const std::string& ppd, const std::string& mimeType,
                         const std::vector<std::string>& options, const std::string& file,
                         int copies = 1) const;
};
const Cupsfilter& cupsfilter();

// A cupsd of our own on a Unix socket in a temporary folder, with its own
// configuration, spool and logs, using the install tree. It never touches
// the system's configuration or spool and can run beside a system cupsd.
class PrivateCupsd {
public:
    explicit PrivateCupsd(const std::string& dir);
    ~PrivateCupsd();

    // start: launch it in the foreground of a child process and wait until
    // it answers; false with why when it does not.
    bool start(std::string& why);
    // stop: end it by its process id.
    void stop();

    std::string socket() const { return dir_ + "/cups.sock"; }
    std::string devicePath(const std::string& queue) const { return dir_ + "/out/" + queue + ".prn"; }
    std::string queuePpd(const std::string& queue) const { return dir_ + "/ppd/" + queue + ".ppd"; }
    std::string errorLog() const;

    // tool: a CUPS command run against this server.
    qtest::RunResult tool(std::vector<std::string> argv) const;
    // submit: `lp` a file to queue; the job id, or 0 with why.
    int submit(const std::string& queue, const std::vector<std::string>& options,
               const std::string& file, std::string& why) const;
    // waitForJob: true once the job completed; false with why when it ended
    // otherwise or did not end within a bounded time.
    bool waitForJob(int job, std::string& why) const;

private:
    std::string dir_;
    pid_t pid_ = -1;
};

}  // namespace cupstest
