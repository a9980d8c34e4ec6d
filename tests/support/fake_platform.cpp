#include "support/fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "failure/failure.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "startup/startup.h"

FakePlatform fake;

namespace {

SfxPlatform realPlatform;
bool saved = false;
SfxConfigBlock pristineBlock;
std::jmp_buf exitTrap;
bool exitTrapArmed = false;
std::vector<FileHandle> createdFiles;
int64_t writtenToCreated = 0;

int SafeAnswer(uint32_t style) {
    switch (style & kBoxButtonsMask) {
    case kBoxOkCancel: return kAnswerCancel;
    case kBoxAbortRetryIgnore: return kAnswerAbort;
    case kBoxYesNoCancel: return kAnswerCancel;
    case kBoxYesNo: return kAnswerNo;
    default: return kAnswerOk;
    }
}

int FakeMessageBox(void* owner, const char* text, const char* caption, uint32_t style) {
    int answer = SafeAnswer(style);
    if ((style & kBoxButtonsMask) != kBoxOk && !fake.answers.empty()) {
        answer = fake.answers.front();
        fake.answers.pop_front();
    }
    fake.boxes.push_back({text, caption, style, owner != nullptr, answer});
    return answer;
}

uint32_t FakeModuleFileName(char* buffer, uint32_t capacity) {
    if (fake.moduleFileName.empty()) return realPlatform.moduleFileName(buffer, capacity);
    if (capacity == 0) return 0;
    // As the system does: a name that does not fit is cut and terminated.
    size_t length = std::min<size_t>(fake.moduleFileName.size(), capacity - 1);
    memcpy(buffer, fake.moduleFileName.data(), length);
    buffer[length] = 0;
    return (uint32_t)length;
}

int FakeVolumeLabel(const char*, char* label, uint32_t capacity) {
    fake.labelQueries++;
    std::string value = fake.label;
    bool readable = fake.labelReadable;
    if (!fake.labelSequence.empty()) {
        value = fake.labelSequence.front();
        fake.labelSequence.pop_front();
        readable = value != "<none>";
    }
    if (!readable) return 0;
    snprintf(label, capacity, "%s", value.c_str());
    return 1;
}

FileHandle FakeOpenFile(const char* path, int share) {
    if (fake.mapOpenPath) {
        std::string mapped = fake.mapOpenPath(path);
        return realPlatform.openFile(mapped.c_str(), share);
    }
    return realPlatform.openFile(path, share);
}

int32_t FakeReadFile(FileHandle file, void* buffer, uint32_t count) {
    if (fake.readBudget == 0) return -1;
    if (fake.readBudget > 0 && count > fake.readBudget) count = (uint32_t)fake.readBudget;
    int32_t got = realPlatform.readFile(file, buffer, count);
    if (fake.readBudget > 0 && got > 0) fake.readBudget -= got;
    return got;
}

FileHandle FakeCreateFile(const char* path) {
    FileHandle file = realPlatform.createFile(path);
    if (file) {
        createdFiles.push_back(file);
        fake.createdPaths.push_back(path);
        writtenToCreated = 0;
    }
    return file;
}

int32_t FakeWriteFile(FileHandle file, const void* buffer, uint32_t count) {
    bool created = std::find(createdFiles.begin(), createdFiles.end(), file) != createdFiles.end();
    if (created && fake.failWrites) return -1;
    if (created && fake.writeBudget >= 0 && count > fake.writeBudget) count = (uint32_t)fake.writeBudget;
    int32_t put = realPlatform.writeFile(file, buffer, count);
    if (created && fake.writeBudget >= 0 && put > 0) fake.writeBudget -= put;
    if (created && put > 0) writtenToCreated += put;
    if (created && fake.afterWrite) fake.afterWrite(writtenToCreated);
    return put;
}

void FakeCloseFile(FileHandle file) {
    createdFiles.erase(std::remove(createdFiles.begin(), createdFiles.end(), file), createdFiles.end());
    realPlatform.closeFile(file);
}

int FakeReplaceFile(const char* from, const char* to) {
    if (fake.failReplace) return 0;
    int done = realPlatform.replaceFile(from, to);
    if (done) fake.replaced.emplace_back(from, to);
    return done;
}

void FakeSetFileTime(FileHandle file, uint16_t dosDate, uint16_t dosTime) {
    fake.fileTimes.push_back({false, 0, dosDate, dosTime});
    realPlatform.setFileTime(file, dosDate, dosTime);
}

void FakeSetFileTimeUtc(FileHandle file, int64_t seconds) {
    fake.fileTimes.push_back({true, seconds, 0, 0});
    realPlatform.setFileTimeUtc(file, seconds);
}

void* FakeAllocate(uint32_t size) {
    fake.allocations++;
    fake.largestAllocation = std::max(fake.largestAllocation, size);
    if (fake.failAllocation > 0 && fake.allocations == fake.failAllocation) return nullptr;
    return realPlatform.allocate(size);
}

uint32_t FakeEnvironment(const char* name, char* buffer, uint32_t capacity) {
    for (auto& [key, value] : fake.environment) {
        if (key != name) continue;
        if (value.size() >= capacity) return (uint32_t)value.size() + 1;
        memcpy(buffer, value.c_str(), value.size() + 1);
        return (uint32_t)value.size();
    }
    if (fake.unsetEnvironment) return 0;
    return realPlatform.environment(name, buffer, capacity);
}

int FakeArchiverCommand(char* buffer, uint32_t capacity) {
    if (fake.archiverCommand.empty()) return 0;
    snprintf(buffer, capacity, "%s", fake.archiverCommand.c_str());
    return 1;
}

int FakeShiftHeld() { return fake.shiftHeld; }

uint32_t FakeRunCommand(const char* line) {
    fake.commands.push_back(line);
    return fake.runCommandResult;
}

int FakeStartProgram(const char* path, const char* commandLine, const char* folder, uint32_t* exitCode) {
    fake.programs.push_back({path, commandLine, folder});
    return realPlatform.startProgram(path, commandLine, folder, exitCode);
}

void FakeExitProcess(uint32_t code) {
    fake.exited = true;
    fake.exitCode = code;
    if (exitTrapArmed) {
        exitTrapArmed = false;
        std::longjmp(exitTrap, 1);
    }
    fprintf(stderr, "exitProcess(%u) outside RunSfxMain/EndsProcess\n", code);
    std::abort();
}

}  // namespace

void InstallFakePlatform() {
    if (!saved) {
        realPlatform = sfxPlatform;
        memcpy(&pristineBlock, (const void*)&sfxConfigBlock, sizeof pristineBlock);
        saved = true;
    }
    fake = FakePlatform();
    createdFiles.clear();
    sfxPlatform = realPlatform;
    sfxPlatform.messageBox = FakeMessageBox;
    sfxPlatform.moduleFileName = FakeModuleFileName;
    sfxPlatform.volumeLabel = FakeVolumeLabel;
    sfxPlatform.openFile = FakeOpenFile;
    sfxPlatform.readFile = FakeReadFile;
    sfxPlatform.createFile = FakeCreateFile;
    sfxPlatform.writeFile = FakeWriteFile;
    sfxPlatform.closeFile = FakeCloseFile;
    sfxPlatform.replaceFile = FakeReplaceFile;
    sfxPlatform.setFileTime = FakeSetFileTime;
    sfxPlatform.setFileTimeUtc = FakeSetFileTimeUtc;
    sfxPlatform.allocate = FakeAllocate;
    sfxPlatform.environment = FakeEnvironment;
    sfxPlatform.archiverCommand = FakeArchiverCommand;
    sfxPlatform.shiftHeld = FakeShiftHeld;
    sfxPlatform.runCommand = FakeRunCommand;
    sfxPlatform.startProgram = FakeStartProgram;
    sfxPlatform.exitProcess = FakeExitProcess;
    ResetSfxState();
    memcpy((void*)&sfxConfigBlock, &pristineBlock, sizeof pristineBlock);
}

void RestoreRealPlatform() {
    if (saved) sfxPlatform = realPlatform;
}

bool EndsProcess(const std::function<void()>& fn) {
    fake.exited = false;
    if (setjmp(exitTrap) != 0) return true;
    exitTrapArmed = true;
    fn();
    exitTrapArmed = false;
    return false;
}

uint32_t RunSfxMain(const std::string& argumentText) {
    static std::vector<char> text;
    text.assign(argumentText.begin(), argumentText.end());
    text.push_back(0);
    uint32_t code = 0;
    if (EndsProcess([&] { code = SfxMain(nullptr, text.data()); })) return fake.exitCode;
    return code;
}

bool UseSfxFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = bytes.find(std::string((const char*)pristineBlock.signature, 8));
    if (at == std::string::npos || at + sizeof(SfxConfigBlock) > bytes.size()) return false;
    memcpy((void*)&sfxConfigBlock, bytes.data() + at, sizeof(SfxConfigBlock));
    fake.moduleFileName = path;
    return true;
}

void LoadMessagesForTest() {
    if (state.messageTable == nullptr) LoadMessages();
}

std::string Utf8(const std::string& text) {
    static const char* const high[32] = {
        "\u20AC", "\x81", "\u201A", "\u0192", "\u201E", "\u2026", "\u2020", "\u2021", "\u02C6", "\u2030", "\u0160",
        "\u2039", "\u0152", "\x8D", "\u017D", "\x8F", "\x90", "\u2018", "\u2019", "\u201C", "\u201D", "\u2022",
        "\u2013", "\u2014", "\u02DC", "\u2122", "\u0161", "\u203A", "\u0153", "\x9D", "\u017E", "\u0178"};
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x80) out += (char)c;
        else if (c < 0xA0) out += high[c - 0x80];
        else {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}
