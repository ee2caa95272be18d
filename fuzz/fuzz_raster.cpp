// Fuzz target: one job per input, the input being the job's raster file.
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
    if (mkdtemp(dir) == nullptr)
        std::abort();
    const std::string ppd = std::string(dir) + "/fuzz.ppd";
    std::FILE* f = std::fopen(ppd.c_str(), "w");
    std::fputs("*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
               "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"FUZZ.PPD\"\n"
               "*Manufacturer: \"Fuzz\"\n*Product: \"(Fuzz)\"\n*ModelName: \"Fuzz\"\n"
               "*ShortNickName: \"Fuzz\"\n*NickName: \"Fuzz\"\n*PSVersion: \"(3010.000) 0\"\n",
               f);
    std::fclose(f);
    setenv("PPD", ppd.c_str(), 1);
    gRasterPath = std::string(dir) + "/input.ras";
    // The printer stream is not what is being checked here. The filter's
    // log goes to standard error, which libFuzzer needs for its reports:
    // run with -close_fd_mask=2 to silence the log.
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::FILE* f = std::fopen(gRasterPath.c_str(), "wb");
    if (f == nullptr)
        std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    // Options vary with the input too, so every switch gets exercised.
    static const char* const options[] = {"", "PrintDensity=0Dark PaperWeight=4Light",
                                          "CmdCancel=CancelAttr", "CmdCancel=CancelJobFinish"};
    char* argv[] = {const_cast<char*>("rastertoquorvel"), const_cast<char*>("1"),
                    const_cast<char*>("fuzz"),            const_cast<char*>("fuzz"),
                    const_cast<char*>("1"),               const_cast<char*>(options[size % 4]),
                    const_cast<char*>(gRasterPath.c_str()), nullptr};
    quorvel_filter_main(7, argv);
    return 0;
}
