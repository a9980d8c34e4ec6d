// Entry names and header texts in the stub's own code page.
//
// The stub creates files through the system's ANSI calls, so every name and
// text it reads must be Windows-1252 bytes. Texts typed on a Linux command
// line and Linux file names are UTF-8; they are converted here, and a
// character that Windows-1252 cannot hold is refused rather than stored as
// bytes that would come out garbled. Text that is not valid UTF-8 is taken to
// be Windows-1252 already (the old Linux convention for Western names).
#ifndef KVSFX_MAKE_NAMES_H
#define KVSFX_MAKE_NAMES_H

#include <string>
#include <vector>

namespace kvmake {

// UTF-8 to Windows-1252. False (out unchanged) when a character has no
// Windows-1252 code; invalid UTF-8 is copied as it is.
bool Utf8ToAnsi(const std::string& text, std::string* out);

// UTF-8 to UTF-16, the text of Windows' wide calls and resources. Text that
// is not valid UTF-8 is taken as Windows-1252, as above.
std::u16string Utf8ToUtf16(const std::string& text);

// Windows-1252 to UTF-8 (the five bytes the code page leaves undefined
// become U+FFFD).
std::string AnsiToUtf8(const std::string& text);

// The text with every control character written as \xNN: bytes below 0x20,
// DEL, and the C1 controls (U+0080..U+009F as UTF-8, or as lone bytes in text
// that is not UTF-8 there). Messages show names read from archives this way,
// so that no name can move the cursor, colour or clear the terminal.
std::string PrintableText(const std::string& text);

// The upper-case form Windows uses to compare names (Windows-1252 letters).
std::string AnsiUpper(const std::string& text);

// Where an entry name comes from: names of files on this system are checked
// for every character Windows refuses; names read from a zip may also use
// the backslash as a separator, as old Windows archivers wrote them.
enum class NameOrigin { HostFile, Zip };

// Refuses (with a message naming `shown`) an entry name that the stub could
// not create safely under its destination folder: empty, longer than 260
// bytes, absolute, with a drive or a ':' anywhere, with a ".." component, a
// reserved device name (CON, NUL, AUX, PRN, COM1-9, LPT1-9, CONIN$,
// CONOUT$, also with an extension), a character Windows does not allow in
// names, or a component ending in a blank or a dot, or a name that is "."
// or ends in a "." component (which names the folder above it, not a file
// or folder of its own). A trailing '/' marks a folder entry.
void CheckEntryName(const std::string& name, const std::string& shown, NameOrigin origin);

// A name that CheckEntryName accepted, without its "." and empty components:
// "./a", "a//b" and "a/./b" become "a" and "a/b", rebuilt with '/' (a folder
// entry keeps its trailing '/'). Other names come back unchanged. Checking
// the normal names for collisions catches two names of one path.
std::string NormalEntryName(const std::string& name, NameOrigin origin);

// Finds names that would be one and the same file or folder on Windows (equal
// up to letter case, or one a file and the other a folder above an entry).
// Refuses the first such pair. Names use '/' or '\' as separators; folder
// entries end in a separator.
void CheckNameCollisions(const std::vector<std::string>& names, const std::vector<std::string>& shown);

}  // namespace kvmake

#endif
