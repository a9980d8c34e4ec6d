#include "support/zip_writer.h"

#include "support/codec_control.h"
#include "format/bytes.h"

namespace {

void PutSignature(std::string* out, uint8_t third, uint8_t fourth) {
    out->append("PK");
    out->push_back((char)third);
    out->push_back((char)fourth);
}

struct Encoded {
    std::string data;  // what follows the header
    uint32_t crc, compressedSize, uncompressedSize;
    uint16_t flags;
};

Encoded Encode(const ZipItem& item) {
    Encoded encoded;
    encoded.crc = item.crc.value_or(Crc32(item.data));
    encoded.data = (item.method == 8 ? Deflate(item.data) : item.data) + item.trailing;
    encoded.flags = item.flags;
    if (!item.password.empty()) {
        encoded.flags |= 1;
        TraditionalCipher cipher(item.password);
        std::string header = "\x11\x22\x33\x44\x55\x66\x77\x88\x99\xAA\xBB";
        header.push_back((char)((item.flags & 8) ? item.time >> 8 : encoded.crc >> 24));
        std::string sealed;
        for (unsigned char c : header + encoded.data) sealed.push_back((char)cipher.Encrypt(c));
        encoded.data = sealed;
    }
    encoded.compressedSize = item.compressedSize.value_or((uint32_t)encoded.data.size());
    encoded.uncompressedSize = item.uncompressedSize.value_or((uint32_t)item.data.size());
    return encoded;
}

void PutCommonFields(std::string* out, const ZipItem& item, const Encoded& encoded) {
    AppendLe16(*out, 20);  // version needed
    AppendLe16(*out, encoded.flags);
    AppendLe16(*out, (uint32_t)item.method);
    AppendLe16(*out, item.time);
    AppendLe16(*out, item.date);
    AppendLe32(*out, encoded.crc);
    AppendLe32(*out, encoded.compressedSize);
    AppendLe32(*out, encoded.uncompressedSize);
    AppendLe16(*out, item.nameLength.value_or((uint16_t)item.name.size()));
}

}  // namespace

std::string LocalEntryBytes(const ZipItem& item) {
    Encoded encoded = Encode(item);
    std::string out;
    PutSignature(&out, 3, 4);
    PutCommonFields(&out, item, encoded);
    AppendLe16(out, (uint32_t)item.extra.size());
    out += item.name + item.extra + encoded.data;
    if (encoded.flags & 8) {
        PutSignature(&out, 7, 8);
        AppendLe32(out, encoded.crc);
        AppendLe32(out, (uint32_t)encoded.data.size());
        AppendLe32(out, (uint32_t)item.data.size());
    }
    return out;
}

std::string ZipBytes(const std::vector<ZipItem>& items, const std::string& comment) {
    ZipLayout layout;
    layout.comment = comment;
    return ZipBytes(items, layout);
}

std::string ZipBytes(const std::vector<ZipItem>& items, const ZipLayout& layout, uint32_t* endRecordAt) {
    std::string local, central;
    for (const ZipItem& item : items) {
        Encoded encoded = Encode(item);
        uint32_t offset = layout.base + (uint32_t)local.size();
        local += LocalEntryBytes(item);
        PutSignature(&central, 1, 2);
        AppendLe16(central, 20);  // version made by
        PutCommonFields(&central, item, encoded);
        AppendLe16(central, 0);  // extra
        AppendLe16(central, 0);  // comment
        AppendLe16(central, 0);  // disk
        AppendLe16(central, 0);  // internal attributes
        AppendLe32(central, !item.name.empty() && item.name.back() == '/' ? 0x10 : 0x20);
        AppendLe32(central, offset);
        central += item.name;
    }
    std::string out = local + central;
    if (endRecordAt) *endRecordAt = (uint32_t)out.size();
    if (layout.digitalSignature) {
        PutSignature(&out, 5, 5);
        AppendLe16(out, 2);
        out += "sg";
    }
    PutSignature(&out, 5, 6);
    AppendLe16(out, 0);
    AppendLe16(out, 0);
    AppendLe16(out, (uint32_t)items.size());
    AppendLe16(out, (uint32_t)items.size());
    AppendLe32(out, (uint32_t)central.size());
    AppendLe32(out, layout.base + (uint32_t)local.size());
    AppendLe16(out, (uint32_t)layout.comment.size());
    return out + layout.comment;
}
