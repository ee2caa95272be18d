// The CUPS test harness: an install tree, cupsfilter and a private cupsd on
// it, and the pixel-for-pixel check of a printer stream against a raster.
#include "cups_harness.h"

#include <cups/cups.h>
#include <cups/raster.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "stream_decoder.h"

namespace cupstest {

namespace {

// How long a job or the scheduler may take before the test gives up on it.
// Only a guard against hanging: nothing asserts how long anything took.
constexpr auto kJobLimit = std::chrono::seconds(180);
constexpr auto kStartLimit = std::chrono::seconds(30);
constexpr auto kStopLimit = std::chrono::seconds(20);
constexpr auto kPoll = std::chrono::milliseconds(100);

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void makeDir(const std::string& path, mode_t mode)
{
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    // mkdir's mode is cut by the umask; the scheduler's user needs the bits.
    chmod(path.c_str(), mode);
}

void link(const std::string& target, const std::string& path)
{
    if (!exists(path) && symlink(target.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot link " + path + ": " + std::strerror(errno));
}

// openTempDir: the test process's temporary folder, opened up so that the
// scheduler's unprivileged user can reach what lies below it.
std::string openTempDir()
{
    const std::string dir = qtest::tempDir();
    chmod(dir.c_str(), 0755);
    return dir;
}

gid_t lpGroup()
{
    const group* g = getgrnam("lp");
    return g != nullptr ? g->gr_gid : 7;
}

std::string lastLines(const std::string& text, std::size_t count)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::string out;
    for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
        out += lines[i] + "\n";
    return out;
}

std::string hexBytes(const std::vector<unsigned char>& bytes, std::size_t from, std::size_t count)
{
    std::string out;
    char buf[4];
    for (std::size_t i = from; i < bytes.size() && i < from + count; ++i) {
        std::snprintf(buf, sizeof buf, "%02X ", bytes[i]);
        out += buf;
    }
    return out;
}

}  // namespace

std::string program(const std::string& name)
{
    std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
    dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::istringstream in(dirs);
    for (std::string dir; std::getline(in, dir, ':');) {
        const std::string path = dir + "/" + name;
        if (!dir.empty() && access(path.c_str(), X_OK) == 0)
            return path;
    }
    return name;
}

std::string installServerBin() { return QUORVEL_INSTALL_SERVERBIN; }
std::string installDataDir() { return QUORVEL_INSTALL_DATADIR; }
std::string sourcePpd() { return qtest::sourceDir() + "/ppd/quorvel.ppd"; }
std::string testPage() { return std::string(QUORVEL_SYSTEM_DATADIR) + "/data/default-testpage.pdf"; }

std::string textFile()
{
    const std::string path = openTempDir() + "/letter.txt";
    if (!exists(path)) {
        std::string text;
        for (int i = 1; i <= 150; ++i)
            text += "Line " + std::to_string(i) + ": the quick brown fox jumps over the lazy dog " +
                    std::string(static_cast<std::size_t>(i % 23), '#') + "\n";
        qtest::writeFile(path, text);
    }
    return path;
}

qtest::RunResult installBuild(const std::string& root)
{
    // Installed folders must be open to the scheduler's user whatever the
    // umask of whoever runs the tests.
    umask(022);
    return qtest::run({QUORVEL_CMAKE_COMMAND, "--install", QUORVEL_BUILD_DIR}, {{"DESTDIR", root}});
}

const InstallTree& cupsTree()
{
    static InstallTree tree;
    if (!tree.root.empty())
        return tree;

    const std::string root = openTempDir() + "/root";
    const qtest::RunResult r = installBuild(root);
    if (r.status != 0)
        throw std::runtime_error("cmake --install failed:\n" +
                                 std::string(r.out.begin(), r.out.end()) + r.err);
    InstallTree t;
    t.root = root;
    t.serverBin = root + installServerBin();
    t.dataDir = root + installDataDir();

    // Everything of this machine's CUPS beside our files. Driver programs
    // are left out: lpinfo -m would run them, and some look for network
    // printers.
    const std::string sysBin = QUORVEL_SYSTEM_SERVERBIN;
    for (const std::string& name : entries(sysBin)) {
        if (name == "filter") {
            makeDir(t.serverBin + "/filter", 0755);
            for (const std::string& f : entries(sysBin + "/filter"))
                link(sysBin + "/filter/" + f, t.serverBin + "/filter/" + f);
        } else if (name == "driver") {
            makeDir(t.serverBin + "/driver", 0755);
        } else {
            link(sysBin + "/" + name, t.serverBin + "/" + name);
        }
    }
    const std::string sysData = QUORVEL_SYSTEM_DATADIR;
    for (const std::string& name : entries(sysData))
        if (name != "model")
            link(sysData + "/" + name, t.dataDir + "/" + name);

    tree = t;
    return tree;
}

namespace {

struct MemoryReader {
    const Bytes* data;
    std::size_t pos;
};

ssize_t readMemory(void* ctx, unsigned char* buffer, size_t length)
{
    auto* r = static_cast<MemoryReader*>(ctx);
    const std::size_t n = std::min(length, r->data->size() - r->pos);
    std::memcpy(buffer, r->data->data() + r->pos, n);
    r->pos += n;
    return static_cast<ssize_t>(n);
}

}  // namespace

std::vector<qtest::RasterPage> readRaster(const Bytes& data)
{
    std::vector<qtest::RasterPage> pages;
    MemoryReader reader{&data, 0};
    cups_raster_t* ras = cupsRasterOpenIO(readMemory, &reader, CUPS_RASTER_READ);
    if (ras == nullptr)
        return pages;
    cups_page_header2_t h;
    while (cupsRasterReadHeader2(ras, &h)) {
        qtest::RasterPage page{h, {}};
        for (unsigned r = 0; r < h.cupsHeight; ++r) {
            Bytes row(h.cupsBytesPerLine);
            if (cupsRasterReadPixels(ras, row.data(), h.cupsBytesPerLine) != h.cupsBytesPerLine)
                break;
            page.rows.push_back(std::move(row));
        }
        pages.push_back(std::move(page));
    }
    cupsRasterClose(ras);
    return pages;
}

void expectPrintsRaster(const Bytes& stream, const std::vector<qtest::RasterPage>& raster,
                        int density, int weight)
{
    ASSERT_FALSE(raster.empty()) << "CUPS rendered no page";
    for (std::size_t p = 0; p < raster.size(); ++p) {
        // The raster the PPD asks CUPS for is the one the filter reads.
        const cups_page_header2_t& h = raster[p].header;
        SCOPED_TRACE("raster page " + std::to_string(p + 1));
        EXPECT_EQ(h.cupsBitsPerColor, 1u);
        EXPECT_EQ(h.cupsBitsPerPixel, 1u);
        EXPECT_EQ(h.cupsColorSpace, CUPS_CSPACE_W);
        EXPECT_EQ(h.HWResolution[0], 600u);
        EXPECT_EQ(h.HWResolution[1], 600u);
        EXPECT_LE(h.cupsHeight, 10000u);
        EXPECT_LE(h.cupsBytesPerLine, 797u);
        ASSERT_EQ(raster[p].rows.size(), h.cupsHeight) << "CUPS's raster is cut short";
    }

    quorvel::DecodedStream ds;
    quorvel::DecodeError err;
    ASSERT_TRUE(quorvel::decodeStream(stream.data(), stream.size(), ds, err))
        << "the printer stream (" << stream.size() << " bytes) breaks at byte " << err.offset
        << ": expected " << err.expected << ", found " << err.found;

    const cups_page_header2_t& first = raster[0].header;
    // The raster is the whole sheet the size command names, so row 0 is
    // the sheet's top edge (dots truncated by the filter, rounded by CUPS).
    EXPECT_NEAR(first.cupsWidth, first.PageSize[0] * 600.0 / 72, 1.0);
    EXPECT_NEAR(first.cupsHeight, first.PageSize[1] * 600.0 / 72, 1.0);
    EXPECT_TRUE(ds.settings.present);
    EXPECT_EQ(ds.settings.density, density);
    EXPECT_EQ(ds.settings.weight, weight);
    EXPECT_EQ(ds.settings.widthDots, first.PageSize[0] * first.HWResolution[0] / 72);
    EXPECT_EQ(ds.settings.heightDots, first.PageSize[1] * first.HWResolution[1] / 72);
    EXPECT_EQ(ds.settings.copies, std::max(1u, first.NumCopies));
    EXPECT_TRUE(ds.endOfJob);
    ASSERT_EQ(ds.pages.size(), raster.size());

    for (std::size_t p = 0; p < raster.size(); ++p) {
        const cups_page_header2_t& h = raster[p].header;
        const quorvel::DecodedPage& page = ds.pages[p];
        SCOPED_TRACE("page " + std::to_string(p + 1));
        ASSERT_EQ(page.rows.size(), h.cupsHeight);
        const std::size_t L = h.cupsWidth / 8;
        std::size_t wrong = 0, firstWrong = 0;
        std::vector<unsigned char> expected, firstExpected;
        for (std::size_t r = 0; r < h.cupsHeight; ++r) {
            const Bytes& in = raster[p].rows[r];
            expected.clear();
            const bool blank = std::all_of(in.begin(), in.begin() + static_cast<long>(L),
                                           [](unsigned char b) { return b == 0xFF; });
            if (!blank) {
                // The printer's lead bytes are white; its set bits are black.
                expected.assign(3, 0x00);
                for (std::size_t i = 0; i < L; ++i)
                    expected.push_back(static_cast<unsigned char>(~in[i]));
            }
            if (page.rows[r] != expected && wrong++ == 0) {
                firstWrong = r;
                firstExpected = expected;
            }
        }
        if (wrong == 0)
            continue;
        const std::vector<unsigned char>& got = page.rows[firstWrong];
        std::size_t col = 0;
        while (col < got.size() && col < firstExpected.size() && got[col] == firstExpected[col])
            ++col;
        const std::size_t from = col > 4 ? col - 4 : 0;
        ADD_FAILURE() << wrong << " of " << h.cupsHeight << " rows differ; first is row "
                      << firstWrong << " (" << got.size() << " bytes printed, "
                      << firstExpected.size() << " rendered), from byte " << from
                      << ": printed [" << hexBytes(got, from, 12) << "], CUPS rendered ["
                      << hexBytes(firstExpected, from, 12) << "]";
    }
}

qtest::RunResult Cupsfilter::run(const std::string& ppd, const std::string& mimeType,
                                 const std::vector<std::string>& options, const std::string& file,
                                 int copies) const
{
    std::vector<std::string> argv = {program("cupsfilter"), "-c", conf, "-p", ppd, "-e",
                                     "-m", mimeType, "-n", std::to_string(copies)};
    for (const std::string& o : options) {
        argv.push_back("-o");
        argv.push_back(o);
    }
    argv.push_back(file);
    return qtest::run(argv, {});
}

const Cupsfilter& cupsfilter()
{
    static Cupsfilter cf;
    if (!cf.conf.empty())
        return cf;
    const InstallTree& tree = cupsTree();
    const std::string dir = openTempDir() + "/cupsfilter";
    makeDir(dir, 0755);
    makeDir(dir + "/etc", 0755);  // no local MIME rules: only CUPS's own
    makeDir(dir + "/tmp", 01777);
    qtest::writeFile(dir + "/cups-files.conf",
                     "ServerRoot " + dir + "/etc\n"
                     "ServerBin " + tree.serverBin + "\n"
                     "DataDir " + tree.dataDir + "\n"
                     "TempDir " + dir + "/tmp\n");
    cf.conf = dir + "/cups-files.conf";
    return cf;
}

PrivateCupsd::PrivateCupsd(const std::string& dir) : dir_(dir) {}

PrivateCupsd::~PrivateCupsd() { stop(); }

std::string PrivateCupsd::errorLog() const { return qtest::readFile(dir_ + "/log/error_log"); }

bool PrivateCupsd::start(std::string& why)
{
    const InstallTree& tree = cupsTree();
    openTempDir();
    makeDir(dir_, 0755);
    for (const char* sub : {"/out", "/log", "/cache", "/state", "/ssl"})
        makeDir(dir_ + sub, 0755);
    makeDir(dir_ + "/spool", 0710);
    makeDir(dir_ + "/spool/tmp", 01770);
    // Filters write their temporary files here as the scheduler's user.
    chown((dir_ + "/spool").c_str(), 0, lpGroup());
    chown((dir_ + "/spool/tmp").c_str(), 0, lpGroup());

    qtest::writeFile(dir_ + "/cups-files.conf",
                     "ServerRoot " + dir_ + "\n"
                     "ServerBin " + tree.serverBin + "\n"
                     "DataDir " + tree.dataDir + "\n"
                     "RequestRoot " + dir_ + "/spool\n"
                     "TempDir " + dir_ + "/spool/tmp\n"
                     "CacheDir " + dir_ + "/cache\n"
                     "StateDir " + dir_ + "/state\n"
                     "ServerKeychain " + dir_ + "/ssl\n"
                     "CreateSelfSignedCerts no\n"
                     "ErrorLog " + dir_ + "/log/error_log\n"
                     "AccessLog " + dir_ + "/log/access_log\n"
                     "PageLog " + dir_ + "/log/page_log\n"
                     "Printcap " + dir_ + "/printcap\n"
                     "FileDevice Yes\n"
                     "User lp\n"
                     "Group lp\n"
                     "SystemGroup root\n");
    // Only the Unix socket: no network port, no printer sharing or
    // discovery, no authentication. A failing filter aborts its job rather
    // than stopping the queue, so a test sees the failure at once.
    qtest::writeFile(dir_ + "/cupsd.conf",
                     "LogLevel debug\n"
                     "MaxLogSize 0\n"
                     "Listen " + socket() + "\n"
                     "Browsing No\n"
                     "BrowseLocalProtocols none\n"
                     "WebInterface No\n"
                     "DefaultAuthType None\n"
                     "ErrorPolicy abort-job\n"
                     "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                     "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");

    const std::string cupsd = program("cupsd");
    const std::string conf = dir_ + "/cupsd.conf", files = dir_ + "/cups-files.conf";
    const std::string out = dir_ + "/log/cupsd.out";
    pid_ = fork();
    if (pid_ < 0) {
        why = "fork failed";
        return false;
    }
    if (pid_ == 0) {
        // The scheduler must not outlive a test process that dies.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int in = open("/dev/null", O_RDONLY);
        const int log = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(log, 1);
        dup2(log, 2);
        execl(cupsd.c_str(), "cupsd", "-f", "-c", conf.c_str(), "-s", files.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }

    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            why = "cupsd exited at start:\n" + qtest::readFile(out) + lastLines(errorLog(), 30);
            return false;
        }
        if (http_t* http = httpConnect2(socket().c_str(), 0, nullptr, AF_UNSPEC,
                                        HTTP_ENCRYPTION_NEVER, 1, 1000, nullptr)) {
            httpClose(http);
            return true;
        }
        std::this_thread::sleep_for(kPoll);
    }
    why = "cupsd did not answer on " + socket() + ":\n" + lastLines(errorLog(), 30);
    stop();
    return false;
}

void PrivateCupsd::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopLimit;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(kPoll);
    }
    pid_ = -1;
}

qtest::RunResult PrivateCupsd::tool(std::vector<std::string> argv) const
{
    argv[0] = program(argv[0]);
    return qtest::run(argv, {{"CUPS_SERVER", socket()}});
}

int PrivateCupsd::submit(const std::string& queue, const std::vector<std::string>& options,
                         const std::string& file, std::string& why) const
{
    std::vector<std::string> argv = {"lp", "-d", queue};
    for (const std::string& o : options) {
        argv.push_back("-o");
        argv.push_back(o);
    }
    argv.push_back(file);
    const qtest::RunResult r = tool(argv);
    const std::string out(r.out.begin(), r.out.end());
    // "request id is Q-12 (1 file(s))"
    const std::string mark = "request id is " + queue + "-";
    const std::size_t at = out.find(mark);
    if (r.status != 0 || at == std::string::npos) {
        why = "lp failed (" + std::to_string(r.status) + "): " + out + r.err;
        return 0;
    }
    return std::atoi(out.c_str() + at + mark.size());
}

bool PrivateCupsd::waitForJob(int job, std::string& why) const
{
    http_t* http = httpConnect2(socket().c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1,
                                5000, nullptr);
    if (http == nullptr) {
        why = "cannot reach cupsd";
        return false;
    }
    const std::string tag = "[Job " + std::to_string(job) + "]";
    auto jobLog = [&] {
        std::string lines;
        std::istringstream in(errorLog());
        for (std::string line; std::getline(in, line);)
            if (line.find(tag) != std::string::npos && line.rfind("D ", 0) != 0)
                lines += line + "\n";
        return lines;
    };

    int state = 0;
    const auto deadline = std::chrono::steady_clock::now() + kJobLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        cups_job_t* jobs = nullptr;
        const int count = cupsGetJobs2(http, &jobs, nullptr, 0, CUPS_WHICHJOBS_ALL);
        for (int i = 0; i < count; ++i)
            if (jobs[i].id == job)
                state = jobs[i].state;
        cupsFreeJobs(count, jobs);
        if (state == IPP_JSTATE_COMPLETED) {
            httpClose(http);
            return true;
        }
        if (state == IPP_JSTATE_STOPPED || state == IPP_JSTATE_CANCELED ||
            state == IPP_JSTATE_ABORTED) {
            httpClose(http);
            why = "job " + std::to_string(job) + " ended in state " + std::to_string(state) +
                  ":\n" + lastLines(jobLog(), 40);
            return false;
        }
        std::this_thread::sleep_for(kPoll);
    }
    httpClose(http);
    why = "job " + std::to_string(job) + " still in state " + std::to_string(state) +
          " after " + std::to_string(kJobLimit.count()) + " s:\n" + lastLines(jobLog(), 40);
    return false;
}

}  // namespace cupstest
