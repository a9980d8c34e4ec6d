// kvsfx-make: turns a zip, or files and folders, into a self-extracting file.
//
// The output is the stub's image with its configuration block filled in,
// then the header of five texts, then the archive. The archive is written
// so that the stub can walk it from `archiveStart` one local header after
// the other: sizes and CRC in every local header, no data descriptors
// (except behind encrypted entries whose check byte depends on one), and its
// offsets counted from the start of the file. A spanned set is cut from that
// same archive afterwards (spanned_set.h).
#include <stdio.h>

#include <algorithm>
#include <memory>

#include "archive_writer.h"
#include "build_error.h"
#include "host_files.h"
#include "input_tree.h"
#include "input_zip.h"
#include "sfx_reader.h"
#include "names.h"
#include "options.h"
#include "pe_image.h"
#include "spanned_set.h"
#include "startup/sfx_state.h"
#include "stub_image.h"

namespace kvmake {

namespace {

const size_t kMaxPassword = 254;  // the longest password the program's dialog takes

std::string ToAnsi(const std::string& text, const std::string& what) {
    std::string ansi;
    if (!Utf8ToAnsi(text, &ansi)) Refuse("the " + what + " has characters that Windows-1252 cannot hold");
    return ansi;
}

bool EndsWithZip(const std::string& path) {
    if (path.size() < 4) return false;
    return AnsiUpper(path.substr(path.size() - 4)) == ".ZIP";
}

std::string ReadPassword(const Options& options) {
    std::string password = options.password;
    if (!options.passwordFile.empty()) {
        const std::vector<uint8_t> bytes = ReadWholeFile(options.passwordFile);
        password.assign(bytes.begin(), bytes.end());
        password = password.substr(0, password.find('\n'));
        if (!password.empty() && password.back() == '\r') password.pop_back();
        if (password.find('\0') != std::string::npos) Refuse("the password file holds a zero byte");
        if (password.empty()) Refuse("the first line of the password file is empty");
    } else if (options.passwordGiven && password.empty()) {
        Refuse("the password is empty; the program's password dialog does not accept an empty one");
    }
    password = ToAnsi(password, "password");
    if (password.size() > kMaxPassword)
        Refuse("the password is " + std::to_string(password.size()) +
               " characters long; the program's password dialog takes at most 254");
    return password;
}

uint32_t ConfigurationFlags(const Options& options) {
    uint32_t flags = 0;
    if (options.overwrite) flags |= SFXF_OVERWRITE_DEFAULT;
    if (options.titleGiven) flags |= SFXF_CUSTOM_TITLE;
    if (options.autoMode) flags |= SFXF_AUTO;
    if (!options.crcWithHeaders && !options.noStubCrc) flags |= SFXF_CRC_AFTER_HEADERS;
    if (options.spanSize) flags |= SFXF_SPANNED;
    if (options.exeVolumes) flags |= SFXF_EXE_VOLUMES;
    if (options.titleInDialog) flags |= SFXF_TITLE_IN_DIALOG;
    if (options.promptStyle != PromptStyle::Ok) flags |= SFXF_PROMPT_QUESTION;
    if (options.promptStyle == PromptStyle::OkCancel) flags |= SFXF_PROMPT_OKCANCEL;
    if (!options.run.empty()) flags |= SFXF_RUN_PROGRAM;
    return flags;
}

// What the build reads: the inputs, the stub and the password file. None of
// them may be what it writes (it would be read while it is replaced, or be
// replaced after it was read), and no output may lie inside an input folder.
class ReadFiles {
public:
    void add(const std::string& path, const std::string& what) {
        const PathInfo info = LookUpPath(path);
        if (info.kind == PathInfo::Kind::File || info.kind == PathInfo::Kind::Folder)
            files_.push_back({path, what, info.identity, info.kind == PathInfo::Kind::Folder});
    }

    // Refuses output (the program or a volume) before anything is written.
    void checkOutput(const std::string& output) const {
        FileId identity;
        if (FileIdentity(output, &identity)) {
            for (const File& file : files_)
                if (file.identity == identity)
                    Refuse("the output " + Quoted(output) + " is the " + file.what + " " + Quoted(file.path) +
                           ", which the build reads; name another output");
        }
        const std::vector<FileId> above = FoldersAbove(output);
        for (const File& file : files_) {
            if (file.folder && std::find(above.begin(), above.end(), file.identity) != above.end())
                Refuse("the output " + Quoted(output) + " lies inside the input folder " + Quoted(file.path) +
                       "; name an output outside it");
        }
    }

private:
    struct File {
        std::string path, what;
        FileId identity;
        bool folder;
    };
    std::vector<File> files_;
};

// The entry's time: the file's own, or the one --date sets. The DOS words of
// a set date are in UTC so that the output does not depend on the time zone
// of the machine that makes it; the extended timestamp holds the exact time
// for every reader that knows it.
void SetEntryTime(ArchiveEntry& entry, int64_t modified, int64_t date) {
    if (date >= 0) UtcDosDateTime(date, &entry.modDate, &entry.modTime);
    else DosDateTime(modified, &entry.modDate, &entry.modTime);
    const std::string stamp = TimestampExtra(date >= 0 ? date : modified);
    entry.localExtra = WithoutExtraBlocks(entry.localExtra, kExtraTimestampId) + stamp;
    entry.centralExtra = WithoutExtraBlocks(entry.centralExtra, kExtraTimestampId) + stamp;
    if (entry.localExtra.size() > 0xFFFF || entry.centralExtra.size() > 0xFFFF)
        Refuse("the extra field of " + Quoted(entry.shownName) + " leaves no room for its time");
}

// Writes the entries of an input zip.
void WriteZipInput(ArchiveWriter& writer, const std::string& path, const Options& options,
                   const EntrySettings& base) {
    if (options.levelGiven) UsageError("--level applies to files and folders; a zip's entries are copied as they are");
    MappedFile file(path);
    InputZip zip = ReadInputZip(file, path);
    if (!base.password.empty() && zip.anyEncrypted)
        Refuse(Quoted(path) + " already holds encrypted entries; --password cannot protect it a second time");
    std::vector<std::string> names, shown;
    uint64_t total = 0;
    for (const CopiedEntry& copied : zip.entries) {
        names.push_back(copied.entry.name);
        shown.push_back(copied.entry.shownName);
        total += copied.entry.compressedSize;
    }
    CheckNameCollisions(names, shown);
    Progress progress(total);
    EntrySettings settings = base;
    settings.progress = &progress;
    for (CopiedEntry& copied : zip.entries) {
        const uint32_t size = copied.entry.compressedSize;
        VerifyEntryData(copied.entry, file.data() + copied.dataOffset, path);
        // A zip's entries keep their times unless --date sets them. The DOS
        // time of an entry encrypted with a descriptor stays: its high byte
        // checks the password.
        if (options.date >= 0) {
            const uint16_t kept = copied.entry.modTime, keptDate = copied.entry.modDate;
            SetEntryTime(copied.entry, 0, options.date);
            if ((copied.entry.flags & kFlagEncrypted) && (copied.entry.flags & kFlagDescriptor)) {
                copied.entry.modTime = kept;
                copied.entry.modDate = keptDate;
            }
        }
        writer.addCopiedEntry(std::move(copied.entry), file.data() + copied.dataOffset, settings);
        settings.progressBase += size;
    }
    progress.finish();
    writer.setComment(zip.comment);
}

// Writes the files and folders given as inputs.
void WriteTreeInput(ArchiveWriter& writer, const Options& options, const OutputFile& out,
                    const EntrySettings& base) {
    std::vector<FileId> skip = {out.identity()};
    FileId previous;
    if (FileIdentity(options.output, &previous)) skip.push_back(previous);
    const std::vector<TreeItem> items = CollectTree(options.inputs, skip);
    std::vector<std::string> names, shown;
    uint64_t total = 0;
    for (const TreeItem& item : items) {
        names.push_back(item.name);
        shown.push_back(item.shownName);
        total += item.size;
    }
    CheckNameCollisions(names, shown);
    Progress progress(total);
    EntrySettings settings = base;
    settings.progress = &progress;
    for (const TreeItem& item : items) {
        ArchiveEntry entry;
        entry.name = item.name;
        entry.shownName = item.shownName;
        SetEntryTime(entry, item.modified, options.date);
        entry.externalAttributes = item.folder ? 0x10 : 0x20;  // MS-DOS folder / archive attributes
        if (item.folder) {
            writer.addFolder(std::move(entry));
        } else {
            writer.addHostFile(std::move(entry), item.path, item.size, settings);
            settings.progressBase += item.size;
        }
    }
    progress.finish();
}

// The version information of a Windows stub: the creator's texts, the title
// for description and product name, or else the stub's own. A stub without
// version information (the Linux stub) takes none; asking for one is
// refused.
void WriteVersionInfo(std::vector<uint8_t>& image, const Options& options) {
    auto text = [](const std::optional<std::string>& given, const std::optional<std::string>& otherwise)
        -> std::optional<std::u16string> {
        if (given) return Utf8ToUtf16(*given);
        if (otherwise) return Utf8ToUtf16(*otherwise);
        return std::nullopt;
    };
    std::optional<std::string> title;
    if (options.titleGiven && !options.title.empty()) title = options.title;
    VersionTexts texts;
    texts.description = text(options.description, title);
    texts.product = text(options.product, title);
    texts.company = text(options.company, "");
    texts.version = text(options.version, "1.0");
    texts.copyright = text(options.copyright, "");
    if (!FillVersionInfo(image, texts) &&
        (options.description || options.company || options.product || options.version || options.copyright))
        Refuse("the stub has no version information to fill; --description, --company, --product, --version "
               "and --copyright are for the Windows stubs");
}

// Writes the header checksum of the finished file, which covers all of it.
void WritePeChecksum(OutputFile& out, size_t field) {
    PeChecksum checksum(field);
    const uint64_t size = out.position();
    std::vector<uint8_t> chunk(1 << 20);
    for (uint64_t at = 0; at < size;) {
        const size_t count = (size_t)std::min<uint64_t>(chunk.size(), size - at);
        out.readBack(at, chunk.data(), count);
        checksum.add(chunk.data(), count);
        at += count;
    }
    uint8_t value[4];
    Store32(value, checksum.finish());
    out.patch(field, value, 4);
}

// Copies [start, end) of the built file into a new file.
void CopyPiece(OutputFile& from, uint64_t start, uint64_t end, OutputFile& to) {
    std::vector<uint8_t> chunk(1 << 20);
    for (uint64_t at = start; at < end;) {
        const size_t count = (size_t)std::min<uint64_t>(chunk.size(), end - at);
        from.readBack(at, chunk.data(), count);
        to.write(chunk.data(), count);
        at += count;
    }
}

// Warnings about a spanned set that was written but may mislead.
void NoteSpannedSet(const Options& options, const std::string& programName, size_t disks) {
    // At start-up the program opens itself again under NAME.EXE.
    const std::string expected = VolumeFileName(programName, true);
    if (kNamesIgnoreCase ? AnsiUpper(programName) != AnsiUpper(expected) : programName != expected) {
        if (kNamesIgnoreCase)
            ShowMessage("note: the program looks for itself as " + expected + " when it starts; name the output " +
                        expected);
        else
            ShowMessage("note: the program looks for itself as " + expected +
                        " when it starts; where names are case-sensitive (Linux), name the output " + expected);
    }
    const std::string stale = JoinPath(FolderOf(options.output), "disk" + std::to_string(disks + 1));
    if (IsFolder(stale))
        ShowMessage("note: " + stale + " is left from an earlier set; this set has " + std::to_string(disks) +
                    " disks");
}

int Build(const Options& options) {
    const std::string stubPath = options.stub.empty() ? JoinPath(OwnFolder(), kDefaultStubName) : options.stub;
    if (options.stub.empty() && !IsRegularFile(stubPath))
        Refuse("no stub given and none found at " + Quoted(stubPath) + "; name one with --stub");
    StubImage stub = LoadStub(stubPath);
    ReadFiles readFiles;
    for (const std::string& input : options.inputs) readFiles.add(input, "input");
    readFiles.add(stubPath, "stub");
    if (!options.passwordFile.empty()) readFiles.add(options.passwordFile, "password file");
    readFiles.checkOutput(options.output);

    HeaderTexts texts;
    texts.defaultFolder = ToAnsi(options.destFolder, "destination folder");
    texts.prompt = ToAnsi(options.prompt, "start-up prompt");
    texts.title = ToAnsi(options.title, "title");
    texts.info = ToAnsi(options.info, "information text");
    texts.program = ToAnsi(options.run, "program to run");
    const std::string header = BuildSfxHeader(texts);

    EntrySettings settings;
    settings.level = options.level;
    settings.password = ReadPassword(options);

    const bool zipInput = options.inputs.size() == 1 && EndsWithZip(options.inputs[0]);
    if (zipInput && !IsRegularFile(options.inputs[0]))
        Refuse("cannot read the zip " + Quoted(options.inputs[0]) + ": no such file");

    const std::string outputFolder = FolderOf(options.output);
    const std::string programName = LastComponent(options.output);
    const bool spanned = options.spanSize != 0;
    const std::string volumeName = VolumeFileName(programName, options.exeVolumes);
    if (spanned && !options.exeVolumes && volumeName == programName)
        Refuse("the output must not be named " + Quoted(volumeName) + ": that is the name of its first volume");

    // The prefix: the stub image, then the header. The block is filled in
    // once the archive is written.
    std::vector<uint8_t> prefix = stub.bytes;
    WriteVersionInfo(prefix, options);
    // The stub's header checksum does not hold for the output: it is written
    // again once the whole file is known. With --crc-with-headers it stays 0,
    // since the start-up check covers it.
    const size_t checksumField = PeChecksumOffset(prefix.data(), prefix.size());
    if (checksumField) Store32(&prefix[checksumField], 0);
    prefix.insert(prefix.end(), header.begin(), header.end());
    const uint64_t archiveStart = prefix.size();
    if (spanned && archiveStart > options.spanSize)
        Refuse("the program and its texts take " + std::to_string(archiveStart) +
               " bytes, more than the volume size " + std::to_string(options.spanSize));

    OutputFile out(options.output);
    out.write(prefix.data(), prefix.size());
    // With ".ZIP" volumes the archive lives in files of its own, so its
    // offsets count from its own start.
    const uint64_t offsetBase = spanned && !options.exeVolumes ? archiveStart : 0;
    ArchiveWriter writer(out, offsetBase);
    if (zipInput) WriteZipInput(writer, options.inputs[0], options, settings);
    else WriteTreeInput(writer, options, out, settings);
    const ArchiveSummary summary = writer.finish();

    BlockValues values;
    values.archiveStart = (uint32_t)archiveStart;
    values.headerOffset = (uint32_t)stub.bytes.size();
    values.endRecordOffset = spanned ? 0 : (uint32_t)summary.endRecordPosition;
    values.totalSize = (uint32_t)std::min<uint64_t>(summary.totalSize, 0xFFFFFFFFu);
    values.flags = ConfigurationFlags(options);
    if (summary.anyEncrypted) values.flags |= SFXF_ENCRYPTED;
    values.entryRva = stub.entryRva;
    FillConfigBlock(prefix, stub.blockOffset, values, !options.noStubCrc);

    std::vector<std::unique_ptr<OutputFile>> volumes;
    if (spanned) {
        const std::vector<VolumePiece> pieces =
            PlanVolumes(archiveStart, summary.end, options.spanSize, options.spanSize - archiveStart,
                        writer.keepTogether());
        for (size_t disk = 1; disk <= pieces.size(); disk++) {
            if (disk == 1 && options.exeVolumes) continue;  // stays inside the program
            std::string folder = outputFolder;
            readFiles.checkOutput(JoinPath(disk > 1 ? JoinPath(folder, "disk" + std::to_string(disk)) : folder,
                                           volumeName));
            if (disk > 1) {
                folder = JoinPath(folder, "disk" + std::to_string(disk));
                EnsureFolder(folder);
            }
            volumes.emplace_back(new OutputFile(JoinPath(folder, volumeName)));
            CopyPiece(out, pieces[disk - 1].start, pieces[disk - 1].end, *volumes.back());
            volumes.back()->close(false);  // a set may have more volumes than a process has files
        }
        out.truncateTo(options.exeVolumes ? pieces[0].end : archiveStart);
    }
    out.patch(stub.blockOffset, &prefix[stub.blockOffset], sizeof(SfxConfigBlock));
    if (checksumField && !options.crcWithHeaders) WritePeChecksum(out, checksumField);
    for (auto& volume : volumes) volume->commit(false);
    out.commit(true);
    if (spanned) NoteSpannedSet(options, programName, volumes.size() + (options.exeVolumes ? 1 : 0));
    return kExitMade;
}

}  // namespace

// --list, --test, --extract: a refusal is exit status 2, as for the program.
int RunReaderCommand(const Options& options) {
    try {
        const bool withPassword = options.passwordGiven || !options.passwordFile.empty();
        const std::string password = withPassword ? ReadPassword(options) : std::string();
        if (options.readerCommand == ReaderCommand::List) return ListSelfExtractor(options.readFile);
        if (options.readerCommand == ReaderCommand::Test) return TestSelfExtractor(options.readFile, password);
        return ExtractSelfExtractor(options.readFile, options.inputs[0], password, options.overwrite);
    } catch (const BuildError& error) {
        fflush(stdout);
        ShowMessage(error.what());
        return kReaderDamaged;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& error) {
        fflush(stdout);
        ShowMessage(std::string("internal error: ") + error.what());
        return kReaderInternal;
    }
}

int RunBuilder(std::vector<std::string> words) {
    try {
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        const Options options = ParseOptions((int)words.size(), argv.data());
        if (options.help) {
            fputs(HelpText(), stdout);
            return kExitMade;
        }
        if (options.readerCommand != ReaderCommand::None) return RunReaderCommand(options);
        return Build(options);
    } catch (const BuildError& error) {
        ShowMessage(error.what());
        return error.status();
    } catch (const std::bad_alloc&) {
        ShowMessage("not enough memory");
        return kExitRefused;
    }
}

}  // namespace kvmake
