// Settings files as the installer reads them: the value the codec will see, and whether a file
// still holds exactly the installed settings (then uninstalling may remove it).
#include <gtest/gtest.h>

#include "pure/IniText.h"

using namespace kestro;

namespace {

constexpr char kInstalled[] = "[general]\r\n"
                              "filename=C:\\Users\\Public\\Videos\\Kestro32\\take\r\n"
                              "fastwrite=1\r\n"
                              "request=3\r\n";

TEST(IniValue, FindsTheValueTheProfileFunctionsWouldRead) {
    struct Case {
        const char* text;
        const char* section;
        const char* key;
        std::optional<std::string> value;
    } cases[] = {
        {kInstalled, "general", "filename", "C:\\Users\\Public\\Videos\\Kestro32\\take"},
        {kInstalled, "GENERAL", "Request", "3"},
        {"[general]\nrequest = 7 \n", "general", "request", "7"},
        {"  [ general ]\n\tfastwrite=0", "general", "fastwrite", "0"}, // no line end at the end
        {"[general]\nrequest=5\nrequest=6\n", "general", "request", "5"},
        {"[other]\nrequest=5\n[general]\nrequest=6\n", "general", "request", "6"},
        {"[general]\n;request=5\n", "general", "request", std::nullopt},
        {"request=5\n[general]\n", "general", "request", std::nullopt},
        {"[general]\nrequest=\n", "general", "request", ""},
        {"", "general", "request", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IniValue(c.text, c.section, c.key), c.value) << c.text;
}

TEST(SameSettings, OnlyWhatTheProfileFunctionsIgnoreMayDiffer) {
    struct Case {
        const char* text;
        bool same;
    } cases[] = {
        {kInstalled, true},
        // Rewritten by the codec with the same values: LF ends, another order, spaces, blank lines.
        {"[general]\nrequest=3\nfilename=C:\\Users\\Public\\Videos\\Kestro32\\take\nfastwrite=1\n",
         true},
        {"\r\n[General]\r\n  FASTWRITE = "
         "1\r\nfilename=C:\\Users\\Public\\Videos\\Kestro32\\take\r\n"
         "\r\nrequest=3",
         true},
        // Any edit keeps the file.
        {"[general]\r\nfilename=C:\\Users\\Public\\Videos\\Kestro32\\take2\r\nfastwrite=1\r\n"
         "request=3\r\n",
         false},
        {"[general]\r\nfilename=c:\\users\\public\\videos\\kestro32\\take\r\nfastwrite=1\r\n"
         "request=3\r\n",
         false}, // a value written in another case is still an edit
        {"[general]\r\nfilename=C:\\Users\\Public\\Videos\\Kestro32\\take\r\nfastwrite=1\r\n",
         false},
        {"[general]\r\nfilename=C:\\Users\\Public\\Videos\\Kestro32\\take\r\nfastwrite=1\r\n"
         "request=3\r\nrequest=4\r\n",
         false},
        {"[general]\r\nfilename=C:\\Users\\Public\\Videos\\Kestro32\\take\r\nfastwrite=1\r\n"
         "request=3\r\nhuffyuv=1\r\n",
         false},
        {"; my settings\r\n[general]\r\nfilename=C:\\Users\\Public\\Videos\\Kestro32\\take\r\n"
         "fastwrite=1\r\nrequest=3\r\n",
         false},
        {"[general]\r\nfilename=C:\\Users\\Public\\Videos\\Kestro32\\take\r\nfastwrite=1\r\n"
         "request=3\r\n[notes]\r\n",
         false},
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SameSettings(c.text, kInstalled), c.same) << c.text;
        EXPECT_EQ(SameSettings(kInstalled, c.text), c.same) << c.text;
    }
}

} // namespace
