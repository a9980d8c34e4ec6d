// Round trips through the real Linux stub run as a program: trees of nested
// folders, empty files and folders, names with blanks and accents, the sizes
// around the 2048-byte write-out, stored and deflated, with and without a
// password, made by our builder and independently by Info-ZIP zip and
// Python's zipfile. What the stub extracts must equal what Info-ZIP unzip
// extracts from the same zip: names, sizes, bytes and modification times.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <string>
#include <vector>
#include "support/codec_control.h"
#include "support/data.h"
#include "support/fake_platform.h"
#include "support/files.h"
#include "support/sfx_image.h"
#include "support/stub_state.h"
#include "support/zip_writer.h"

namespace {

const std::string kStub = KVSFX_STUB_PATH;
const std::string kMake = KVSFX_MAKE_PATH;

// The test tree. Times are even seconds: the DOS time keeps no odd ones.
void WriteTree(const std::string& root, bool big) {
    time_t when = 1700000000;  // an even second
    auto file = [&](const std::string& path, const std::string& data) {
        WriteFileBytes(root + "/" + path, data);
        SetFileTimes(root + "/" + path, when);
        when += 3602;
    };
    for (const char* folder : {"", "/Été 2024", "/Été 2024/sous dossier", "/vide", "/a", "/a/b", "/a/b/c"})
        mkdir((root + folder).c_str(), 0755);
    file("zéro.txt", "");
    file("un octet", "x");
    file("Été 2024/2047.bin", Noise(2047, 1));
    file("Été 2024/2048.bin", Noise(2048, 2));
    file("Été 2024/2049.bin", Noise(2049, 3));
    file("Été 2024/sous dossier/café crème.txt", Prose(5000, 4));
    file("a/b/c/profond.txt", Prose(70000, 5));
    file("a/aléatoire.bin", Noise(300000, 6));
    if (big) file("a/b/grand fichier.bin", Prose(66 << 20, 7) + Noise(1 << 20, 8));
}

std::map<std::string, TreeNode> UnzipTree(const std::string& zip, const std::string& name,
                                          const std::string& password = "") {
    std::string out = TempFolder(name + "-unzip");
    std::vector<std::string> argv = {"/usr/bin/unzip", "-q", "-o"};
    if (!password.empty()) argv.insert(argv.end(), {"-P", password});
    argv.insert(argv.end(), {zip, "-d", out});
    ProgramResult result = RunProgram(argv);
    EXPECT_EQ(0, result.exitCode) << result.err;
    return ReadTree(out);
}

// Runs the self-extracting file with "-auto FOLDER" and the given input.
std::map<std::string, TreeNode> StubTree(const std::string& sfx, const std::string& name, const std::string& input = "") {
    std::string out = TempFolder(name + "-stub") + "/out";
    ProgramResult result = RunProgram({sfx, "-auto", out}, input);
    EXPECT_EQ(0, result.exitCode) << result.out << result.err;
    return ReadTree(out);
}

std::string MakeFromZip(const std::string& zip, const std::string& name, const std::vector<std::string>& options = {}) {
    std::string sfx = TempFolder(name + "-sfx") + "/setup";
    std::vector<std::string> argv = {kMake, "-o", sfx};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(zip);
    ProgramResult result = RunProgram(argv);
    EXPECT_EQ(0, result.exitCode) << result.err;
    return sfx;
}

// Names compared in UTF-8: the builder stores names in Windows-1252 (and
// turns UTF-8 names of a zip into it), which the stub hands to the Linux
// file system as they are; a name that is not UTF-8 is read as
// Windows-1252.
std::string NameInUtf8(const std::string& name) {
    std::string out;
    for (size_t i = 0; i < name.size(); i++) {
        unsigned char c = (unsigned char)name[i];
        size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 1;
        bool utf8 = length > 1 && i + length <= name.size();
        for (size_t j = 1; utf8 && j < length; j++) utf8 = ((unsigned char)name[i + j] & 0xC0) == 0x80;
        if (utf8) {
            out.append(name, i, length);
            i += length - 1;
        } else if (c >= 0x80) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)c;
        }
    }
    return out;
}

std::map<std::string, TreeNode> InUtf8(const std::map<std::string, TreeNode>& tree) {
    std::map<std::string, TreeNode> converted;
    for (auto& [path, node] : tree) converted[NameInUtf8(path)] = node;
    return converted;
}

class RoundTrip : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The files' own times, whatever the environment of the tests.
        unsetenv("SOURCE_DATE_EPOCH");
        source = TempFolder("tree");
        WriteTree(source + "/arbre", false);
    }
    static std::string source;
};
std::string RoundTrip::source;

// Info-ZIP zip, deflated and stored, with and without a password (zip -P
// writes data descriptors); -X leaves out the extra time fields, so that
// unzip takes the same DOS times as the stub.
TEST_F(RoundTrip, InfoZipArchives) {
    struct Variant {
        const char* name;
        std::vector<std::string> options;
        std::string password;
    } variants[] = {
        {"zip-deflated", {"-9"}, ""},
        {"zip-stored", {"-0"}, ""},
        {"zip-password", {"-P", "mot de passe"}, "mot de passe"},
        // zip takes the password's bytes as given: Windows-1252 here, as on
        // Windows; the stub's prompt turns the typed UTF-8 into the same bytes.
        {"zip-password-stored", {"-0", "-P", "s\xE9same"}, "s\xE9same"},
    };
    for (const Variant& variant : variants) {
        SCOPED_TRACE(variant.name);
        std::string zip = TempFolder(variant.name) + "/archive.zip";
        std::vector<std::string> argv = {"/usr/bin/zip", "-q", "-r", "-X"};
        argv.insert(argv.end(), variant.options.begin(), variant.options.end());
        argv.insert(argv.end(), {zip, "arbre"});
        ASSERT_EQ(0, RunProgram(argv, "", 120, source).exitCode);
        std::string sfx = MakeFromZip(zip, variant.name);
        auto expected = UnzipTree(zip, variant.name, variant.password);
        auto actual = StubTree(sfx, variant.name, variant.password.empty() ? "" : NameInUtf8(variant.password) + "\n");
        EXPECT_EQ(15u, expected.size());
        EXPECT_EQ("", TreeDifferences(expected, actual));
    }
}

// Python's zipfile: UTF-8 names (flag bit 11), stored and deflated entries
// mixed, explicit folder entries.
TEST_F(RoundTrip, PythonZipfileArchive) {
    std::string zip = TempFolder("python") + "/archive.zip";
    std::string script =
        "import os, sys, zipfile\n"
        "root, out = sys.argv[1], sys.argv[2]\n"
        "with zipfile.ZipFile(out, 'w') as z:\n"
        "    for folder, dirs, files in sorted(os.walk(root)):\n"
        "        dirs.sort()\n"
        "        rel = os.path.relpath(folder, os.path.dirname(root))\n"
        "        z.write(folder, rel + '/')\n"
        "        for i, name in enumerate(sorted(files)):\n"
        "            method = zipfile.ZIP_STORED if i % 2 else zipfile.ZIP_DEFLATED\n"
        "            z.write(os.path.join(folder, name), os.path.join(rel, name), compress_type=method)\n";
    ASSERT_EQ(0, RunProgram({"/usr/bin/python3", "-c", script, source + "/arbre", zip}).exitCode);
    std::string sfx = MakeFromZip(zip, "python");
    EXPECT_EQ("", TreeDifferences(UnzipTree(zip, "python"), InUtf8(StubTree(sfx, "python"))));
}

// Our builder from the folder itself, at level 0 and 9 and with a password:
// the stub gives back the source tree.
TEST_F(RoundTrip, OurBuilderFromFolders) {
    std::string bigSource = TempFolder("tree-big");
    WriteTree(bigSource + "/arbre", true);
    struct Variant {
        const char* name;
        std::vector<std::string> options;
        std::string input;
        bool big;
    } variants[] = {
        {"make-level0", {"--level", "0"}, "", false},
        {"make-level9-password", {"--level", "9", "--password", "s\xC3\xA9same"}, "s\xC3\xA9same\n", false},
        {"make-big", {"--level", "1"}, "", true},
    };
    for (const Variant& variant : variants) {
        SCOPED_TRACE(variant.name);
        std::string from = (variant.big ? bigSource : source) + "/arbre";
        std::string sfx = TempFolder(std::string(variant.name) + "-sfx") + "/setup";
        std::vector<std::string> argv = {kMake, "-o", sfx};
        argv.insert(argv.end(), variant.options.begin(), variant.options.end());
        argv.push_back(from);
        ProgramResult made = RunProgram(argv);
        ASSERT_EQ(0, made.exitCode) << made.err;
        auto expected = ReadTree(from);
        std::map<std::string, TreeNode> prefixed;
        for (auto& [path, node] : expected) prefixed["arbre/" + path] = node;
        prefixed["arbre/"] = TreeNode{true};
        EXPECT_EQ("", TreeDifferences(prefixed, InUtf8(StubTree(sfx, variant.name, variant.input))));
    }
}

// Exact times in any time zone: files with odd seconds, packed by our
// builder in one time zone and by Info-ZIP zip (extended timestamps
// included), extracted in two others by the stub and by Info-ZIP unzip from
// the same files: every time equals the source's, to the second.
TEST_F(RoundTrip, ExactTimesInAnyTimeZone) {
    std::string from = TempFolder("times") + "/heures";
    mkdir(from.c_str(), 0755);
    mkdir((from + "/sous").c_str(), 0755);
    int64_t when = 1700000001;
    for (const char* name : {"un.txt", "sous/deux.bin", "sous/trois.txt"}) {
        WriteFileBytes(from + "/" + name, Prose(4000, (uint32_t)when));
        SetFileTimes(from + "/" + name, (time_t)when);
        when += 86400 * 150 + 3601;  // across a change of summer time
    }
    auto source = ReadTree(from);
    std::map<std::string, TreeNode> expected;
    for (auto& [path, node] : source) expected["heures/" + path] = node;
    expected["heures/"] = TreeNode{true};

    const char* previous = getenv("TZ");
    std::string saved = previous ? previous : "";
    setenv("TZ", "JST-9", 1);
    std::string made = TempFolder("times-made") + "/setup";
    ASSERT_EQ(0, RunProgram({kMake, "-o", made, from}).exitCode);
    std::string zip = TempFolder("times-zip") + "/archive.zip";
    ASSERT_EQ(0, RunProgram({"/usr/bin/zip", "-q", "-r", zip, "heures"}, "", 120, from + "/..").exitCode);
    std::string fromZip = MakeFromZip(zip, "times-zip");

    for (const char* zone : {"CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0"}) {
        SCOPED_TRACE(zone);
        setenv("TZ", zone, 1);
        auto unzipped = UnzipTree(made, "times-unzip-made");
        EXPECT_EQ("", TreeDifferences(expected, unzipped));
        EXPECT_EQ("", TreeDifferences(unzipped, StubTree(made, "times-stub-made")));
        auto unzippedZip = UnzipTree(zip, "times-unzip-zip");
        EXPECT_EQ("", TreeDifferences(expected, unzippedZip));
        EXPECT_EQ("", TreeDifferences(unzippedZip, StubTree(fromZip, "times-stub-zip")));
    }
    if (previous) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
}

}  // namespace
