// The builder's rules for entry names and texts: the Windows-1252
// conversion, the names the stub could not create safely, and names that
// would be one file on Windows.
#include <gtest/gtest.h>

#include "build_error.h"
#include "names.h"

using namespace kvmake;

namespace {

bool Accepted(const std::string& name, NameOrigin origin) {
    try {
        CheckEntryName(name, name, origin);
        return true;
    } catch (const BuildError&) {
        return false;
    }
}

TEST(BuilderNames, Utf8BecomesWindows1252) {
    const struct {
        const char* utf8;
        const char* ansi;  // null: refused
    } rows[] = {
        {"plain.txt", "plain.txt"},
        {"caf\xC3\xA9", "caf\xE9"},
        {"\xE2\x82\xAC \xC5\x93 \xE2\x84\xA2 \xC5\xB8", "\x80 \x9C \x99 \x9F"},  // the 0x80-0x9F row
        {"\xC2\xA0\xC3\xBF", "\xA0\xFF"},
        {"\xCE\xA9", nullptr},                 // Greek
        {"\xE4\xB8\xAD", nullptr},             // Chinese
        {"\xC2\x81", nullptr},                 // U+0081: a hole of Windows-1252
        {"caf\xE9", "caf\xE9"},                // not UTF-8: already Windows-1252
        {"\xC0\xAF", "\xC0\xAF"},              // overlong form: not UTF-8, kept
    };
    for (const auto& row : rows) {
        std::string out = "unchanged";
        const bool converted = Utf8ToAnsi(row.utf8, &out);
        EXPECT_EQ(converted, row.ansi != nullptr) << row.utf8;
        EXPECT_EQ(out, row.ansi ? row.ansi : "unchanged") << row.utf8;
    }
    EXPECT_EQ(AnsiUpper("a\xE9\xFF\x9C\xF7z"), "A\xC9\x9F\x8C\xF7Z");
    // Back to UTF-8, as names are shown and extracted on this system.
    EXPECT_EQ(AnsiToUtf8("\x80 \x9C \x99 \x9F"), "\xE2\x82\xAC \xC5\x93 \xE2\x84\xA2 \xC5\xB8");
    EXPECT_EQ(AnsiToUtf8("caf\xE9\xA0\xFF"), "caf\xC3\xA9\xC2\xA0\xC3\xBF");
    EXPECT_EQ(AnsiToUtf8("\x81"), "\xEF\xBF\xBD");
}

TEST(BuilderNames, NamesTheStubCannotCreateSafelyAreRefused) {
    const struct {
        const char* name;
        bool host;  // accepted as a file name of this system
        bool zip;   // accepted from a zip
    } rows[] = {
        {"a/b/c.txt", true, true},
        {"folder/", true, true},
        {"a\\b.txt", false, true},  // a separator in zips, a character here
        {"", false, false},
        {"/etc/passwd", false, false},
        {"\\share\\x", false, false},
        {"../x", false, false},
        {"a/../../x", false, false},
        {"a\\..\\x", false, false},
        {"..", false, false},
        {"...", false, false},          // ends in a dot
        {"a/./b", true, true},      // stored as "a/b" (NormalEntryName)
        {".", false, false},
        {"./", false, false},
        {"a/.", false, false},
        {"a/./", false, false},
        {"a\\.", false, false},
        {"C:/x", false, false},
        {"a:b", false, false},
        {"CON", false, false},
        {"dir/nul.txt", false, false},
        {"com1/x", false, false},
        {"LPT9 .log", false, false},
        {"COM0", true, true},
        {"conout$.txt", false, false},  // the consoles, which the program refuses too
        {"a/CONIN$", false, false},
        {"COM\xB9", false, false},      // superscript one: a port for Windows
        {"CONIN", true, true},
        {"console", true, true},
        {"a?b", false, false},
        {"a*b", false, false},
        {"tab\there", false, false},
        {"trailing ", false, false},
        {"trailing./x", false, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Accepted(row.name, NameOrigin::HostFile), row.host) << '"' << row.name << '"';
        EXPECT_EQ(Accepted(row.name, NameOrigin::Zip), row.zip) << '"' << row.name << '"';
    }
    EXPECT_TRUE(Accepted(std::string(260, 'n'), NameOrigin::Zip));
    EXPECT_FALSE(Accepted(std::string(261, 'n'), NameOrigin::Zip));
}

TEST(BuilderNames, DotAndEmptyPartsAreDropped) {
    const struct {
        const char* name;
        const char* normal;
    } rows[] = {
        {"a/b.txt", "a/b.txt"},       {"a\\b", "a\\b"},        {"./a", "a"},         {"a//b", "a/b"},
        {"a/./b/", "a/b/"},           {".\\x\\\\y", "x/y"}, {"././a/", "a/"},     {"x//", "x/"},
    };
    for (const auto& row : rows) EXPECT_EQ(NormalEntryName(row.name, NameOrigin::Zip), row.normal) << row.name;
    EXPECT_EQ(PrintableText("a\x1B[2J\n\x7F\xC2\x9B\x9B caf\xC3\xA9 caf\xE9"),
              "a\\x1B[2J\\x0A\\x7F\\xC2\\x9B\\x9B caf\xC3\xA9 caf\xE9");
}

TEST(BuilderNames, NamesThatWouldBeOneFileOnWindowsAreRefused) {
    auto clashes = [](const std::vector<std::string>& names) {
        try {
            CheckNameCollisions(names, names);
            return false;
        } catch (const BuildError&) {
            return true;
        }
    };
    EXPECT_FALSE(clashes({"a/x", "a/y", "b/x", "a/"}));
    EXPECT_FALSE(clashes({"Dir/a", "dir/b", "DIR/"}));  // one folder, spelt three ways
    EXPECT_TRUE(clashes({"Readme", "README"}));
    EXPECT_TRUE(clashes({"caf\xE9", "CAF\xC9"}));
    EXPECT_TRUE(clashes({"a/x", "a/x"}));
    EXPECT_TRUE(clashes({"a", "A/x"}));          // a file where a folder must be
    EXPECT_TRUE(clashes({"a/b/c", "A/B"}));
    EXPECT_TRUE(clashes({"x/", "X"}));
    EXPECT_TRUE(clashes({"a\\x", "a/X"}));
}

}  // namespace
