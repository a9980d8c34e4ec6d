// --list, --test and --extract: the reports and the extraction on this
// machine's files. Extraction follows the program: the same name rules, the
// folders a name needs created, each file's DOS time restored; on top of
// that it never writes through a symbolic link (or Windows junction) met
// under the destination, and each file is written under a temporary name
// and renamed into place only once its CRC has been checked.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "build_error.h"
#include "host_files.h"
#include "sfx_reader.h"
#include "names.h"
#include "spanned_set.h"
#include "stub_image.h"
#include "startup/sfx_state.h"
#include "zip_crypto.h"
#include "zip_records.h"


namespace kvmake {

namespace {


// The DOS date and time, local time as the program restores it; -1 when
// they name no time.
time_t FromDosTime(uint16_t date, uint16_t time) {
    struct tm local;
    memset(&local, 0, sizeof local);
    local.tm_year = 80 + (date >> 9);
    local.tm_mon = ((date >> 5) & 15) - 1;
    local.tm_mday = date & 31;
    local.tm_hour = time >> 11;
    local.tm_min = (time >> 5) & 63;
    local.tm_sec = (time & 31) * 2;
    local.tm_isdst = -1;
    if (local.tm_mon < 0 || local.tm_mday == 0) return -1;
    return mktime(&local);
}

// Formats a report line onto standard output; a Windows console gets it in
// UTF-16, so that names keep their accents whatever its code page.
void Print(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    char small[512];
    const int length = vsnprintf(small, sizeof small, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    std::string text(small, std::min<size_t>((size_t)length, sizeof small - 1));
    if ((size_t)length >= sizeof small) {
        text.assign((size_t)length + 1, '\0');
        va_start(arguments, format);
        vsnprintf(&text[0], text.size(), format, arguments);
        va_end(arguments);
        text.resize((size_t)length);
    }
    WriteOutput(text);
}

// ---------------------------------------------------------------------------
// Reading the file.

// The file and the volumes of a spanned set where the builder writes them:
// NAME.ZIP (or NAME.EXE) beside the file for disk 1, in folders diskN for
// the others.
struct LoadedFile {
    explicit LoadedFile(const std::string& path) : file(path) {
        const std::string folder = FolderOf(path);
        const std::string program = LastComponent(path);
        VolumeReader volumes = [folder, program, this](unsigned disk, std::vector<uint8_t>* bytes) {
            const bool exe = (image.settings.flags & SFXF_EXE_VOLUMES) != 0;
            const std::string name = VolumeFileName(program, exe);
            const std::string volume =
                disk == 1 ? JoinPath(folder, name) : JoinPath(JoinPath(folder, "disk" + std::to_string(disk)), name);
            if (!IsRegularFile(volume)) return false;
            *bytes = ReadWholeFile(volume);
            return true;
        };
        ReadSfxImage(file.data(), file.size(), volumes, &image);
    }
    // The program's checksum, then what the walk found.
    std::vector<std::string> problems() const {
        std::vector<std::string> found;
        const std::string stub = CheckStubCrc(file.data(), file.size(), image.settings);
        if (!stub.empty()) found.push_back(stub);
        found.insert(found.end(), image.problems.begin(), image.problems.end());
        return found;
    }
    MappedFile file;
    SfxImage image;
};

// A text read from the file, quoted, in UTF-8 and with its control
// characters escaped: nothing read from a file reaches the terminal as it is.
std::string Shown(const std::string& ansi) { return PrintableText(Quoted(AnsiToUtf8(ansi))); }

const char* MethodName(uint16_t method) {
    if (method == kMethodStored) return "stored";
    if (method == kMethodDeflated) return "deflated";
    return "unknown";
}

void PrintSettings(const std::string& path, const SfxSettings& settings) {
    Print("File:           %s\n", path.c_str());
    Print("Stub:           %s\n", settings.stubKind.c_str());
    if (settings.stubCrc == 0) Print("Stub checksum:  none\n");
    else
        Print("Stub checksum:  %08x, %s\n", (unsigned)settings.stubCrc,
               (settings.flags & SFXF_CRC_AFTER_HEADERS) ? "after the executable headers" : "from the file's start");
    Print("Archive start:  %u\n", (unsigned)settings.archiveStart);
    const std::vector<std::string>& texts = settings.texts;
    auto text = [&](size_t index) { return index < texts.size() ? texts[index] : std::string(); };
    const std::string folder = text(0);
    if (folder.empty()) Print("Destination:    a temporary folder\n");
    else if (folder == ".") Print("Destination:    \".\" (the folder the program is run from)\n");
    else Print("Destination:    %s\n", Shown(folder).c_str());
    if (settings.flags & SFXF_CUSTOM_TITLE) Print("Title:          %s\n", Shown(text(3)).c_str());
    else Print("Title:          none\n");
    if (text(2).empty()) {
        Print("Prompt:         none\n");
    } else {
        const char* answer = !(settings.flags & SFXF_PROMPT_QUESTION) ? "OK"
                             : (settings.flags & SFXF_PROMPT_OKCANCEL) ? "OK or Cancel"
                                                                       : "Yes or No";
        Print("Prompt:         %s, answered %s\n", Shown(text(2)).c_str(), answer);
    }
    Print("Information:    %s\n", text(4).empty() ? "none" : Shown(text(4)).c_str());
    if (settings.flags & SFXF_RUN_PROGRAM) Print("Program to run: %s\n", Shown(text(5)).c_str());
    std::string options;
    auto add = [&](uint32_t flag, const char* name) {
        if (!(settings.flags & flag)) return;
        if (!options.empty()) options += ", ";
        options += name;
    };
    add(SFXF_AUTO, "automatic");
    add(SFXF_OVERWRITE_DEFAULT, "overwrite without asking");
    add(SFXF_TITLE_IN_DIALOG, "title in the dialog");
    add(SFXF_ENCRYPTED, "password");
    add(SFXF_SPANNED, "spanned over disks");
    add(SFXF_EXE_VOLUMES, "volumes named .EXE");
    add(SFXF_RUN_PROGRAM, "run a program after extraction");
    Print("Options:        %s\n", options.empty() ? "none" : options.c_str());
    Print("Total size:     %u bytes\n", (unsigned)settings.totalSize);
}

void PrintEntries(const SfxImage& image) {
    Print("\n%10s %10s %-8s %-19s %-8s %-9s %s\n", "Size", "Packed", "Method", "Date", "CRC-32", "Encrypted",
           "Name");
    for (const SfxEntry& entry : image.entries) {
        char date[32];
        snprintf(date, sizeof date, "%04u-%02u-%02u %02u:%02u:%02u", 1980u + (entry.modDate >> 9),
                 (entry.modDate >> 5) & 15u, entry.modDate & 31u, (unsigned)entry.modTime >> 11,
                 (entry.modTime >> 5) & 63u, (entry.modTime & 31u) * 2);
        Print("%10u %10u %-8s %-19s %08x %-9s %s\n", (unsigned)entry.size, (unsigned)entry.packedSize,
               MethodName(entry.method), date, (unsigned)entry.crc, (entry.flags & kFlagEncrypted) ? "yes" : "no",
               PrintableText(AnsiToUtf8(entry.name)).c_str());
    }
}

int ReportProblems(const std::string& path, const std::vector<std::string>& problems) {
    // Problems quote names and texts from the file.
    for (const std::string& problem : problems)
        Print("%s: %s\n", path.c_str(), PrintableText(problem).c_str());
    return problems.empty() ? kReaderGood : kReaderDamaged;
}

// ---------------------------------------------------------------------------
// Extraction.

// The components of an entry's path on this machine: UTF-8, empty and "."
// parts left out (the name rules have already refused the others).
std::vector<std::string> Components(const std::string& name) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : AnsiToUtf8(name) + "/") {
        if (c != '/' && c != '\\') {
            current.push_back(c);
            continue;
        }
        // The name rules refuse ".." already; a path is never built with one.
        if (current == "..") Refuse("entry name " + Shown(name) + " climbs out of the destination folder");
        if (!current.empty() && current != ".") parts.push_back(current);
        current.clear();
    }
    return parts;
}

// Checks the folders above an entry's place and the place itself; creates
// the folders when `create` is set. Refuses a link, and a file where a
// folder must be.
void PreparePlace(const std::string& destination, const std::vector<std::string>& parts, bool folderEntry,
                  bool overwrite, bool create) {
    std::string path = destination;
    for (size_t i = 0; i < parts.size(); i++) {
        path = JoinPath(path, parts[i]);
        const bool last = i + 1 == parts.size();
        const PathPresence presence = LookAtUnfollowed(path);
        if (presence == PathPresence::Link)
            Refuse(Quoted(path) + " is a symbolic link; nothing is extracted through one");
        if (last && !folderEntry) {
            if (presence == PathPresence::Folder || presence == PathPresence::Other)
                Refuse(Quoted(path) + " already exists and is not a file");
            if (presence == PathPresence::File && !overwrite)
                Refuse(Quoted(path) + " already exists; --overwrite replaces it");
            return;
        }
        if (presence == PathPresence::File || presence == PathPresence::Other)
            Refuse(Quoted(path) + " is in the way of a folder the archive needs");
        if (presence == PathPresence::Missing && create && !MakeOneFolder(path) && LookAtUnfollowed(path) != PathPresence::Folder)
            Refuse("cannot create the folder " + Quoted(path));
    }
}

}  // namespace

int ListSelfExtractor(const std::string& path) {
    LoadedFile loaded(path);
    PrintSettings(path, loaded.image.settings);
    PrintEntries(loaded.image);
    return ReportProblems(path, loaded.image.problems);
}

int TestSelfExtractor(const std::string& path, const std::string& password) {
    LoadedFile loaded(path);
    const SfxImage& image = loaded.image;
    std::vector<std::string> problems = loaded.problems();
    // The program to run must be one the builder would accept: a file
    // inside the destination folder.
    if (image.settings.texts.size() > 5) {
        try {
            CheckProgramLine(image.settings.texts[5]);
        } catch (const BuildError& error) {
            problems.push_back(error.what());
        }
    }
    size_t files = 0;
    for (const SfxEntry& entry : image.entries) {
        if (entry.folder) continue;
        files++;
        const std::string problem = DecodeEntry(image, entry, password, nullptr);
        if (!problem.empty()) problems.push_back(problem);
    }
    const int status = ReportProblems(path, problems);
    if (status == kReaderGood) Print("%s: %zu files checked, no problem found\n", path.c_str(), files);
    else Print("%s: %zu problem%s found\n", path.c_str(), problems.size(), problems.size() == 1 ? "" : "s");
    return status;
}

int ExtractSelfExtractor(const std::string& path, const std::string& destination, const std::string& password,
                         bool overwrite) {
    LoadedFile loaded(path);
    const SfxImage& image = loaded.image;
    // Everything that can be known before writing is checked first, so that
    // a refused file leaves nothing behind.
    std::vector<std::string> problems = loaded.problems();
    for (const SfxEntry& entry : image.entries) {
        if (entry.folder || !(entry.flags & kFlagEncrypted)) continue;
        ZipCrypto keys(password);
        if (password.empty()) {
            problems.push_back("the files are encrypted: give their password with --password");
            break;
        }
        if (!PasswordVerifies(image, entry, &keys)) {
            problems.push_back("entry " + Shown(entry.name) + ": wrong password");
            break;
        }
    }
    if (!problems.empty()) {
        ReportProblems(path, problems);
        Print("%s: nothing extracted\n", path.c_str());
        return kReaderDamaged;
    }

    // The destination and the folders above it are created as needed, as
    // the program does; a link the user put there is the user's choice.
    for (size_t end = 1; end <= destination.size(); end++) {
        if (end < destination.size() && !IsPathSeparator(destination[end])) continue;
        const std::string prefix = destination.substr(0, end);
        if (!IsFolder(prefix) && !MakeOneFolder(prefix))
            Refuse("cannot create the destination folder " + Quoted(prefix));
    }
    if (!IsFolder(destination)) Refuse("the destination " + Quoted(destination) + " is not a folder");
    for (const SfxEntry& entry : image.entries)
        PreparePlace(destination, Components(entry.name), entry.folder, overwrite, false);

    size_t files = 0;
    for (const SfxEntry& entry : image.entries) {
        const std::vector<std::string> parts = Components(entry.name);
        PreparePlace(destination, parts, entry.folder, overwrite, true);
        if (entry.folder) continue;
        std::string target = destination;
        for (const std::string& part : parts) target = JoinPath(target, part);
        OutputFile out(target);
        const std::string problem =
            DecodeEntry(image, entry, password, [&out](const uint8_t* bytes, size_t count) { out.write(bytes, count); });
        if (!problem.empty()) {
            Print("%s: %s\n%s: %zu files extracted before it; the run stops there\n", path.c_str(),
                  PrintableText(problem).c_str(),
                   path.c_str(), files);
            return kReaderDamaged;
        }
        out.commit(false);
        const time_t when = FromDosTime(entry.modDate, entry.modTime);
        if (when != (time_t)-1) SetModifiedTime(target, when);
        files++;
    }
    Print("%s: %zu files extracted into %s\n", path.c_str(), files, destination.c_str());
    return kReaderGood;
}

}  // namespace kvmake
