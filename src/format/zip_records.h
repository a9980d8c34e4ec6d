// The ZIP records as the program reads them and the builder writes them:
// their signatures, fixed sizes, flag bits and methods, the extra field
// blocks that matter, and the limits both sides hold to. Numbers in the
// records are little-endian (format/bytes.h).
//
// The program image never holds a four-byte signature as such: the stub
// assembles its copies at start-up from the last three bytes of these.
#ifndef KVSFX_FORMAT_ZIP_RECORDS_H
#define KVSFX_FORMAT_ZIP_RECORDS_H

#include <stdint.h>

// Record signatures: "PK" and two bytes of the record's own. The two bytes
// are named once, here; the stub builds its signatures from them and never
// names a whole signature, which would then stand whole in the debugging
// information of a debug build.
#define KVSFX_LOCAL_PAIR 0x03, 0x04
#define KVSFX_CENTRAL_PAIR 0x01, 0x02
#define KVSFX_END_PAIR 0x05, 0x06
#define KVSFX_DIGITAL_PAIR 0x05, 0x05
#define KVSFX_DESCRIPTOR_PAIR 0x07, 0x08
#define KVSFX_SPAN_MARKER_PAIR 0x30, 0x30
#define KVSFX_SIGNATURE_OF(third, fourth) (0x4B50u | (uint32_t)(third) << 16 | (uint32_t)(fourth) << 24)
#define KVSFX_SIGNATURE(pair) KVSFX_SIGNATURE_OF(pair)

// The same, as the little-endian number of their four bytes.
enum : uint32_t {
    kLocalSignature = KVSFX_SIGNATURE(KVSFX_LOCAL_PAIR),            // "PK" 03 04 local file header
    kCentralSignature = KVSFX_SIGNATURE(KVSFX_CENTRAL_PAIR),        // "PK" 01 02 central directory header
    kEndSignature = KVSFX_SIGNATURE(KVSFX_END_PAIR),                // "PK" 05 06 end of central directory record
    kDigitalSignature = KVSFX_SIGNATURE(KVSFX_DIGITAL_PAIR),        // "PK" 05 05 digital signature record, taken as the end
    kDescriptorSignature = KVSFX_SIGNATURE(KVSFX_DESCRIPTOR_PAIR),  // "PK" 07 08 data descriptor; also the first bytes of a spanned set
    kSpanMarker = KVSFX_SIGNATURE(KVSFX_SPAN_MARKER_PAIR),          // "PK00" temporary spanning marker, stepped over
    kZip64LocatorSignature = 0x07064B50,  // "PK" 06 07 Zip64 end record locator
    kZip64EndSignature = 0x06064B50,      // "PK" 06 06 Zip64 end record
};

// Fixed parts of the records, signature included.
enum : uint32_t {
    kSignatureSize = 4,
    kLocalFixedSize = 30,       // then the name and the extra field
    kCentralFixedSize = 46,     // then the name, the extra field and the comment
    kEndFixedSize = 22,         // then the comment
    kDescriptorSize = 16,       // signature, CRC-32, compressed and uncompressed sizes
    kZip64EndFixedSize = 56,    // the Zip64 end record without extensible data
    kZip64LocatorSize = 20,
    kEncryptionHeaderSize = 12,  // before the data of an encrypted entry, counted in its compressed size
};

// Limits of what the program takes.
enum : uint32_t {
    kMaxNameLength = 260,       // longest entry name
    kPasswordMaxLength = 254,   // longest password
};

// General purpose flag bits.
enum : uint16_t {
    kFlagEncrypted = 0x0001,         // traditional encryption
    kFlagDescriptor = 0x0008,        // a data descriptor follows the data
    kFlagStrongEncryption = 0x0040,
    kFlagUtf8 = 0x0800,              // name and comment in UTF-8
    kFlagMaskedHeaders = 0x2000,     // central directory encrypted
};

enum : uint16_t { kMethodStored = 0, kMethodDeflated = 8 };

// Extra field blocks: an id and a data size (16 bits each), then the data.
// The extended timestamp block holds a flags byte, then the times it
// announces as signed 32-bit seconds since 1970 UTC, the modification time
// first.
enum : uint32_t {
    kExtraBlockHeader = 4,
    kExtraTimestampId = 0x5455,
    kTimestampModified = 0x01,  // flag: the modification time is there
    kTimestampPrefix = 5,       // flags byte and modification time
};

#endif
