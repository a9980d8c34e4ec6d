#include "extract_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "fake_platform.h"
#include "codec/codec.h"
#include "resources/messages.h"
#include "format/bytes.h"
#include "format/exe_layout.h"
#include "startup/sfx_state.h"
#include "startup/text.h"

namespace {

void Put16(std::string* out, uint32_t value) { AppendLe16(*out, value); }
void Put32(std::string* out, uint32_t value) { AppendLe32(*out, value); }
void PutSignature(std::string* out, uint8_t third, uint8_t fourth) {
    out->append("PK");
    out->push_back((char)third);
    out->push_back((char)fourth);
}

// The traditional cipher, written from the format's description.
struct Cipher {
    uint32_t keys[3] = {0x12345678, 0x23456789, 0x34567890};
    explicit Cipher(const std::string& password) {
        for (unsigned char c : password) Update(c);
    }
    static uint32_t CrcByte(uint32_t crc, uint8_t byte) {
        crc ^= byte;
        for (int i = 0; i < 8; i++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
        return crc;
    }
    void Update(uint8_t plain) {
        keys[0] = CrcByte(keys[0], plain);
        keys[1] = (keys[1] + (keys[0] & 0xFF)) * 134775813u + 1;
        keys[2] = CrcByte(keys[2], (uint8_t)(keys[1] >> 24));
    }
    uint8_t Encrypt(uint8_t plain) {
        uint32_t t = (keys[2] | 2) & 0xFFFF;
        uint8_t cipher = (uint8_t)(plain ^ ((t * (t ^ 1)) >> 8));
        Update(plain);
        return cipher;
    }
};

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
        Cipher cipher(item.password);
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
    Put16(out, 20);  // version needed
    Put16(out, encoded.flags);
    Put16(out, (uint32_t)item.method);
    Put16(out, item.time);
    Put16(out, item.date);
    Put32(out, encoded.crc);
    Put32(out, encoded.compressedSize);
    Put32(out, encoded.uncompressedSize);
    Put16(out, item.nameLength.value_or((uint16_t)item.name.size()));
}

std::string testRoot;

void RemoveTestRoot() {
    if (!testRoot.empty()) RunProgram({"/bin/rm", "-rf", testRoot});
}

}  // namespace

uint32_t Crc32(const std::string& data) {
    return (uint32_t)crc32(0, (const Bytef*)data.data(), (uInt)data.size());
}

std::string Deflate(const std::string& data, int level) {
    z_stream stream = {};
    deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = (Bytef*)data.data();
    stream.avail_in = (uInt)data.size();
    stream.next_out = (Bytef*)&out[0];
    stream.avail_out = (uInt)out.size();
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::string LocalEntryBytes(const ZipItem& item) {
    Encoded encoded = Encode(item);
    std::string out;
    PutSignature(&out, 3, 4);
    PutCommonFields(&out, item, encoded);
    Put16(&out, (uint32_t)item.extra.size());
    out += item.name + item.extra + encoded.data;
    if (encoded.flags & 8) {
        PutSignature(&out, 7, 8);
        Put32(&out, encoded.crc);
        Put32(&out, (uint32_t)encoded.data.size());
        Put32(&out, (uint32_t)item.data.size());
    }
    return out;
}

std::string ZipBytes(const std::vector<ZipItem>& items, const std::string& comment) {
    std::string local, central;
    for (const ZipItem& item : items) {
        Encoded encoded = Encode(item);
        uint32_t offset = (uint32_t)local.size();
        local += LocalEntryBytes(item);
        PutSignature(&central, 1, 2);
        Put16(&central, 20);  // version made by
        PutCommonFields(&central, item, encoded);
        Put16(&central, 0);  // extra
        Put16(&central, 0);  // comment
        Put16(&central, 0);  // disk
        Put16(&central, 0);  // internal attributes
        Put32(&central, !item.name.empty() && item.name.back() == '/' ? 0x10 : 0x20);
        Put32(&central, offset);
        central += item.name;
    }
    std::string end;
    PutSignature(&end, 5, 6);
    Put16(&end, 0);
    Put16(&end, 0);
    Put16(&end, (uint32_t)items.size());
    Put16(&end, (uint32_t)items.size());
    Put32(&end, (uint32_t)central.size());
    Put32(&end, (uint32_t)local.size());
    Put16(&end, (uint32_t)comment.size());
    return local + central + end + comment;
}

std::string MakeSfx(const std::string& path, const std::string& zip, uint32_t flags, uint32_t totalSize) {
    std::string image = ReadFileBytes(KVSFX_STUB_PATH);
    size_t at = image.find(std::string((const char*)kBlockSignature, 8));
    if (at == std::string::npos) throw std::runtime_error("stub without configuration block");
    SfxConfigBlock block;
    memcpy(&block, image.data() + at, sizeof block);
    block.stubCrc = 0;
    block.archiveStart = (uint32_t)image.size();
    block.headerOffset = 0;
    block.endRecordOffset = 0;
    block.totalSize = totalSize ? totalSize : (uint32_t)zip.size();
    block.flags = flags;
    block.completeMark = 1;
    uint32_t entry = 0;
    ExecutableEntryPoint((const uint8_t*)image.data(), (uint32_t)image.size(), &entry);
    block.entryRva = entry;
    memcpy(&image[at], &block, sizeof block);
    WriteFileBytes(path, image + zip);
    chmod(path.c_str(), 0755);
    return path;
}

std::string TempFolder(const std::string& name) {
    if (testRoot.empty()) {
        char pattern[] = "/tmp/kvsfx-extract-XXXXXX";
        testRoot = mkdtemp(pattern);
        atexit(RemoveTestRoot);
    }
    std::string path = testRoot + "/" + name;
    RunProgram({"/bin/rm", "-rf", path});
    mkdir(path.c_str(), 0755);
    return path;
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

bool Exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& input, int timeoutSeconds,
                         const std::string& folder, std::atomic<int>* started) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return {};
    pid_t child = fork();
    if (child == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        if (!folder.empty() && chdir(folder.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (started) *started = (int)child;
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    ProgramResult result;
    size_t written = 0;
    if (input.empty()) close(in[1]);
    time_t deadline = time(nullptr) + timeoutSeconds;
    bool outOpen = true, errOpen = true, inOpen = !input.empty();
    while (outOpen || errOpen) {
        pollfd fds[3];
        int count = 0;
        if (outOpen) fds[count++] = {out[0], POLLIN, 0};
        if (errOpen) fds[count++] = {err[0], POLLIN, 0};
        if (inOpen) fds[count++] = {in[1], POLLOUT, 0};
        if (time(nullptr) > deadline) {
            kill(child, SIGKILL);
            break;
        }
        if (poll(fds, count, 500) <= 0) continue;
        for (int i = 0; i < count; i++) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in[1]) {
                ssize_t put = write(in[1], input.data() + written, input.size() - written);
                if (put > 0) written += (size_t)put;
                if (put < 0 || written == input.size()) {
                    close(in[1]);
                    inOpen = false;
                }
                continue;
            }
            char buffer[65536];
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            bool isOut = fds[i].fd == out[0];
            if (got <= 0) {
                (isOut ? outOpen : errOpen) = false;
                continue;
            }
            (isOut ? result.out : result.err).append(buffer, (size_t)got);
        }
    }
    if (inOpen) close(in[1]);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

namespace {

void ReadTreeInto(const std::string& root, const std::string& relative, bool withFolderTimes,
                  std::map<std::string, TreeNode>* tree) {
    DIR* folder = opendir((root + "/" + relative).c_str());
    if (folder == nullptr) return;
    while (dirent* item = readdir(folder)) {
        std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        std::string path = relative.empty() ? name : relative + "/" + name;
        struct stat info;
        if (lstat((root + "/" + path).c_str(), &info) != 0) continue;
        TreeNode node;
        if (S_ISDIR(info.st_mode)) {
            node.folder = true;
            if (withFolderTimes) node.modified = info.st_mtime;
            (*tree)[path + "/"] = node;
            ReadTreeInto(root, path, withFolderTimes, tree);
            continue;
        }
        node.size = (uint64_t)info.st_size;
        node.modified = info.st_mtime;
        // The digest, read in pieces so that large files cost no memory.
        FILE* file = fopen((root + "/" + path).c_str(), "rb");
        uLong crc = 0;
        if (file) {
            std::vector<char> buffer(1 << 20);
            size_t got;
            while ((got = fread(buffer.data(), 1, buffer.size(), file)) > 0) crc = crc32(crc, (const Bytef*)buffer.data(), (uInt)got);
            fclose(file);
        }
        node.digest = (uint32_t)crc;
        (*tree)[path] = node;
    }
    closedir(folder);
}

}  // namespace

std::map<std::string, TreeNode> ReadTree(const std::string& root, bool withFolderTimes) {
    std::map<std::string, TreeNode> tree;
    ReadTreeInto(root, "", withFolderTimes, &tree);
    return tree;
}

std::string TreeDifferences(const std::map<std::string, TreeNode>& expected,
                            const std::map<std::string, TreeNode>& actual) {
    std::string report;
    for (auto& [path, node] : expected) {
        auto found = actual.find(path);
        if (found == actual.end()) report += "missing: " + path + "\n";
        else if (!(found->second == node))
            report += "differs: " + path + " size " + std::to_string(node.size) + "/" +
                      std::to_string(found->second.size) + " time " + std::to_string(node.modified) + "/" +
                      std::to_string(found->second.modified) + "\n";
    }
    for (auto& [path, node] : actual)
        if (!expected.count(path)) report += "extra: " + path + "\n";
    return report;
}

namespace {

// The message table's texts (Windows-1252), read once with a state of
// their own so that a test may ask for them at any moment.
const std::string& MessageRaw(int index) {
    static std::vector<std::string> texts;
    if (texts.empty()) {
        std::vector<char> saved(sizeof(SfxState));
        memcpy(saved.data(), (const void*)&state, sizeof(SfxState));
        std::vector<uint8_t> window(kWindowAllocation), input(kCodecBufferAllocation), output(kCodecBufferAllocation);
        state.window = window.data();
        state.input.data = input.data();
        state.outBuffer = output.data();
        state.messageTable = nullptr;
        state.memoryMode = 0;
        BuildCrcTable();
        LoadMessages();
        for (int i = 0; i < MSG_MAIN_DIALOG; i++) texts.push_back(MessageText(i));
        memcpy((void*)&state, saved.data(), sizeof(SfxState));
    }
    return texts.at((size_t)index);
}

}  // namespace

std::string Message(int index) { return Utf8(MessageRaw(index)); }

std::string MessageWith(int index, const std::string& argument) {
    char text[1024];
    FormatText(text, sizeof text, MessageRaw(index).c_str(), argument.c_str());
    return Utf8(text);
}

void PrepareUnitState() {
    InstallFakePlatform();
    state.window = (uint8_t*)sfxPlatform.allocate(kWindowAllocation);
    state.input.data = (uint8_t*)sfxPlatform.allocate(kCodecBufferAllocation);
    state.outBuffer = (uint8_t*)sfxPlatform.allocate(kCodecBufferAllocation);
    state.messageBuffer = (char*)sfxPlatform.allocate(kMessageBufferSize);
    BuildCrcTable();
    LoadMessagesForTest();
}

void PrepareInProcess(const std::string& sfxPath, const std::string& input) {
    static std::string inputPath;
    if (inputPath.empty()) inputPath = TempFolder("stdin") + "/input";
    WriteFileBytes(inputPath, input);
    if (freopen(inputPath.c_str(), "r", stdin) == nullptr) throw std::runtime_error("no standard input");
    InstallFakePlatform();
    if (!UseSfxFile(sfxPath)) throw std::runtime_error("no configuration block in " + sfxPath);
}

std::vector<std::string> BoxTexts() {
    std::vector<std::string> texts;
    for (const RecordedBox& box : fake.boxes) texts.push_back(Utf8(box.text));
    return texts;
}
