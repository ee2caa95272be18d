// Fuzz target: one job per input, the input being the job's raster file.
// The filter's log goes to standard error, which libFuzzer needs for its
// reports: run with -close_fd_mask=2 to silence it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

int quorvel_filter_main(int argc, char* argv[]);

static std::string gRasterPath; // where each input is written for the job

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char dir[] = "/tmp/quorvel-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr || !std::freopen("/dev/null", "w", stdout)) // the stream is not checked here
        std::abort();
    const std::string ppd = std::string(dir) + "/fuzz.ppd";
    std::FILE* f = std::fopen(ppd.c_str(), "w");
    std::fputs("*PPD-Adobe: \"4.3\"\n", f);
    std::fclose(f);
    setenv("PPD", ppd.c_str(), 1);
    gRasterPath = std::string(dir) + "/input.ras";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::FILE* f = std::fopen(gRasterPath.c_str(), "wb");
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    // Options vary with the input too, so every switch gets exercised.
    static const char* const options[] = {"", "PrintDensity=0Dark PaperWeight=4Light Duplex=DuplexNoTumble",
                                          "CmdCancel=CancelAttr sides=two-sided-short-edge",
                                          "CmdCancel=CancelJobFinish"};
    const char* argv[] = {"rastertoquorvel", "1", "fuzz", "fuzz", "1", options[size % 4], gRasterPath.c_str(), nullptr};
    quorvel_filter_main(7, const_cast<char**>(argv));
    return 0;
}
