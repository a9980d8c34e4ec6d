#include "archive_writer.h"

#include <zlib.h>

#include <algorithm>
#include <memory>

#include "build_error.h"
#include "deflate_engine.h"
#include "zip_crypto.h"

namespace kvmake {

namespace {

const size_t kChunk = 1 << 20;           // read and write unit of streamed data
const uint64_t kLargestEntry = 0xFFFFFFFEu - kEncryptionHeaderSize;  // sizes stay below the Zip64 marker

uint16_t VersionNeeded(const ArchiveEntry& entry) {
    const bool needs20 = entry.folder || entry.method == kMethodDeflated || (entry.flags & kFlagEncrypted);
    return needs20 ? 20 : 10;
}

[[noreturn]] void ChangedWhileRead(const std::string& path) {
    Refuse(Quoted(path) + " changed while it was being read; make the file again when it is not in use");
}

}  // namespace

ArchiveWriter::ArchiveWriter(OutputFile& out, uint64_t offsetBase) : out_(out), offsetBase_(offsetBase) {}

uint32_t ArchiveWriter::recorded(uint64_t position) const {
    const uint64_t offset = position - offsetBase_;
    if (offset > 0xFFFFFFFFu)
        Refuse("the archive would pass 4 GiB, beyond what its 32-bit offsets can reach");
    return (uint32_t)offset;
}

void ArchiveWriter::writeLocalHeader(ArchiveEntry& entry) {
    entry.localHeaderOffset = recorded(out_.position());
    const std::string bytes = LocalHeaderBytes(entry);
    out_.write(bytes.data(), bytes.size());
}

void ArchiveWriter::endEntry(ArchiveEntry& entry, uint64_t headerStart, uint64_t dataStart) {
    const uint64_t dataEnd = out_.position();
    const uint64_t unitEnd = dataStart + ((entry.flags & kFlagEncrypted) ? (uint32_t)kEncryptionHeaderSize : 0u);
    keep_.push_back({headerStart, unitEnd});
    if (entry.flags & kFlagDescriptor) {
        // The stub steps over the descriptor with a plain seek, which never
        // changes volume: the descriptor must follow the data's last byte on
        // the same volume.
        const std::string descriptor = DescriptorBytes(entry);
        out_.write(descriptor.data(), descriptor.size());
        keep_.push_back({dataEnd > unitEnd ? dataEnd - 1 : headerStart, out_.position()});
    }
    if (entry.flags & kFlagEncrypted) anyEncrypted_ = true;
    totalSize_ += entry.uncompressedSize;
    entries_.push_back(std::move(entry));
}

void ArchiveWriter::addFolder(ArchiveEntry entry) {
    entry.folder = true;
    entry.method = kMethodStored;
    entry.crc = entry.compressedSize = entry.uncompressedSize = 0;
    entry.versionNeeded = VersionNeeded(entry);
    const uint64_t headerStart = out_.position();
    writeLocalHeader(entry);
    endEntry(entry, headerStart, out_.position());
}

void ArchiveWriter::addHostFile(ArchiveEntry entry, const std::string& path, uint64_t expectedSize,
                                const EntrySettings& settings) {
    if (expectedSize > kLargestEntry)
        Refuse(Quoted(path) + " is 4 GiB or larger; an archive without Zip64 cannot hold it");
    InputFile file(path);
    if (file.size() != expectedSize) ChangedWhileRead(path);
    if (!settings.password.empty()) entry.flags |= kFlagEncrypted;
    if (expectedSize <= kInMemoryLimit) storeSmallFile(entry, file, path, expectedSize, settings);
    else streamLargeFile(entry, file, path, expectedSize, settings);
    if (settings.progress) settings.progress->set(settings.progressBase + expectedSize);
}

void ArchiveWriter::storeSmallFile(ArchiveEntry& entry, InputFile& file, const std::string& path, uint64_t size,
                                   const EntrySettings& settings) {
    std::vector<uint8_t> data((size_t)size + 1);
    if (file.read(data.data(), data.size()) != size) ChangedWhileRead(path);
    entry.crc = Crc32(0, data.data(), (size_t)size);
    entry.uncompressedSize = (uint32_t)size;

    uint8_t* payload = data.data();
    size_t payloadSize = (size_t)size;
    entry.method = kMethodStored;
    std::vector<uint8_t> packed;
    if (settings.level > 0 && size > 0) {
        packed.resize(DeflateBound(settings.level, (size_t)size));
        const size_t packedSize =
            DeflateWhole(settings.level, data.data(), (size_t)size, packed.data(), packed.size());
        // Stored instead when deflate does not make the entry smaller.
        if (packedSize > 0 && packedSize < size) {
            entry.method = kMethodDeflated;
            payload = packed.data();
            payloadSize = packedSize;
        }
    }

    const bool encrypted = (entry.flags & kFlagEncrypted) != 0;
    uint8_t header[kEncryptionHeaderSize];
    if (encrypted) {
        ZipCrypto crypto(settings.password);
        crypto.header((uint8_t)(entry.crc >> 24), header);
        crypto.encrypt(payload, payloadSize);
    }
    entry.compressedSize = (uint32_t)(payloadSize + (encrypted ? (uint32_t)kEncryptionHeaderSize : 0u));
    entry.versionNeeded = VersionNeeded(entry);

    const uint64_t headerStart = out_.position();
    writeLocalHeader(entry);
    const uint64_t dataStart = out_.position();
    if (encrypted) out_.write(header, sizeof header);
    out_.write(payload, payloadSize);
    endEntry(entry, headerStart, dataStart);
}

// Large files are read in chunks. Deflate output is written as it comes; if
// it turns out no smaller than the file, it is dropped and the file stored.
// An encrypted entry's check byte is the CRC's high byte, so its CRC is taken
// in a first pass.
void ArchiveWriter::streamLargeFile(ArchiveEntry& entry, InputFile& file, const std::string& path, uint64_t size,
                                    const EntrySettings& settings) {
    const bool encrypted = (entry.flags & kFlagEncrypted) != 0;
    std::vector<uint8_t> in(kChunk), packed(kChunk);

    uint32_t firstPassCrc = 0;
    if (encrypted) {
        uint64_t seen = 0;
        for (size_t got; (got = file.read(in.data(), kChunk)) > 0; seen += got)
            firstPassCrc = Crc32(firstPassCrc, in.data(), got);
        if (seen != size) ChangedWhileRead(path);
        file.rewind();
    }

    entry.method = settings.level > 0 ? kMethodDeflated : kMethodStored;
    entry.crc = firstPassCrc;
    entry.uncompressedSize = (uint32_t)size;
    entry.versionNeeded = VersionNeeded(entry);
    const uint64_t headerStart = out_.position();
    writeLocalHeader(entry);
    const uint64_t dataStart = out_.position();

    // Writes the entry's data with one method; returns false when deflate
    // could not make it smaller.
    auto writeData = [&](uint16_t method) -> bool {
        std::unique_ptr<ZipCrypto> crypto;
        if (encrypted) {
            crypto.reset(new ZipCrypto(settings.password));
            uint8_t header[kEncryptionHeaderSize];
            crypto->header((uint8_t)(firstPassCrc >> 24), header);
            out_.write(header, sizeof header);
        }
        z_stream stream{};
        if (method == kMethodDeflated &&
            deflateInit2(&stream, settings.level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            Refuse("not enough memory for the compressor");
        uint32_t crc = 0;
        uint64_t read = 0, written = 0;
        bool fits = true;
        for (;;) {
            const size_t got = file.read(in.data(), kChunk);
            crc = Crc32(crc, in.data(), got);
            read += got;
            if (settings.progress) settings.progress->set(settings.progressBase + read);
            if (method == kMethodStored) {
                if (got == 0) break;
                if (crypto) crypto->encrypt(in.data(), got);
                out_.write(in.data(), got);
                written += got;
                continue;
            }
            stream.next_in = in.data();
            stream.avail_in = (uInt)got;
            const int flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
            int status;
            do {
                stream.next_out = packed.data();
                stream.avail_out = (uInt)kChunk;
                status = deflate(&stream, flush);
                const size_t produced = kChunk - stream.avail_out;
                if (crypto) crypto->encrypt(packed.data(), produced);
                out_.write(packed.data(), produced);
                written += produced;
            } while (stream.avail_out == 0 && status != Z_STREAM_END);
            if (written >= size) fits = false;
            if (got == 0 || !fits) break;
        }
        if (method == kMethodDeflated) deflateEnd(&stream);
        if (!fits) return false;
        if (read != size || (encrypted && crc != firstPassCrc)) ChangedWhileRead(path);
        entry.method = method;
        entry.crc = crc;
        entry.compressedSize = (uint32_t)(written + (encrypted ? (uint32_t)kEncryptionHeaderSize : 0u));
        return true;
    };

    if (!writeData(entry.method)) {
        out_.truncateTo(dataStart);
        file.rewind();
        writeData(kMethodStored);
    }
    entry.versionNeeded = VersionNeeded(entry);
    const std::string header = LocalHeaderBytes(entry);
    out_.patch(headerStart, header.data(), header.size());
    endEntry(entry, headerStart, dataStart);
}

void ArchiveWriter::addCopiedEntry(ArchiveEntry entry, const uint8_t* data, const EntrySettings& settings) {
    const uint32_t dataSize = entry.compressedSize;
    const bool encrypt = !settings.password.empty() && !entry.folder;
    if (encrypt) {
        if (dataSize > kLargestEntry)
            Refuse("entry " + Quoted(entry.shownName) + " is too large to encrypt within 4 GiB");
        entry.flags |= kFlagEncrypted;
        entry.compressedSize = dataSize + kEncryptionHeaderSize;
        entry.versionNeeded = std::max<uint16_t>(entry.versionNeeded, 20);
    }
    const uint64_t headerStart = out_.position();
    writeLocalHeader(entry);
    const uint64_t dataStart = out_.position();
    if (!encrypt) {
        for (uint64_t done = 0; done < dataSize; done += kChunk) {
            const size_t count = (size_t)std::min<uint64_t>(kChunk, dataSize - done);
            out_.write(data + done, count);
            if (settings.progress) settings.progress->set(settings.progressBase + done + count);
        }
    } else {
        ZipCrypto crypto(settings.password);
        uint8_t header[kEncryptionHeaderSize];
        crypto.header((uint8_t)(entry.crc >> 24), header);
        out_.write(header, sizeof header);
        std::vector<uint8_t> chunk(kChunk);
        for (uint64_t done = 0; done < dataSize; done += kChunk) {
            const size_t count = (size_t)std::min<uint64_t>(kChunk, dataSize - done);
            std::copy(data + done, data + done + count, chunk.begin());
            crypto.encrypt(chunk.data(), count);
            out_.write(chunk.data(), count);
            if (settings.progress) settings.progress->set(settings.progressBase + done + count);
        }
    }
    endEntry(entry, headerStart, dataStart);
}

ArchiveSummary ArchiveWriter::finish() {
    if (entries_.size() > 0xFFFF)
        Refuse("more than 65535 entries; an archive without Zip64 cannot list them");
    const uint64_t directoryStart = out_.position();
    const uint32_t directoryOffset = recorded(directoryStart);
    for (const ArchiveEntry& entry : entries_) {
        const uint64_t start = out_.position();
        const std::string bytes = CentralHeaderBytes(entry);
        out_.write(bytes.data(), bytes.size());
        keep_.push_back({start, out_.position()});
    }
    const uint64_t directorySize = out_.position() - directoryStart;
    ArchiveSummary summary;
    summary.endRecordPosition = out_.position();
    recorded(summary.endRecordPosition);
    const std::string end =
        EndRecordBytes((uint32_t)entries_.size(), (uint32_t)directorySize, directoryOffset, comment_);
    out_.write(end.data(), end.size());
    keep_.push_back({summary.endRecordPosition, out_.position()});
    summary.end = out_.position();
    summary.totalSize = totalSize_;
    summary.anyEncrypted = anyEncrypted_;
    return summary;
}

}  // namespace kvmake
