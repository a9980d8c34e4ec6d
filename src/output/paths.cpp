// Output paths and folders: the small path routines, the output path of a
// file entry, the folders a path needs, and the refusal of entry names that
// would place anything outside the destination folder.
//
// Paths are 8-bit texts in the ANSI code page, stepped character by
// character with the system's next-character step so that the second byte of
// a double-byte character is never taken for a separator: every test below
// looks only at the first byte of a character, where a separator byte is a
// whole character. Both separators count on input; output paths carry
// backslashes only.
#include "output/output.h"

#include "failure/failure.h"
#include "platform/system_rules.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "startup/startup.h"
#include "startup/text.h"

// ---------------------------------------------------------------------------
// Path routines.

namespace {

// The character after the one at p: an ASCII byte is a whole character in
// every code page (the lead bytes of double-byte characters lie above
// 0x80), so only other bytes ask the system.
inline __attribute__((always_inline)) char* NextChar(const char* p) {
    return (unsigned char)*p - 1u < 0x7Fu ? (char*)p + 1 : sfxPlatform.nextChar(p);
}

}  // namespace

int IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

int IsPathSeparator(char c) { return c == '\\' || c == '/'; }

char* LastChar(char* text) {
    char* last = 0;
    for (char* p = text; *p != 0; p = NextChar(p)) last = p;
    return last;
}

char* LastSeparator(char* text) {
    char* found = 0;
    for (char* p = text; *p != 0; p = NextChar(p))
        if (IsPathSeparator(*p)) found = p;
    return found;
}

char* LastComponent(char* text) {
    char* separator = LastSeparator(text);
    return separator ? separator + 1 : text;
}

const char* LastComponent(const char* text) { return LastComponent(const_cast<char*>(text)); }

// The caller leaves room for one more character.
void AppendSeparator(char* text) {
    char* last = LastChar(text);
    if (last != 0 && IsPathSeparator(*last)) return;
    uint32_t length = TextLength(text);
    text[length] = '\\';
    text[length + 1] = 0;
}

// The root part (two leading separators, or a drive letter and ':') keeps
// its separator: C:\ and \ stay as they are, C:\Data\ becomes C:\Data.
int StripTrailingSeparator(char* text) {
    uint32_t rootLength = 0;
    if ((IsPathSeparator(text[0]) && IsPathSeparator(text[1])) || (IsAsciiLetter(text[0]) && text[1] == ':'))
        rootLength = 2;
    char* last = LastChar(text);
    if (last == 0 || !IsPathSeparator(*last)) return 0;
    if ((uint32_t)(last - text) <= rootLength) return 0;
    *last = 0;
    return 1;
}

int PathExists(const char* path, uint32_t* folderFlag) {
    char foundName[kPathCapacity];
    uint32_t attributes = 0;
    if (!sfxPlatform.findFile(path, foundName, &attributes)) return 0;
    if (folderFlag != 0 && (attributes & kAttributeFolder) != 0) *folderFlag = kAttributeFolder;
    return 1;
}

int MakeFolder(const char* path) { return sfxPlatform.makeFolder(path); }

int IsValidDrive(const char* path) {
    char root[4] = {path[0], ':', '\\', 0};
    uint32_t type = sfxPlatform.driveType(root);
    return type != kDriveUnknown && type != kDriveNoRootFolder;
}

// ---------------------------------------------------------------------------
// Entry names that would leave the destination.

namespace {

// Message 28 naming the entry as stored, then the end of the run.
[[noreturn]] void RefuseEntryName() {
    FormatGuarded(state.messageBuffer, kMessageBufferSize, kGuardOutputPathText, MessageText(MSG_CANNOT_CREATE_FILE),
                  state.entryName);
    FatalError(state.messageBuffer);
}

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 32) : c; }

// A component Windows reads as a device, whatever extension follows: CON,
// NUL, AUX, PRN, COM1 to COM9, LPT1 to LPT9. Windows also ignores blanks
// before the extension ("CON .txt") and takes the superscript digits 1, 2
// and 3 of Windows-1252 as port numbers.
int IsDeviceName(const char* component, uint32_t length) {
    uint32_t base = 0;
    while (base < length && component[base] != '.') base++;
    while (base > 0 && component[base - 1] == ' ') base--;
    static const char* const kConsoles[] = {"CONIN$", "CONOUT$"};
    for (const char* console : kConsoles) {
        uint32_t i = 0;
        while (i < base && console[i] != 0 && UpperAscii(component[i]) == console[i]) i++;
        if (i == base && console[i] == 0) return 1;
    }
    if (base < 3 || base > 4) return 0;
    char name[4] = {UpperAscii(component[0]), UpperAscii(component[1]), UpperAscii(component[2]),
                    base == 4 ? component[3] : (char)0};
    static const char* const kDevices[] = {"CON", "NUL", "AUX", "PRN"};
    if (base == 3) {
        for (const char* device : kDevices)
            if (name[0] == device[0] && name[1] == device[1] && name[2] == device[2]) return 1;
        return 0;
    }
    int port = (name[0] == 'C' && name[1] == 'O' && name[2] == 'M') || (name[0] == 'L' && name[1] == 'P' && name[2] == 'T');
    unsigned char digit = (unsigned char)name[3];
    return port && ((digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3);
}

// A component that names the folder above: "..". Windows drops the
// trailing dots and blanks of a component, so there any component made
// only of dots and blanks with at least two dots counts as well.
int IsParentComponent(const char* component, uint32_t length, int windowsRules) {
    if (length == 2 && component[0] == '.' && component[1] == '.') return 1;
    if (!windowsRules) return 0;
    uint32_t dots = 0;
    for (uint32_t i = 0; i < length; i++) {
        if (component[i] == '.') dots++;
        else if (component[i] != ' ') return 0;
    }
    return dots >= 2;
}

// The last component of a file entry that names the folder holding it, not
// a file in it: ".". Windows drops the trailing dots and blanks of a
// component, so there any component made only of dots and blanks does too
// (two dots or more already climb).
int NamesItsFolder(const char* component, int windowsRules) {
    if (component[0] == '.' && component[1] == 0) return 1;
    if (!windowsRules || component[0] == 0) return 0;
    for (const char* p = component; *p != 0; p++)
        if (*p != '.' && *p != ' ') return 0;
    return 1;
}

}  // namespace

// The archive decides the names under the destination, never where the
// destination is: a '..' component, or a rooted name with no destination to
// hold it, would reach outside it; so would, on Windows, a ':' (a drive or
// a stream) or a device name. A file named "." (alone or after a folder)
// would be the destination or one of its folders itself. Checked before
// anything is created for the entry.
void CheckEntryNameSafeFor(int windowsRules) {
    const char* name = state.entryName;
    char* last = LastChar(state.entryName);
    int folder = last != 0 && IsPathSeparator(*last);
    if (state.destFolder[0] == 0 && IsPathSeparator(name[0])) RefuseEntryName();
    if (!folder && NamesItsFolder(LastComponent(name), windowsRules)) RefuseEntryName();
    // A destination that is a lone separator (the root of the current
    // drive), joined with a name that still begins with a separator (a file
    // entry loses one leading separator, a folder entry none), would make
    // the path begin with two separators: a network path, not a folder
    // under the destination.
    if (IsPathSeparator(state.destFolder[0]) && state.destFolder[1] == 0) {
        const char* joined = !folder && IsPathSeparator(name[0]) ? name + 1 : name;
        if (IsPathSeparator(joined[0])) RefuseEntryName();
    }
    if (NameLeavesFolder(name, windowsRules)) RefuseEntryName();
}

// A '..' component, and with the rules of Windows names a ':' or a device
// name, would lead a name joined under a folder out of that folder.
int NameLeavesFolder(const char* name, int windowsRules) {
    const char* component = name;
    for (const char* p = name;; p = NextChar(p)) {
        if (windowsRules && *p == ':') return 1;
        if (*p != 0 && !IsPathSeparator(*p)) continue;
        uint32_t length = (uint32_t)(p - component);
        if (IsParentComponent(component, length, windowsRules)) return 1;
        if (windowsRules && IsDeviceName(component, length)) return 1;
        if (*p == 0) return 0;
        component = p + 1;
    }
}

namespace {

// Names that stand for one file or folder by their bytes alone, but for
// the case of ASCII letters: each component printable ASCII, no '~' (the
// short alias of another name has one), no wildcard, no dot or blank at
// its end (which some systems drop). Paths with other names are always
// looked up. A folder entry's name ends with a separator.
int IsPlainPath(const char* path) {
    const char* component = path;
    for (const char* p = path;; p++) {
        unsigned char c = (unsigned char)*p;
        if (c == 0 && p == component && p != path) return 1;  // after the final separator
        if (c == 0 || c == '\\' || c == '/') {
            if (p == component || p[-1] == '.' || p[-1] == ' ') return 0;
            if (c == 0) return 1;
            component = p + 1;
        } else if (c < 0x20 || c > 0x7E || c == '~' || c == '*' || c == '?' || c == ':' || c == '"' || c == '<' ||
                   c == '>' || c == '|') {
            return 0;
        }
    }
}

}  // namespace

// A name that is not plain may stand for the same file as another name of
// the run: from then on, the run looks up every output path.
void CheckEntryNameSafe() {
    CheckEntryNameSafeFor(kSystemWindowsNames);
    if (!IsPlainPath(state.entryName)) state.plainNamesOnly = 0;
}

// ---------------------------------------------------------------------------
// The output path of a file entry.

void BuildOutputPath() {
    if (state.destFolder[0] != 0) {
        char work[kWorkPathCapacity];
        if (CopyText(work, kWorkPathCapacity, state.destFolder) >= kWorkPathCapacity)
            InternalError(SFX_GUARD_MODULE, kGuardOutputFolderCopy);
        AppendSeparator(work);
        // One leading separator of the name is dropped; a second one stays.
        const char* tail = state.entryName;
        if (IsPathSeparator(tail[0])) tail++;
        uint32_t workLength = TextLength(work);
        uint32_t tailLength = TextLength(tail);
        if (tailLength + workLength + 1 > kMaxNameLength) {
            FormatGuarded(state.messageBuffer, kMessageBufferSize, kGuardOutputPathText,
                          MessageText(MSG_CANNOT_CREATE_FILE), state.entryName);
            FatalError(state.messageBuffer);
        }
        if (workLength + tailLength >= kEntryNameCapacity) InternalError(SFX_GUARD_MODULE, kGuardOutputPathJoin);
        // The tail moves up first: it may lie inside entryName itself.
        for (uint32_t i = tailLength + 1; i-- > 0;) state.entryName[workLength + i] = tail[i];
        for (uint32_t i = 0; i < workLength; i++) state.entryName[i] = work[i];
    }
    for (char* p = state.entryName; *p != 0; p = NextChar(p))
        if (*p == '/') *p = '\\';
}

// ---------------------------------------------------------------------------
// Folder creation.

namespace {

// The working path of CreateFolders: a folder entry under destFolder, or a
// file entry's output path as built.
void MakeWorkingPath(char* work) {
    char* last = LastChar(state.entryName);
    int folderEntry = last != 0 && IsPathSeparator(*last);
    if (!folderEntry) {
        if (CopyText(work, kWorkPathCapacity, state.entryName) >= kWorkPathCapacity)
            InternalError(SFX_GUARD_MODULE, kGuardFolderFileCopy);
        return;
    }
    if (CopyText(work, kWorkPathCapacity, state.destFolder) >= kWorkPathCapacity)
        InternalError(SFX_GUARD_MODULE, kGuardFolderCopy);
    if (work[0] != 0) {
        if (TextLength(work) + 1 >= kWorkPathCapacity) InternalError(SFX_GUARD_MODULE, kGuardFolderSeparator);
        AppendSeparator(work);
    }
    uint32_t workLength = TextLength(work);
    uint32_t nameLength = TextLength(state.entryName);
    if (nameLength + workLength + 1 > kMaxNameLength) {
        FormatGuarded(state.messageBuffer, kMessageBufferSize, kGuardFolderEntryText,
                      MessageText(MSG_CANNOT_CREATE_FOLDER), state.entryName);
        FatalError(state.messageBuffer);
    }
    if (CopyText(work + workLength, kWorkPathCapacity - workLength, state.entryName) >= kWorkPathCapacity - workLength)
        InternalError(SFX_GUARD_MODULE, kGuardFolderEntryJoin);
}

// A path on a drive letter the system does not know: message 45 naming the
// bare letter.
void CheckDrive(char* work) {
    if (!IsAsciiLetter(work[0]) || work[1] != ':' || IsValidDrive(work)) return;
    work[1] = 0;
    FormatGuarded(state.messageBuffer, kMessageBufferSize, kGuardBadDriveText, MessageText(MSG_BAD_DRIVE), work);
    FatalError(state.messageBuffer);
}

// Where creation starts: after the server and share of a network path, and
// after a leading separator. So C:\Out\a starts at C, \Out\a at O, and
// \\srv\share\out at the o of out.
char* CreationStart(char* work) {
    char* p = work;
    if (IsPathSeparator(p[0]) && IsPathSeparator(p[1])) {
        p += 2;
        while (*p != 0 && !IsPathSeparator(*p)) p = NextChar(p);
        if (*p != 0) p++;
        while (*p != 0 && !IsPathSeparator(*p)) p = NextChar(p);
    }
    if (IsPathSeparator(*p)) p++;
    return p;
}

// The length of destFolder without its trailing separators: a prefix of
// the working path longer than this names something below the
// destination.
uint32_t DestinationLength() {
    uint32_t length = 0;
    for (const char* p = state.destFolder; *p != 0; p = NextChar(p))
        if (!IsPathSeparator(*p)) length = (uint32_t)(p - state.destFolder) + (uint32_t)(NextChar(p) - p);
    return length;
}

// A folder of the entry's path below the destination that is a link or
// reparse point would send the entry wherever the link points. It ends the
// run with message 28 naming the entry as stored (currentName) before
// anything is created: the folders below the first missing one are made by
// CreateFolders itself, so every folder that already exists is checked
// before the first is made. The destination itself and the folders above
// it may be links: the user chose them.
void RefuseLinkedFolder() {
    FormatGuarded(state.messageBuffer, kMessageBufferSize, kGuardOutputPathText, MessageText(MSG_CANNOT_CREATE_FILE),
                  state.currentName);
    FatalError(state.messageBuffer);
}

// The first length bytes of two paths name the same folder: equal, but
// that either separator stands for the other (a folder entry's path keeps
// the separators it was given, a file's output path has backslashes only).
// Paths of one run share their beginnings: the comparison starts at the end.
int SamePath(const char* a, const char* b, uint32_t length) {
    for (uint32_t i = length; i-- > 0;)
        if (a[i] != b[i] && !(IsPathSeparator(a[i]) && IsPathSeparator(b[i]))) return 0;
    return 1;
}

// The folders of a run. Each slot holds a folder the run has checked
// (found as a folder, and not a link below the destination) or made, all
// of whose leading folders it has checked or made too; any of them costs
// no look-up again. Archives list the entries of a folder together, so a
// few slots, taken in turn, serve a whole run. Only a run remembers (calls
// outside one always look), and each run starts afresh, since anything may
// have changed between runs. A prefix found as a file, or refused as a
// link, is never remembered.
int IsKnownFolder(const char* work, uint32_t length) {
    if (!state.extracting || length == 0) return 0;
    for (uint32_t slot = 0; slot < kKnownFolderSlots; slot++) {
        const char* known = state.knownFolders[slot];
        if (length <= state.knownFolderLengths[slot] && (known[length] == 0 || IsPathSeparator(known[length])) &&
            SamePath(known, work, length))
            return 1;
    }
    return 0;
}

// The folder this run made that holds the first length bytes of work (that
// folder itself, or one above it): the length of its path; 0 when no slot
// remembers one. A folder made by this run was empty then: all it holds,
// at any depth, is this run's.
uint32_t MadeFolderHolding(const char* work, uint32_t length) {
    for (uint32_t slot = 0; slot < kKnownFolderSlots; slot++) {
        uint32_t made = state.knownFolderMade[slot];
        if (made != 0 && made <= length && (made == length || IsPathSeparator(work[made])) &&
            SamePath(state.knownFolders[slot], work, made))
            return made;
    }
    return 0;
}

// made: the run has just made this folder.
void RememberFolder(const char* work, uint32_t length, int made) {
    if (!state.extracting) return;
    uint32_t madeFrom = MadeFolderHolding(work, length);
    if (madeFrom == 0 && made) madeFrom = length;
    // The slot of the folder above, when one holds it; else the next.
    uint32_t slot = state.knownFolderNext;
    for (uint32_t i = 0; i < kKnownFolderSlots; i++) {
        uint32_t knownLength = state.knownFolderLengths[i];
        if (knownLength != 0 && knownLength < length && IsPathSeparator(work[knownLength]) &&
            SamePath(state.knownFolders[i], work, knownLength)) {
            slot = i;
            break;
        }
    }
    if (slot == state.knownFolderNext) state.knownFolderNext = (slot + 1) % kKnownFolderSlots;
    memcpy(state.knownFolders[slot], work, length);
    state.knownFolders[slot][length] = 0;
    state.knownFolderLengths[slot] = length;
    state.knownFolderMade[slot] = madeFrom;
}

// The names a run made, or chose for a file, in folders it made: three bits
// of madeNames per path, from its bytes with ASCII letters in one case (a
// system that ignores case takes "A.TXT" and "a.txt" for one file) and
// either separator as a backslash. A path
// whose bits are not all set is none of them; one whose bits are set may
// be, and is looked up.
enum : uint32_t { kMadeNameBits = kMadeNameBytes * 8, kMadeNameProbes = 3 };

void MadeNameBits(const char* path, uint32_t length, uint32_t* bits) {
    uint32_t hash = 2166136261u;
    for (uint32_t i = 0; i < length; i++) {
        char c = path[i];
        if (c >= 'A' && c <= 'Z') c = (char)(c + 32);
        if (c == '/') c = '\\';
        hash = (hash ^ (uint8_t)c) * 16777619u;
    }
    uint32_t step = ((hash >> 16 | hash << 16) * 0x9E3779B1u) | 1;
    for (uint32_t k = 0; k < kMadeNameProbes; k++) bits[k] = (hash + k * step) % kMadeNameBits;
}

void NoteMadeName(const char* path, uint32_t length) {
    uint32_t bits[kMadeNameProbes];
    MadeNameBits(path, length, bits);
    for (uint32_t bit : bits) state.madeNames[bit >> 3] |= (uint8_t)(1u << (bit & 7));
}

}  // namespace

// A path the run is about to give a file. 1 when nothing can have it yet:
// it lies in a folder this run made, every entry name of the run so far is
// plain, and this run has made or chosen no path that may be the same one
// (plain names are the same only when they differ in the case of ASCII
// letters alone); no look-up is needed there.
int ClaimOutputPath(const char* path) {
    if (!state.extracting) return 0;
    uint32_t length = TextLength(path);
    uint32_t bits[kMadeNameProbes];
    MadeNameBits(path, length, bits);
    int known = 1;
    for (uint32_t bit : bits) {
        if (!(state.madeNames[bit >> 3] & (1u << (bit & 7)))) known = 0;
        state.madeNames[bit >> 3] |= (uint8_t)(1u << (bit & 7));
    }
    if (known || !state.plainNamesOnly) return 0;
    uint32_t made = MadeFolderHolding(path, length);
    return made != 0 && made < length;
}

void ForgetKnownFolders() {
    for (uint32_t slot = 0; slot < kKnownFolderSlots; slot++) {
        state.knownFolderLengths[slot] = 0;
        state.knownFolderMade[slot] = 0;
    }
    state.knownFolderNext = 0;
    memset(state.madeNames, 0, sizeof state.madeNames);
    state.plainNamesOnly = 1;
}

void CreateFolders() {
    char work[kWorkPathCapacity];
    MakeWorkingPath(work);
    CheckDrive(work);
    char* end = LastComponent(work);
    // The entry's own folder known: so are all the folders above it.
    if (end > work && IsKnownFolder(work, (uint32_t)(end - 1 - work))) return;
    uint32_t destinationLength = DestinationLength();
    char* position = CreationStart(work);
    while (position < end) {
        char* separator = position;
        while (*separator != 0 && !IsPathSeparator(*separator)) separator = NextChar(separator);
        if (*separator == 0) break;
        // An empty component (two separators in a row, as a name with a
        // leading separator gives under the destination) names no folder:
        // the prefix would end in a separator, which the system cannot find
        // and cannot create.
        uint32_t length = (uint32_t)(separator - work);
        if (separator != position && !IsKnownFolder(work, length)) {
            *separator = 0;
            int bareDrive = length == 2 && IsAsciiLetter(work[0]) && work[1] == ':';
            char foundName[kPathCapacity];
            uint32_t attributes = 0;
            int exists = sfxPlatform.findFile(work, foundName, &attributes);
            if (exists && (attributes & kAttributeReparsePoint) && length > destinationLength) RefuseLinkedFolder();
            if (!exists && !bareDrive && !MakeFolder(work)) {
                FormatGuarded(state.messageBuffer, kMessageBufferSize, kGuardMakeFolderText,
                              MessageText(MSG_CANNOT_CREATE_FOLDER), work);
                FatalError(state.messageBuffer);
            }
            if (!exists && !bareDrive) NoteMadeName(work, length);
            if (!exists || (attributes & kAttributeFolder)) RememberFolder(work, length, !exists && !bareDrive);
        }
        *separator = '\\';
        position = separator + 1;
    }
}
