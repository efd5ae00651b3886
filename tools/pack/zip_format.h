// zip_format.h -- the packer's byte helpers, limits, name rules, DOS times and code pages.
//
// Limits the packer holds every package to, so that the stub extracts every entry whole:
//  - PATH_LIMIT (260): the stub refuses an output path of 260 characters or more, and the
//    path is the user's temp dir followed by the name. The temp dir's length is a stated
//    assumption, DEFAULT_TEMP_DIR_LENGTH unless the caller knows better.
//  - MAX_ENTRIES (65535) and sizes below 4 GiB: the records hold 16- and 32-bit fields and
//    the packer writes no ZIP64 records, which the stub does not read.
//  - MAX_DISCLAIMER_BYTES (16384): the stub's buffer; the text must not hold the trailer's
//    signature (the stub would open the trailer there) nor an end-record signature.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pack {

using Bytes = std::vector<unsigned char>;
using ByteView = std::span<const unsigned char>;

// A refusal or an unreadable input, with the message the user sees.
class PackError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// An input the stub could not extract in full: refused before anything is written.
class Refused : public PackError {
public:
    using PackError::PackError;
};

constexpr uint32_t PATH_LIMIT = 260;
// "C:\Users\" + a 20-character user name (the longest a local account takes) + "\AppData\Local\Temp\".
constexpr uint32_t DEFAULT_TEMP_DIR_LENGTH = 49;
constexpr uint32_t MIN_TEMP_DIR_LENGTH = 5;  // "C:\T\"; a drive root is shorter than any worst case
constexpr uint32_t MAX_TEMP_DIR_LENGTH = 200;
constexpr uint32_t MAX_ENTRIES = 65535;
constexpr uint64_t MAX_SIZE = 0xFFFFFFFFu;  // 4 GiB - 1: the largest 32-bit size or offset
constexpr uint32_t MAX_DISCLAIMER_BYTES = 16384;
constexpr int DEFAULT_LEVEL = 9;
constexpr int MIN_LEVEL = 1;
constexpr int MAX_LEVEL = 12;

// Windows attributes, not Unix modes: the stub hands the value to SetFileAttributes.
constexpr uint32_t ATTR_READONLY = 0x01;
constexpr uint32_t ATTR_HIDDEN = 0x02;
constexpr uint32_t ATTR_SYSTEM = 0x04;
constexpr uint32_t ATTR_DIRECTORY = 0x10;
constexpr uint32_t ATTR_ARCHIVE = 0x20;

// Made by MS-DOS (host 0), format 2.0: readers then take external attributes as DOS ones.
constexpr uint16_t VERSION_MADE_BY = 20;
constexpr uint16_t VERSION_DEFLATE = 20;
constexpr uint8_t HOST_UNIX = 3;
// The 2-byte deflate stream of no bytes: one final fixed-code block holding only its end code.
inline constexpr unsigned char EMPTY_DEFLATE[2] = {0x03, 0x00};
constexpr uint16_t FLAG_UTF8_NAME = 0x0800;

void put16(Bytes& out, uint16_t value);
void put32(Bytes& out, uint32_t value);
uint16_t get16(ByteView bytes, uint64_t at);
uint32_t get32(ByteView bytes, uint64_t at);
// Where `needle` first occurs in bytes[from, to), or -1.
int64_t find_bytes(ByteView bytes, uint64_t from, uint64_t to, std::string_view needle);

struct DosTime {
    uint16_t date;
    uint16_t time;
};
// Local time, seconds rounded down to even; clamped to 1980-01-01 .. 2107-12-31 23:59:58.
DosTime dos_time_from_unix(int64_t seconds);
std::string dos_time_text(DosTime t);  // "YYYY-MM-DD HH:MM:SS"

// Names are stored in the OEM code page (437), which the stub converts to the ANSI page.
// Throws PackError naming the character that 437 cannot hold.
std::string utf8_to_oem(std::string_view utf8);
std::string oem_to_utf8(std::string_view oem);
bool is_utf8(std::string_view text);

// How names are judged: the temp dir the user is assumed to have, and whether a name may
// name an absolute path on a drive (the stub writes those where they point, on purpose).
struct NameRules {
    uint32_t temp_dir_length = DEFAULT_TEMP_DIR_LENGTH;
    bool allow_drive_letters = false;
};

// The first reason the stub could not extract a stored name whole where it belongs, or "".
// `oem_name` uses '/' separators and ends in '/' for a directory.
std::string name_problem(std::string_view oem_name, const NameRules& rules);
// The name's drive letter ("C:/..."), or 0 for a name under the temp dir.
char drive_letter(std::string_view name);
// The length of the path the stub forms for the name: the name alone on a drive, else
// behind the temp dir.
uint32_t output_path_length(std::string_view oem_name, uint32_t temp_dir_length);
// A key under which two names collide exactly when Windows takes them for the same path:
// upper case by Unicode rules, '\\' as '/'.
std::string collision_key(std::string_view oem_name);

uint32_t crc32_of(ByteView bytes);

}  // namespace pack
