// What the application says and checks for a person, in-process: the test
// page's text, the device URIs add refuses, the darkness values it takes.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "device_listing.h"
#include "option_listing.h"
#include "option_check.h"
#include "testpage.h"

// Every character the page prints is drawn from its font, not as '?'.
TEST(TestPage, PrintsEveryCharacterOfItsText)
{
    std::string ascii;
    for (char c = ' '; c <= '~'; ++c)
        ascii += c;
    for (const std::string& name : {std::string("Office, 2nd floor (left)"), ascii}) {
        for (const std::string& line : testPageLines(name, 21000, 29700)) {
            std::string upper;
            for (char c : line)
                upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            EXPECT_EQ(testPageText(line), upper);
        }
    }
    EXPECT_EQ(testPageLines("q", 21000, 29700)[2], "600 X 600 DPI, 1 BIT");
    EXPECT_EQ(testPageLines("q", 21590, 27940)[3], "SHEET 215.9 X 279.4 MM");
    // A character it has no glyph for is one '?', however many bytes.
    EXPECT_EQ(testPageText("B\xc3\xbcro \xe2\x82\xac"), "B?RO ?");
}

TEST(DeviceUri, RefusedWhenNoDeviceCanBeThere)
{
    char folder[] = "/tmp/quorvel-ui-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string dir = folder;
    const struct {
        std::string uri;
        const char* problem; // "" when accepted
    } cases[] = {
        {"file://" + dir, ""},
        {"file://" + dir + "/out.prn", ""},
        {"file://" + dir + "/missing/out.prn", "there is no folder '"},
        {"usb://Quorvel/...", "no USB printer 'usb://Quorvel/...' is connected"},
        {"usb://Quorvel/QV-100?serial=A123", ""},
        {"usb://Quorvel/QV-100", "no USB printer"},
        {"socket://192.168.1.20", ""},
        {"socket://printer.local:9100", ""},
        {"socket://", "names no printer"},
        {"ipp://localhost/ipp/print", "has no 'ipp' devices"},
        {"not a uri", "is not a device URI"},
    };
    for (const auto& c : cases) {
        const std::string problem = quorvelDeviceProblem(c.uri.c_str());
        if (!*c.problem)
            EXPECT_EQ(problem, "") << c.uri;
        else
            EXPECT_NE(problem.find(c.problem), std::string::npos) << c.uri << ": " << problem;
    }
    rmdir(folder);
}

TEST(Darkness, StepsAndClamps)
{
    EXPECT_EQ(quorvelDarknessSteps(5), "0, 25, 50, 75, 100");
    for (int ok : {0, 25, 50, 75, 100})
        EXPECT_EQ(quorvelDarknessProblem(ok, 5), "") << ok;
    for (int bad : {-1, 1, 70, 101, 250})
        EXPECT_NE(quorvelDarknessProblem(bad, 5), "") << bad;
    const struct {
        const char* value;
        bool ok;
        int clamped;
    } cases[] = {{"500", true, 100}, {"-500", true, -100}, {"100", true, 100}, {"-45", true, -45},
                 {"0", true, 0},     {"dark", false, 0},   {"", false, 0},     {"5x", false, 0}};
    for (const auto& c : cases) {
        int clamped = 12345;
        EXPECT_EQ(quorvelClampDarkness(c.value, &clamped), c.ok) << c.value;
        EXPECT_EQ(clamped, c.ok ? c.clamped : 12345) << c.value;
    }
}
