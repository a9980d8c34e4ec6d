#include "pe_image.h"

#include "build_error.h"
#include "format/exe_layout.h"
#include "stub_image.h"

namespace kvmake {

namespace {

const uint32_t kResourceVersion = 16;      // RT_VERSION
const uint32_t kFixedInfoSignature = 0xFEEF04BD;
const size_t kFixedInfoSize = 52;           // VS_FIXEDFILEINFO

[[noreturn]] void Damaged() { Refuse("the stub's version information cannot be read; the stub is damaged"); }

// Bounds-checked reads of the stub image: anything outside it means a
// damaged stub, never a read past the end.
uint32_t Read16(const std::vector<uint8_t>& image, size_t at) {
    if (at > image.size() || image.size() - at < 2) Damaged();
    return LoadLe16(&image[at]);
}
uint32_t Read32(const std::vector<uint8_t>& image, size_t at) {
    if (at > image.size() || image.size() - at < 4) Damaged();
    return LoadLe32(&image[at]);
}

// The file offset of rva, from the section table; 0 when no section's data
// in the file holds it.
size_t FileOffsetOf(const std::vector<uint8_t>& image, size_t sectionTable, uint32_t sections, uint32_t rva) {
    for (uint32_t i = 0; i < sections; i++) {
        const size_t at = sectionTable + 40 * i;
        const uint32_t start = Read32(image, at + 12), rawSize = Read32(image, at + 16), raw = Read32(image, at + 20);
        if (rva >= start && rva - start < rawSize) return (size_t)raw + (rva - start);
    }
    return 0;
}

// Finds the version resource: type RT_VERSION, its first name, its first
// language. Sets *at and *size to its bytes in the file; false when the
// image has no resources or none of that type.
bool FindVersionResource(const std::vector<uint8_t>& image, size_t* at, size_t* size) {
    const size_t checksum = PeChecksumOffset(image.data(), image.size());
    if (checksum == 0) return false;
    const size_t nt = LoadLe32(&image[0x3C]);
    const uint32_t sections = Read16(image, nt + 6);
    const size_t optional = nt + 24;
    const size_t sectionTable = optional + Read16(image, nt + 20);
    const bool wide = Read16(image, optional) == 0x20B;
    const uint32_t directoryCount = Read32(image, optional + (wide ? 108 : 92));
    if (directoryCount < 3) return false;
    const uint32_t resourceRva = Read32(image, optional + (wide ? 112 : 96) + 8 * 2);
    if (resourceRva == 0) return false;
    const size_t base = FileOffsetOf(image, sectionTable, sections, resourceRva);
    if (base == 0) Damaged();

    // Three levels of directories: type, name, language.
    size_t directory = base;
    for (int level = 0; level < 3; level++) {
        const uint32_t count = Read16(image, directory + 12) + Read16(image, directory + 14);
        uint32_t child = 0;
        bool found = false;
        for (uint32_t i = 0; i < count && !found; i++) {
            const uint32_t name = Read32(image, directory + 16 + 8 * i);
            child = Read32(image, directory + 16 + 8 * i + 4);
            found = level > 0 || name == kResourceVersion;
        }
        if (!found) {
            if (level > 0) Damaged();  // a type without a resource
            return false;
        }
        const bool subdirectory = (child & 0x80000000u) != 0;
        if (subdirectory != (level < 2)) Damaged();
        directory = base + (child & 0x7FFFFFFFu);
    }
    const uint32_t dataRva = Read32(image, directory), dataSize = Read32(image, directory + 4);
    *at = FileOffsetOf(image, sectionTable, sections, dataRva);
    *size = dataSize;
    if (*at == 0 || *at > image.size() || image.size() - *at < dataSize) Damaged();
    return true;
}

// One structure of a VS_VERSIONINFO block: wLength, wValueLength, wType,
// the key in UTF-16 and its terminator, padding to 4 bytes, the value
// (wValueLength bytes, or UTF-16 units when wType is 1), padding, children.
// Alignment counts from the block's start.
struct VersionNode {
    size_t at, end;    // the structure's bytes in the image
    size_t valueAt;    // its value
    size_t childrenAt; // its first child
    std::u16string key;
};

VersionNode ReadNode(const std::vector<uint8_t>& image, size_t block, size_t at, size_t limit) {
    auto align = [block](size_t offset) { return block + ((offset - block + 3) & ~(size_t)3); };
    VersionNode node;
    node.at = at;
    const uint32_t length = Read16(image, at), valueLength = Read16(image, at + 2), type = Read16(image, at + 4);
    node.end = at + length;
    if (length < 6 || node.end > limit) Damaged();
    size_t cursor = at + 6;
    for (;; cursor += 2) {
        if (cursor + 2 > node.end) Damaged();
        const uint32_t unit = Read16(image, cursor);
        if (unit == 0) break;
        node.key.push_back((char16_t)unit);
    }
    node.valueAt = align(cursor + 2);
    node.childrenAt = align(node.valueAt + (type == 1 ? 2 * valueLength : valueLength));
    if (node.valueAt > node.end) Damaged();
    return node;
}

// The children of a structure, in order.
std::vector<VersionNode> Children(const std::vector<uint8_t>& image, size_t block, const VersionNode& parent) {
    std::vector<VersionNode> children;
    for (size_t at = parent.childrenAt; at + 6 <= parent.end;) {
        children.push_back(ReadNode(image, block, at, parent.end));
        at = block + ((children.back().end - block + 3) & ~(size_t)3);
    }
    return children;
}

// Writes text and its terminator into a string's room, zeros after it.
void FillString(std::vector<uint8_t>& image, const VersionNode& node, const std::u16string& text,
                const char* what) {
    const size_t room = (node.end - node.valueAt) / 2;  // UTF-16 units, terminator included
    if (room == 0) Damaged();
    if (text.size() + 1 > room)
        Refuse("the " + std::string(what) + " is " + std::to_string(text.size()) +
               " characters long; the stub keeps room for " + std::to_string(room - 1));
    for (size_t i = 0; i < room; i++) StoreLe16(&image[node.valueAt + 2 * i], i < text.size() ? text[i] : 0);
    StoreLe16(&image[node.at + 2], (uint32_t)text.size() + 1);
}

// The four numbers of a version text: its leading dot-separated numbers,
// the missing ones 0 ("2.1 beta" is 2.1.0.0).
void VersionNumbers(const std::u16string& text, uint32_t numbers[4]) {
    size_t at = 0;
    for (int i = 0; i < 4; i++) {
        numbers[i] = 0;
        if (at >= text.size() || text[at] < u'0' || text[at] > u'9') continue;
        for (; at < text.size() && text[at] >= u'0' && text[at] <= u'9'; at++) {
            numbers[i] = numbers[i] * 10 + (text[at] - u'0');
            if (numbers[i] > 0xFFFF) Refuse("a number of the version is over 65535, the largest Windows keeps");
        }
        if (at + 1 < text.size() && text[at] == u'.' && text[at + 1] >= u'0' && text[at + 1] <= u'9') at++;
        else at = text.size();
    }
}

}  // namespace

bool FillVersionInfo(std::vector<uint8_t>& image, const VersionTexts& texts) {
    size_t block, size;
    if (!FindVersionResource(image, &block, &size)) return false;
    const VersionNode root = ReadNode(image, block, block, block + size);
    if (root.key != u"VS_VERSION_INFO" || root.valueAt + kFixedInfoSize > root.end ||
        Read32(image, root.valueAt) != kFixedInfoSignature)
        Damaged();

    // The fixed part: file version (8, 12) and product version (16, 20).
    if (texts.version) {
        uint32_t numbers[4];
        VersionNumbers(*texts.version, numbers);
        for (size_t field : {8, 16}) {
            StoreLe32(&image[root.valueAt + field], (numbers[0] << 16) | numbers[1]);
            StoreLe32(&image[root.valueAt + field + 4], (numbers[2] << 16) | numbers[3]);
        }
    }

    const struct {
        const char16_t* key;
        const std::optional<std::u16string>* text;
        const char* what;
    } strings[] = {
        {u"FileDescription", &texts.description, "description"},
        {u"CompanyName", &texts.company, "company"},
        {u"ProductName", &texts.product, "product name"},
        {u"FileVersion", &texts.version, "version"},
        {u"ProductVersion", &texts.version, "version"},
        {u"LegalCopyright", &texts.copyright, "copyright"},
    };
    size_t filled = 0;
    for (const VersionNode& group : Children(image, block, root)) {
        if (group.key != u"StringFileInfo") continue;
        for (const VersionNode& table : Children(image, block, group))
            for (const VersionNode& string : Children(image, block, table))
                for (const auto& wanted : strings)
                    if (string.key == wanted.key) {
                        if (*wanted.text) FillString(image, string, **wanted.text, wanted.what);
                        filled++;
                    }
    }
    if (filled < sizeof strings / sizeof strings[0])
        Refuse("the stub's version information lacks some of its six texts; the stub is not a kvsfx stub");
    return true;
}

size_t PeChecksumOffset(const uint8_t* image, size_t length) {
    if (length < 64 || image[0] != 'M' || image[1] != 'Z') return 0;
    const size_t nt = LoadLe32(image + 0x3C);
    if (nt > length || length - nt < 24 + 68 || LoadLe32(image + nt) != 0x00004550) return 0;  // "PE\0\0"
    return nt + 24 + 64;
}

void PeChecksum::add(const uint8_t* data, size_t count) {
    for (size_t i = 0; i < count; i++, position_++) {
        if (position_ >= field_ && position_ < field_ + 4) continue;
        sum_ += (uint64_t)data[i] << (8 * (position_ & 1));
    }
}

uint32_t PeChecksum::finish() const {
    uint64_t sum = sum_;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint32_t)(sum + position_);
}

}  // namespace kvmake
