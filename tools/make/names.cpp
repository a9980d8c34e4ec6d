#include "names.h"

#include <stdint.h>

#include <unordered_map>

#include "build_error.h"
#include "format/codepage.h"
#include "format/zip_records.h"

namespace kvmake {

namespace {

// Decodes one UTF-8 sequence at text[i]; returns its length (0 if invalid).
size_t DecodeAt(const std::string& text, size_t i, uint32_t* codePoint) {
    return DecodeUtf8((const uint8_t*)text.data() + i, text.size() - i, codePoint);
}

bool IsValidUtf8(const std::string& text) { return IsUtf8((const uint8_t*)text.data(), text.size()); }

bool IsSeparator(char c, NameOrigin origin) { return c == '/' || (c == '\\' && origin == NameOrigin::Zip); }

// CON, PRN, AUX, NUL, COM1-9, LPT1-9, alone or before an extension; Windows
// also ignores blanks before the dot.
// The consoles CONIN$ and CONOUT$ too, and the superscript digits 1, 2 and 3
// of Windows-1252, which Windows takes as port numbers.
bool IsDeviceName(const std::string& component) {
    std::string base = AnsiUpper(component.substr(0, component.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
    if (base == "CONIN$" || base == "CONOUT$") return true;
    const unsigned char digit = base.size() == 4 ? (unsigned char)base[3] : 0;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           ((digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3);
}

// The path a name stands for, with '/' separators and no trailing one.
std::string PathKey(const std::string& name) {
    std::string key = name;
    for (char& c : key)
        if (c == '\\') c = '/';
    while (!key.empty() && key.back() == '/') key.pop_back();
    return key;
}

std::string CollisionKey(const std::string& name) { return AnsiUpper(PathKey(name)); }

}  // namespace

bool Utf8ToAnsi(const std::string& text, std::string* out) {
    if (!IsValidUtf8(text)) {
        *out = text;
        return true;
    }
    std::string converted;
    converted.reserve(text.size());
    uint32_t codePoint;
    for (size_t i = 0; i < text.size();) {
        i += DecodeAt(text, i, &codePoint);
        const int byte = UnicodeToWindows1252(codePoint);
        if (byte < 0) return false;
        converted.push_back((char)byte);
    }
    *out = converted;
    return true;
}

std::u16string Utf8ToUtf16(const std::string& text) {
    std::u16string wide;
    if (!IsValidUtf8(text)) {
        for (unsigned char c : text) {
            const uint32_t codePoint = Windows1252ToUnicode(c);
            wide.push_back((char16_t)(codePoint != 0 ? codePoint : c));
        }
        return wide;
    }
    uint32_t codePoint;
    for (size_t i = 0; i < text.size();) {
        i += DecodeAt(text, i, &codePoint);
        if (codePoint >= 0x10000) {
            wide.push_back((char16_t)(0xD800 + ((codePoint - 0x10000) >> 10)));
            wide.push_back((char16_t)(0xDC00 + (codePoint & 0x3FF)));
        } else {
            wide.push_back((char16_t)codePoint);
        }
    }
    return wide;
}

std::string AnsiToUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        uint32_t codePoint = Windows1252ToUnicode(c);
        if (c != 0 && codePoint == 0) codePoint = 0xFFFD;
        uint8_t bytes[4];
        out.append((const char*)bytes, EncodeUtf8(codePoint, bytes));
    }
    return out;
}

std::string PrintableText(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    auto escape = [&](unsigned char c) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    };
    for (size_t i = 0; i < text.size();) {
        uint32_t codePoint;
        const size_t length = DecodeAt(text, i, &codePoint);
        const unsigned char c = (unsigned char)text[i];
        if (length == 0) {
            // Not UTF-8 here: one byte of a single-byte code page.
            if (c >= 0x80 && c <= 0x9F) escape(c);
            else out += (char)c;
            i++;
        } else if (codePoint < 0x20 || codePoint == 0x7F) {
            escape(c);
            i++;
        } else if (codePoint >= 0x80 && codePoint <= 0x9F) {
            for (size_t k = 0; k < length; k++) escape((unsigned char)text[i + k]);
            i += length;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

std::string AnsiUpper(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = (char)Windows1252Upper((uint8_t)c);
    return out;
}

void CheckEntryName(const std::string& name, const std::string& shown, NameOrigin origin) {
    const std::string what = "entry name " + Quoted(shown);
    if (name.empty()) Refuse("an entry has an empty name");
    if (name.size() > kMaxNameLength) Refuse(what + " is longer than 260 bytes, the longest name the program accepts");
    if (IsSeparator(name[0], origin)) Refuse(what + " is an absolute path");
    std::string body = name;
    if (IsSeparator(body.back(), origin)) body.pop_back();  // folder entry
    if (body.empty()) Refuse(what + " names no file or folder");
    std::string trimmed = body;
    while (!trimmed.empty() && IsSeparator(trimmed.back(), origin)) trimmed.pop_back();
    if (trimmed == "." ||
        (trimmed.size() >= 2 && trimmed.back() == '.' && IsSeparator(trimmed[trimmed.size() - 2], origin)))
        Refuse(what + " ends in \".\", which names no file or folder of its own");
    bool named = false;  // a part other than "." and empty ones
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = start;
        while (end < body.size() && !IsSeparator(body[end], origin)) end++;
        const std::string component = body.substr(start, end - start);
        if (component == "..") Refuse(what + " climbs out of the destination folder with \"..\"");
        if (IsDeviceName(component))
            Refuse(what + " uses " + Quoted(component) + ", a device name that Windows reserves");
        for (unsigned char c : component) {
            if (c < 0x20 || c == ':' || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*' ||
                c == '\\')
                Refuse(what + " holds a character that Windows does not allow in names");
        }
        if (!component.empty() && component != "." && (component.back() == ' ' || component.back() == '.'))
            Refuse(what + " has a part ending in a blank or a dot, which Windows drops");
        named = named || (!component.empty() && component != ".");
        start = end + 1;
    }
    if (!named) Refuse(what + " names no file or folder");
}

std::string NormalEntryName(const std::string& name, NameOrigin origin) {
    const bool folder = IsSeparator(name.back(), origin);
    const size_t bodyEnd = folder ? name.size() - 1 : name.size();
    std::string normal;
    bool dropped = false;
    for (size_t start = 0; start <= bodyEnd;) {
        size_t end = start;
        while (end < bodyEnd && !IsSeparator(name[end], origin)) end++;
        const std::string component = name.substr(start, end - start);
        if (component.empty() || component == ".") {
            dropped = true;
        } else {
            if (!normal.empty()) normal += '/';
            normal += component;
        }
        start = end + 1;
    }
    if (!dropped) return name;
    return folder ? normal + "/" : normal;
}

void CheckNameCollisions(const std::vector<std::string>& names, const std::vector<std::string>& shown) {
    // key -> index of the entry that claims it as a file (false) or folder (true)
    struct Claim {
        size_t index;
        bool folder;
    };
    std::unordered_map<std::string, Claim> claims;
    auto clash = [&](size_t first, size_t second) {
        // The same bytes once "." and empty components are dropped: no
        // letter case is involved.
        if (PathKey(names[first]) == PathKey(names[second]))
            Refuse("entry names " + Quoted(shown[first]) + " and " + Quoted(shown[second]) +
                   " would be the same file or folder");
        Refuse("entry names " + Quoted(shown[first]) + " and " + Quoted(shown[second]) +
               " would be the same file or folder on Windows, where names ignore letter case");
    };
    for (size_t i = 0; i < names.size(); i++) {
        const std::string& name = names[i];
        const bool folderEntry = name.back() == '/' || name.back() == '\\';
        const std::string key = CollisionKey(name);
        // Every folder above the entry is claimed as a folder.
        for (size_t p = key.find('/'); p != std::string::npos; p = key.find('/', p + 1)) {
            auto inserted = claims.emplace(key.substr(0, p), Claim{i, true});
            if (!inserted.second && !inserted.first->second.folder) clash(inserted.first->second.index, i);
        }
        auto inserted = claims.emplace(key, Claim{i, folderEntry});
        if (inserted.second) continue;
        const Claim& earlier = inserted.first->second;
        // Two entries for one folder are harmless; anything else loses a file.
        if (folderEntry && earlier.folder) continue;
        clash(earlier.index, i);
    }
}

}  // namespace kvmake
