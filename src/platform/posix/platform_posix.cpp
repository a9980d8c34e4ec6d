// The seam on Linux: real files and folders, and the terminal in place of
// message boxes. Paths arrive in the stub's own form (backslashes) and are
// turned into slashes before they reach the system.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "format/codepage.h"
#include "platform/gather.h"
#include "platform/platform.h"
#include "platform/posix/codepage.h"
#include "platform/posix/command_words.h"
#include "ui/terminal/terminal.h"

namespace {

enum : uint32_t { kNativePathCapacity = 1024 };

// The stub's path in the system's form: slashes for separators, and each
// component in UTF-8. Entry names arrive in Windows-1252 (the builder stores
// them so), paths from the system already in UTF-8: a component that is not
// well-formed UTF-8 is taken as Windows-1252 and converted. False when the
// result does not fit.
bool NativePath(const char* path, char* out) {
    // A path in ASCII, the usual case, in one pass.
    unsigned char high = 0;
    uint32_t length = 0;
    for (; path[length] != 0; length++) {
        if (length + 1 >= kNativePathCapacity) return false;
        char c = path[length];
        high |= (unsigned char)c;
        out[length] = c == '\\' ? '/' : c;
    }
    out[length] = 0;
    if (high < 0x80) return true;

    uint32_t used = 0;
    const char* p = path;
    for (;;) {
        // The component as it is, then converted when it is not UTF-8.
        const char* component = p;
        uint32_t start = used;
        unsigned char componentHigh = 0;
        for (; *p != 0 && *p != '\\' && *p != '/'; p++) {
            if (used + 1 >= kNativePathCapacity) return false;
            componentHigh |= (unsigned char)*p;
            out[used++] = *p;
        }
        uint32_t componentLength = (uint32_t)(p - component);
        if (componentHigh >= 0x80 && !IsUtf8((const unsigned char*)component, componentLength)) {
            char copy[kNativePathCapacity];
            memcpy(copy, component, componentLength);
            copy[componentLength] = 0;
            uint32_t converted = AnsiToUtf8(copy, out + start, kNativePathCapacity - start);
            if (start + converted >= kNativePathCapacity) return false;
            used = start + converted;
        }
        if (*p == 0) break;
        if (used + 1 >= kNativePathCapacity) return false;
        out[used++] = '/';
        p++;
    }
    out[used] = 0;
    return true;
}

// Windows finds a file whatever the case of its name; a volume of a spanned
// set is opened as NAME.EXE or NAME.ZIP whatever the name on the disk. When
// native does not exist, this looks in its folder for the one name that
// equals its last component but for the case of ASCII letters, and puts it
// in place. False when there is none.
bool FindNameIgnoringCase(char* native) {
    char* slash = strrchr(native, '/');
    char* name = slash ? slash + 1 : native;
    char folder[kNativePathCapacity];
    if (slash == native) snprintf(folder, sizeof folder, "/");
    else if (slash) snprintf(folder, sizeof folder, "%.*s", (int)(slash - native), native);
    else snprintf(folder, sizeof folder, ".");
    DIR* listing = opendir(folder);
    if (listing == 0) return false;
    bool found = false;
    while (struct dirent* item = readdir(listing)) {
        if (strcasecmp(item->d_name, name) == 0 && strlen(item->d_name) == strlen(name)) {
            memcpy(name, item->d_name, strlen(name));
            found = true;
            break;
        }
    }
    closedir(listing);
    return found;
}

FileHandle FromDescriptor(int fd) { return fd < 0 ? 0 : (FileHandle)fd + 1; }
int ToDescriptor(FileHandle file) { return (int)(file - 1); }

// A symbolic link at the path is removed first: the file takes its place,
// and its target, wherever it lies, stays untouched. O_NOFOLLOW refuses a
// link that appears in between.
FileHandle PosixCreateFile(const char* path) {
    char native[kNativePathCapacity];
    if (!NativePath(path, native)) return 0;
    struct stat info;
    if (lstat(native, &info) == 0 && S_ISLNK(info.st_mode) && unlink(native) != 0) return 0;
    return FromDescriptor(open(native, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666));
}

int32_t SystemWrite(FileHandle file, const void* buffer, uint32_t count) {
    uint32_t done = 0;
    while (done < count) {
        ssize_t put = write(ToDescriptor(file), (const char*)buffer + done, count - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return done > 0 ? (int32_t)done : -1;
        if (put == 0) break;
        done += (uint32_t)put;
    }
    return (int32_t)done;
}

// The output file's writes, gathered (platform/gather.h).
OutputGather outputGather;

// O_EXCL: nothing at path is opened, not even through a link.
FileHandle PosixCreateNewFile(const char* path) {
    char native[kNativePathCapacity];
    if (!NativePath(path, native)) return 0;
    FileHandle file = FromDescriptor(open(native, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file != 0) GatherStart(&outputGather, SystemWrite, file);
    return file;
}

int PosixFlushFile(FileHandle file) { return GatherFlushFile(&outputGather, SystemWrite, file); }

// rename(2) replaces a link at to by the file, never the link's target.
int PosixReplaceFile(const char* from, const char* to) {
    char nativeFrom[kNativePathCapacity], nativeTo[kNativePathCapacity];
    return NativePath(from, nativeFrom) && NativePath(to, nativeTo) && rename(nativeFrom, nativeTo) == 0;
}

int PosixDeleteFile(const char* path) {
    char native[kNativePathCapacity];
    return NativePath(path, native) && unlink(native) == 0;
}

int32_t SystemRead(FileHandle file, void* buffer, uint32_t count) {
    uint32_t done = 0;
    while (done < count) {
        ssize_t got = read(ToDescriptor(file), (char*)buffer + done, count - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += (uint32_t)got;
    }
    return (int32_t)done;
}

int64_t SystemSeek(FileHandle file, int64_t offset, int origin) {
    int whence = origin == kSeekSet ? SEEK_SET : origin == kSeekCurrent ? SEEK_CUR : SEEK_END;
    off_t position = lseek(ToDescriptor(file), (off_t)offset, whence);
    return position < 0 ? -1 : (int64_t)position;
}

// The file opened last for reading (the archive), read ahead
// (platform/gather.h).
InputAhead inputAhead;

int32_t PosixReadFile(FileHandle file, void* buffer, uint32_t count) {
    if (!PosixFlushFile(file)) return -1;
    return AheadRead(&inputAhead, SystemRead, SystemSeek, file, buffer, count);
}

int32_t PosixWriteFile(FileHandle file, const void* buffer, uint32_t count) {
    return GatherWrite(&outputGather, SystemWrite, file, buffer, count);
}

int64_t PosixSeekFile(FileHandle file, int64_t offset, int origin) {
    if (!PosixFlushFile(file)) return -1;
    return AheadSeek(&inputAhead, SystemSeek, file, offset, origin);
}

void PosixCloseFile(FileHandle file) {
    GatherClose(&outputGather, SystemWrite, file);
    AheadClose(&inputAhead, file);
    close(ToDescriptor(file));
}

FileHandle PosixOpenFile(const char* path, int /*share*/) {
    char native[kNativePathCapacity];
    if (!NativePath(path, native)) return 0;
    int fd = open(native, O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && FindNameIgnoringCase(native)) fd = open(native, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        struct stat info;
        if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
            close(fd);
            return 0;
        }
        AheadStart(&inputAhead, SystemSeek, FromDescriptor(fd));
    }
    return FromDescriptor(fd);
}

// The moment that local names, as mktime gives it. mktime looks at the
// time zone file again at every call (one more system call per extracted
// file); localtime_r reads it once. The offset is the one in force at the
// moment found, taken twice so that a date on the far side of a
// daylight-saving change gets its own. A time in the hour such a change
// repeats or skips names no single moment; it may get the other reading
// than mktime's.
time_t LocalToUtc(struct tm* local) {
    struct tm fields = *local;
    time_t asUtc = timegm(&fields);
    if (asUtc == (time_t)-1) return mktime(local);
    struct tm found;
    time_t seconds = asUtc;
    for (int pass = 0; pass < 2; pass++) {
        if (localtime_r(&seconds, &found) == 0) return mktime(local);
        seconds = asUtc - found.tm_gmtoff;
    }
    return seconds;
}

// The DOS date and time are local time; the file gets them as its access and
// modification times.
void PosixSetFileTime(FileHandle file, uint16_t dosDate, uint16_t dosTime) {
    PosixFlushFile(file);
    struct tm local = {};
    local.tm_year = 80 + (dosDate >> 9);
    local.tm_mon = ((dosDate >> 5) & 0xF) - 1;
    local.tm_mday = dosDate & 0x1F;
    local.tm_hour = dosTime >> 11;
    local.tm_min = (dosTime >> 5) & 0x3F;
    local.tm_sec = (dosTime & 0x1F) * 2;
    local.tm_isdst = -1;
    time_t seconds = LocalToUtc(&local);
    if (seconds == (time_t)-1) return;
    struct timespec times[2];
    times[0].tv_sec = seconds;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    futimens(ToDescriptor(file), times);
}

void PosixSetFileTimeUtc(FileHandle file, int64_t unixSeconds) {
    struct timespec times[2];
    times[0].tv_sec = (time_t)unixSeconds;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    futimens(ToDescriptor(file), times);
}

int PosixFindFile(const char* path, char* foundName, uint32_t* attributes) {
    char native[kNativePathCapacity];
    if (!NativePath(path, native)) return 0;
    // The link itself, as Windows reports a reparse point: found even when
    // dangling, a folder when its target is one.
    struct stat info;
    if (lstat(native, &info) != 0) return 0;
    uint32_t found = 0x20u;
    if (S_ISLNK(info.st_mode)) {
        found |= kAttributeReparsePoint;
        struct stat target;
        if (stat(native, &target) == 0 && S_ISDIR(target.st_mode)) found = kAttributeFolder | kAttributeReparsePoint;
    } else if (S_ISDIR(info.st_mode)) {
        found = kAttributeFolder;
    }
    if (attributes) *attributes = found;
    if (foundName) {
        // Linux names have one form only: the last component as given.
        uint32_t length = (uint32_t)strlen(native);
        while (length > 1 && native[length - 1] == '/') native[--length] = 0;
        const char* slash = strrchr(native, '/');
        const char* name = slash && slash[1] ? slash + 1 : native;
        size_t nameLength = strlen(name);
        if (nameLength > 260) return 0;  // no such name on the stub's side of the seam
        memcpy(foundName, name, nameLength + 1);
    }
    return 1;
}

int PosixMakeFolder(const char* path) {
    char native[kNativePathCapacity];
    return NativePath(path, native) && mkdir(native, 0777) == 0;
}

int PosixSetCurrentFolder(const char* path) {
    char native[kNativePathCapacity];
    return NativePath(path, native) && chdir(native[0] ? native : "/") == 0;
}

uint32_t PosixCurrentFolder(char* buffer, uint32_t capacity) {
    if (getcwd(buffer, capacity) == 0) return 0;
    return (uint32_t)strlen(buffer);
}

uint32_t PosixModuleFileName(char* buffer, uint32_t capacity) {
    if (capacity == 0) return 0;
    ssize_t length = readlink("/proc/self/exe", buffer, capacity - 1);
    if (length <= 0) return 0;
    buffer[length] = 0;
    return (uint32_t)length;
}

// Linux has no Windows folder: the temporary folder comes from TMP or TEMP,
// which fall back on TMPDIR and /tmp.
uint32_t PosixWindowsFolder(char*, uint32_t) { return 0; }

// Drive letters do not exist on Linux: a path that begins with one names no
// drive.
uint32_t PosixDriveType(const char*) { return kDriveUnknown; }

// The label of the file system that holds the program (the stand-in for the
// drive the archive lies on), found through /dev/disk/by-label.
int PosixVolumeLabel(const char*, char* label, uint32_t capacity) {
    char module[kNativePathCapacity];
    if (PosixModuleFileName(module, sizeof module) == 0) return 0;
    struct stat file;
    if (stat(module, &file) != 0) return 0;
    DIR* folder = opendir("/dev/disk/by-label");
    if (folder == 0) return 0;
    int found = 0;
    while (struct dirent* item = readdir(folder)) {
        if (item->d_name[0] == '.') continue;
        char link[kNativePathCapacity];
        snprintf(link, sizeof link, "/dev/disk/by-label/%s", item->d_name);
        struct stat device;
        if (stat(link, &device) != 0 || !S_ISBLK(device.st_mode) || device.st_rdev != file.st_dev) continue;
        // udev escapes blanks and other bytes as \xNN.
        uint32_t out = 0;
        for (const char* p = item->d_name; *p != 0 && out + 1 < capacity; p++) {
            unsigned value;
            if (p[0] == '\\' && p[1] == 'x' && sscanf(p + 2, "%2x", &value) == 1) {
                label[out++] = (char)value;
                p += 3;
            } else {
                label[out++] = *p;
            }
        }
        label[out] = 0;
        found = 1;
        break;
    }
    closedir(folder);
    return found;
}

uint32_t PosixEnvironment(const char* name, char* buffer, uint32_t capacity) {
    const char* value = getenv(name);
    if ((value == 0 || *value == 0) && strcmp(name, "TMP") == 0) {
        value = getenv("TMPDIR");
        if (value == 0 || *value == 0) value = "/tmp";
    }
    if (value == 0) return 0;
    uint32_t length = (uint32_t)strlen(value);
    if (length >= capacity) return length + 1;  // as the system call: the size it needs
    memcpy(buffer, value, length + 1);
    return length;
}

void* PosixAllocate(uint32_t size) { return calloc(1, size ? size : 1); }
void PosixRelease(void* block) { free(block); }

uint32_t PosixSystemVersion() {
    struct utsname name;
    unsigned major = 4, minor = 0;
    if (uname(&name) == 0) sscanf(name.release, "%u.%u", &major, &minor);
    if (major < 4) major = 4;
    return (major & 0xFF) | ((minor & 0xFF) << 8);
}

void PosixMemoryStatus(SfxMemoryStatus* status) {
    struct sysinfo info;
    if (sysinfo(&info) != 0) return;
    uint64_t unit = info.mem_unit ? info.mem_unit : 1;
    status->totalPhysical = (uint64_t)info.totalram * unit;
    status->availablePhysical = (uint64_t)info.freeram * unit;
    status->memoryLoad =
        status->totalPhysical ? (uint32_t)(100 - status->availablePhysical * 100 / status->totalPhysical) : 0;
    status->totalVirtual = status->totalPhysical + (uint64_t)info.totalswap * unit;
    status->availableVirtual = status->availablePhysical + (uint64_t)info.freeswap * unit;
}

void PosixSystemTime(SfxSystemTime* now) {
    time_t seconds = time(0);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    now->year = (uint16_t)(utc.tm_year + 1900);
    now->month = (uint16_t)(utc.tm_mon + 1);
    now->day = (uint16_t)utc.tm_mday;
    now->hour = (uint16_t)utc.tm_hour;
    now->minute = (uint16_t)utc.tm_min;
}

void PosixExitProcess(uint32_t code) {
    fflush(0);
    _exit((int)code);
}

char* PosixNextChar(const char* text) { return (char*)(*text ? text + 1 : text); }

// Upper case in Windows-1252, as the system's conversion does it.
void PosixUpperCase(char* text, uint32_t length) {
    for (uint32_t i = 0; i < length; i++) text[i] = (char)Windows1252Upper((uint8_t)text[i]);
}

// --- Message boxes on the terminal -----------------------------------------

struct Button {
    const char* label;  // UTF-8
    int answer;
};

uint32_t BoxButtons(uint32_t style, Button* buttons) {
    switch (style & kBoxButtonsMask) {
    case kBoxOkCancel:
        buttons[0] = {"OK", kAnswerOk};
        buttons[1] = {"Annuler", kAnswerCancel};
        return 2;
    case kBoxAbortRetryIgnore:
        buttons[0] = {"Abandonner", kAnswerAbort};
        buttons[1] = {"R\xC3\xA9" "essayer", kAnswerRetry};
        buttons[2] = {"Ignorer", kAnswerIgnore};
        return 3;
    case kBoxYesNoCancel:
        buttons[0] = {"Oui", kAnswerYes};
        buttons[1] = {"Non", kAnswerNo};
        buttons[2] = {"Annuler", kAnswerCancel};
        return 3;
    case kBoxYesNo:
        buttons[0] = {"Oui", kAnswerYes};
        buttons[1] = {"Non", kAnswerNo};
        return 2;
    default:
        buttons[0] = {"OK", kAnswerOk};
        return 1;
    }
}

// The answer at the end of input: Cancel, No or Abort where the box has one.
int SafeAnswer(const Button* buttons, uint32_t count) {
    for (uint32_t i = 0; i < count; i++)
        if (buttons[i].answer == kAnswerCancel) return kAnswerCancel;
    for (uint32_t i = 0; i < count; i++)
        if (buttons[i].answer == kAnswerNo || buttons[i].answer == kAnswerAbort) return buttons[i].answer;
    return buttons[0].answer;
}

int LowerAscii(int c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

// An answer is the button's number, its label, or the label's first letter,
// in any case; an empty line takes the default button.
int MatchAnswer(const char* line, const Button* buttons, uint32_t count, uint32_t defaultIndex) {
    while (*line == ' ' || *line == '\t') line++;
    uint32_t length = (uint32_t)strcspn(line, "\r\n");
    while (length > 0 && (line[length - 1] == ' ' || line[length - 1] == '\t')) length--;
    if (length == 0) return buttons[defaultIndex].answer;
    if (length == 1 && line[0] >= '1' && line[0] < (char)('1' + count)) return buttons[line[0] - '1'].answer;
    for (uint32_t i = 0; i < count; i++) {
        const char* label = buttons[i].label;
        if (length == 1 && LowerAscii((unsigned char)line[0]) == LowerAscii((unsigned char)label[0]))
            return buttons[i].answer;
        if (strlen(label) == length && strncasecmp(line, label, length) == 0) return buttons[i].answer;
    }
    return 0;
}

int PosixMessageBox(void*, const char* text, const char* caption, uint32_t style) {
    Button buttons[3];
    uint32_t count = BoxButtons(style, buttons);
    uint32_t defaultIndex = (style & kBoxDefaultButton2) && count > 1 ? 1 : 0;

    // The system's texts are Windows-1252; names in them may be the
    // system's own UTF-8: the terminal writer takes each as it is. What
    // standard output holds comes first.
    fflush(stdout);
    fprintf(stderr, "\n[");
    PutTerminalText(stderr, caption);
    fprintf(stderr, "]\n");
    PutTerminalText(stderr, text);
    fprintf(stderr, "\n");
    if (count == 1) {
        fflush(stderr);
        return buttons[0].answer;
    }
    for (;;) {
        fprintf(stderr, "(");
        for (uint32_t i = 0; i < count; i++)
            fprintf(stderr, "%s%u %s%s", i ? ", " : "", i + 1, buttons[i].label, i == defaultIndex ? "*" : "");
        fprintf(stderr, ") > ");
        fflush(stderr);
        char line[256];
        if (fgets(line, sizeof line, stdin) == 0) {
            int answer = SafeAnswer(buttons, count);
            for (uint32_t i = 0; i < count; i++)
                if (buttons[i].answer == answer) fprintf(stderr, "%s\n", buttons[i].label);
            return answer;
        }
        // A line longer than the buffer is no answer: the rest of it is read
        // and dropped, so that its tail is not taken for the next answer.
        if (strchr(line, '\n') == 0 && !feof(stdin)) {
            int c;
            while ((c = getchar()) != EOF && c != '\n') {
            }
            continue;
        }
        int answer = MatchAnswer(line, buttons, count, defaultIndex);
        if (answer != 0) return answer;
    }
}

// Linux keeps no registered archiver.
int PosixArchiverCommand(char*, uint32_t) { return 0; }
int PosixShiftHeld() { return 0; }

uint32_t PosixRunCommand(const char* line) {
    pid_t child = fork();
    if (child < 0) return 0;
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", line, (char*)0);
        _exit(127);
    }
    return 32;
}

// Ctrl-C and Ctrl-\ go to the program while the stub waits for it, as a
// shell does; the program itself gets the default action of every signal
// the stub ignores or catches.
struct IgnoredWhileWaiting {
    struct sigaction interrupt, quit;
    IgnoredWhileWaiting() {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGINT, &ignore, &interrupt);
        sigaction(SIGQUIT, &ignore, &quit);
    }
    ~IgnoredWhileWaiting() {
        sigaction(SIGINT, &interrupt, 0);
        sigaction(SIGQUIT, &quit, 0);
    }
};

// The archive carries no Unix permissions: a program file that its owner
// may not execute gets the owner's execute bit, that file alone. Only a
// regular file is started.
bool MakeRunnable(const char* native) {
    struct stat info;
    if (lstat(native, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    if (info.st_mode & S_IXUSR) return true;
    return chmod(native, (info.st_mode & 07777) | S_IXUSR) == 0;
}

int PosixStartProgram(const char* path, const char* commandLine, const char* folder, uint32_t* exitCode) {
    char nativeFolder[kNativePathCapacity], relative[kNativePathCapacity], program[kNativePathCapacity];
    if (!NativePath(folder, nativeFolder) || !NativePath(path, relative)) return 0;
    // The program starts in its folder: a relative path is made absolute
    // from where the stub stands before that.
    program[0] = 0;
    if (relative[0] != '/') {
        if (getcwd(program, sizeof program) == 0) return 0;
        if (strlen(program) + 1 + strlen(relative) >= sizeof program) return 0;
        strcat(program, "/");
    } else if (strlen(relative) >= sizeof program) {
        return 0;
    }
    strcat(program, relative);
    if (!MakeRunnable(program)) return 0;

    // The words, from the line in UTF-8 as Linux programs expect them.
    uint32_t length = (uint32_t)strlen(commandLine);
    uint32_t capacity = 4 * length + 1;
    char* line = (char*)malloc(capacity);
    char* buffer = (char*)malloc(capacity);
    char** words = (char**)malloc((capacity + 2) * sizeof(char*));
    int started = 0;
    if (line != 0 && buffer != 0 && words != 0) {
        if (IsUtf8((const unsigned char*)commandLine, length)) strcpy(line, commandLine);
        else AnsiToUtf8(commandLine, line, capacity);
        SplitCommandLine(line, buffer, words);

        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, nativeFolder);
        posix_spawnattr_init(&attributes);
        sigset_t defaults, none;
        sigemptyset(&defaults);
        static const int kDefaultSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGXFSZ, SIGHUP};
        for (int signalNumber : kDefaultSignals) sigaddset(&defaults, signalNumber);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

        fflush(0);  // what the stub said comes before what the program says
        IgnoredWhileWaiting waiting;
        pid_t child = 0;
        if (posix_spawn(&child, program, &actions, &attributes, words, environ) == 0) {
            int status = 0;
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            // A program ended by a signal ends the stub as a shell reports it.
            *exitCode = WIFEXITED(status) ? (uint32_t)WEXITSTATUS(status) : 128u + (uint32_t)WTERMSIG(status);
            started = 1;
        }
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    free(line);
    free(buffer);
    free(words);
    return started;
}

}  // namespace

SfxPlatform sfxPlatform = {
    PosixOpenFile,        PosixCreateNewFile,    PosixCreateFile,      PosixReadFile,
    PosixWriteFile,       PosixSeekFile,         PosixCloseFile,       PosixSetFileTime,
    PosixSetFileTimeUtc,
    PosixFindFile,        PosixMakeFolder,       PosixSetCurrentFolder, PosixCurrentFolder,
    PosixModuleFileName,  PosixWindowsFolder,    PosixDriveType,       PosixVolumeLabel,
    PosixEnvironment,     PosixAllocate,         PosixRelease,         PosixSystemVersion,
    PosixMemoryStatus,    PosixSystemTime,       PosixExitProcess,     PosixNextChar,
    PosixUpperCase,       PosixOemToAnsi,        PosixMessageBox,      PosixArchiverCommand,
    PosixShiftHeld,       PosixRunCommand,       PosixReplaceFile,     PosixDeleteFile,
    PosixStartProgram,
    PosixFlushFile,
};
