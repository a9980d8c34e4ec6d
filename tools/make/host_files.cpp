// What the two systems' host files share: path names taken apart and put
// together under the rules of the system in force (kWindowsPaths), DOS times
// in UTC, whole-file reads and the questions answered from LookUpPath.
#include "host_files.h"

#include <stdint.h>

#include "build_error.h"
#include "names.h"

namespace kvmake {

namespace {

// True for a path that starts with a drive ("C:"), which only Windows has.
bool StartsWithDrive(const std::string& path) { return kWindowsPaths && path.size() >= 2 && path[1] == ':'; }

// The last DOS date and time words of 2107 and the first of 1980.
const uint16_t kLastDosDate = (uint16_t)((127 << 9) | (12 << 5) | 31);  // 31 December 2107
const uint16_t kLastDosTime = (uint16_t)((23 << 11) | (59 << 5) | 29);  // 23:59:58
const uint16_t kFirstDosDate = (uint16_t)((0 << 9) | (1 << 5) | 1);     // 1 January 1980

}  // namespace

bool IsPathSeparator(char c) { return c == '/' || (kWindowsPaths && c == '\\'); }

// Where the last component of a path starts: after its last separator, or
// after a drive ("C:name").
size_t NameStart(const std::string& path) {
    size_t start = path.size();
    while (start > 0 && !IsPathSeparator(path[start - 1])) start--;
    if (start == 0 && StartsWithDrive(path)) start = 2;
    return start;
}

void ClampedDosDateTime(int year, int month, int day, int hour, int minute, int second, uint16_t* date,
                        uint16_t* time) {
    if (year < 1980) {
        *date = kFirstDosDate;
        *time = 0;
    } else if (year > 2107) {
        *date = kLastDosDate;
        *time = kLastDosTime;
    } else {
        *date = (uint16_t)(((year - 1980) << 9) | (month << 5) | day);
        *time = (uint16_t)((hour << 11) | (minute << 5) | (second / 2));
    }
}

// Days since 1970 to the civil date of the Gregorian calendar, counted in
// 400-year eras that start on 1 March.
void UtcDosDateTime(int64_t unixTime, uint16_t* date, uint16_t* time) {
    const int64_t kYear1980 = 315532800, kYear2108 = 4354819200LL;
    if (unixTime < kYear1980 || unixTime >= kYear2108) {
        ClampedDosDateTime(unixTime < kYear1980 ? 1979 : 2108, 1, 1, 0, 0, 0, date, time);
        return;
    }
    const int64_t seconds = unixTime % 86400;
    const int64_t days = unixTime / 86400 + 719468;  // from 0000-03-01
    const int64_t era = days / 146097, dayOfEra = days % 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;  // 0 is March
    const int64_t day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const int64_t month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const int64_t year = era * 400 + yearOfEra + (month <= 2 ? 1 : 0);
    ClampedDosDateTime((int)year, (int)month, (int)day, (int)(seconds / 3600), (int)(seconds / 60 % 60),
                       (int)(seconds % 60), date, time);
}

std::string FolderOf(const std::string& path) {
    const size_t start = NameStart(path);
    if (start == 0) return ".";
    std::string folder = path.substr(0, start);
    if (folder.size() == 2 && StartsWithDrive(folder)) return folder + ".";  // the current folder of that drive
    if (folder.size() == 3 && StartsWithDrive(folder)) return folder;        // a drive's root keeps its separator
    if (folder.size() > 1) folder.pop_back();
    return folder;
}

std::string LastComponent(const std::string& path) { return path.substr(NameStart(path)); }

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || IsPathSeparator(folder.back())) return folder + name;
    if (folder.size() == 2 && StartsWithDrive(folder)) return folder + name;  // in the drive's current folder
    return folder + (kWindowsPaths ? "\\" : "/") + name;
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    InputFile file(path);
    // A 32-bit builder cannot hold anything near its address space.
    if (file.size() > (uint64_t)(SIZE_MAX / 4)) Refuse(Quoted(path) + " is too large to be read into memory");
    std::vector<uint8_t> bytes((size_t)file.size());
    if (file.read(bytes.data(), bytes.size()) != bytes.size())
        Refuse(Quoted(path) + " changed while it was being read");
    return bytes;
}

void OutputFile::flush() {
    writeThrough(buffer_.data(), buffer_.size());
    buffer_.clear();
}

// Small pieces gather in the buffer; a piece as large as the buffer goes
// straight to the file.
void OutputFile::write(const void* data, size_t count) {
    const uint8_t* bytes = (const uint8_t*)data;
    position_ += count;
    if (buffer_.size() + count > kBufferSize) flush();
    if (count >= kBufferSize) writeThrough(bytes, count);
    else buffer_.insert(buffer_.end(), bytes, bytes + count);
}

bool IsRegularFile(const std::string& path) { return LookUpPath(path).kind == PathInfo::Kind::File; }

bool IsFolder(const std::string& path) { return LookUpPath(path).kind == PathInfo::Kind::Folder; }

bool FileIdentity(const std::string& path, FileId* identity) {
    const PathInfo info = LookUpPath(path);
    if (info.kind == PathInfo::Kind::Missing || info.kind == PathInfo::Kind::BrokenLink) return false;
    *identity = info.identity;
    return true;
}

}  // namespace kvmake
