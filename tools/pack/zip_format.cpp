// zip_format.cpp -- byte helpers, DOS times, code-page conversion and the name rules.
#include "tools/pack/zip_format.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <cwctype>
#include <memory>

#include <fmt/format.h>
#include <iconv.h>
#include <locale.h>
#include <zlib.h>

namespace pack {

void put16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<unsigned char>(value));
    out.push_back(static_cast<unsigned char>(value >> 8));
}

void put32(Bytes& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

uint16_t get16(ByteView bytes, uint64_t at) {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

uint32_t get32(ByteView bytes, uint64_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

int64_t find_bytes(ByteView bytes, uint64_t from, uint64_t to, std::string_view needle) {
    to = std::min<uint64_t>(to, bytes.size());
    if (from >= to) return -1;
    auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(from);
    auto end = bytes.begin() + static_cast<std::ptrdiff_t>(to);
    auto hit = std::search(begin, end, needle.begin(), needle.end(),
                           [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); });
    return hit == end ? -1 : hit - bytes.begin();
}

DosTime dos_time_from_unix(int64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr || local.tm_year < 80) return DosTime{(0 << 9) | (1 << 5) | 1, 0};
    if (local.tm_year > 207) return DosTime{(127 << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5) | 29};
    auto date = static_cast<uint16_t>((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
    auto time = static_cast<uint16_t>(local.tm_hour << 11 | local.tm_min << 5 | std::min(local.tm_sec, 59) / 2);
    return DosTime{date, time};
}

std::string dos_time_text(DosTime t) {
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", 1980 + (t.date >> 9), (t.date >> 5) & 0x0F, t.date & 0x1F,
                       t.time >> 11, (t.time >> 5) & 0x3F, (t.time & 0x1F) * 2);
}

namespace {

struct IconvCloser {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};

// One conversion through glibc's iconv; throws with the offending byte's position.
std::string convert(std::string_view text, const char* to, const char* from) {
    iconv_t raw = iconv_open(to, from);
    if (raw == reinterpret_cast<iconv_t>(-1)) throw PackError(fmt::format("no conversion from {} to {} here", from, to));
    std::unique_ptr<void, IconvCloser> cd(raw);
    std::string out(text.size() * 4 + 4, '\0');
    char* in_ptr = const_cast<char*>(text.data());
    size_t in_left = text.size();
    char* out_ptr = out.data();
    size_t out_left = out.size();
    if (iconv(raw, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<size_t>(-1)) {
        size_t at = text.size() - in_left;
        throw PackError(fmt::format("\"{}\": the character at byte {} cannot be written in code page 437 ({})",
                                    std::string(text), at, errno == EILSEQ ? "not in the code page" : "cut short"));
    }
    out.resize(out.size() - out_left);
    return out;
}

bool is_reserved_device(std::string_view component) {
    // Windows opens the device, not a file, for these names, whatever the extension.
    std::string base(component.substr(0, component.find('.')));
    std::transform(base.begin(), base.end(), base.begin(), [](unsigned char c) { return std::toupper(c); });
    static const std::array<const char*, 4> plain = {"CON", "PRN", "AUX", "NUL"};
    for (const char* name : plain)
        if (base == name) return true;
    return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '1' && base[3] <= '9';
}

}  // namespace

std::string utf8_to_oem(std::string_view utf8) { return convert(utf8, "CP437", "UTF-8"); }
std::string oem_to_utf8(std::string_view oem) { return convert(oem, "UTF-8", "CP437"); }

bool is_utf8(std::string_view text) {
    try {
        convert(text, "UTF-32LE", "UTF-8");
        return true;
    } catch (const PackError&) {
        return false;
    }
}

char drive_letter(std::string_view name) {
    if (name.size() < 2 || name[1] != ':') return 0;
    unsigned char c = static_cast<unsigned char>(name[0]);
    return std::isalpha(c) ? static_cast<char>(std::toupper(c)) : name[0];
}

uint32_t output_path_length(std::string_view name, uint32_t temp_dir_length) {
    // Code page 437 to the user's single-byte ANSI page keeps one byte per character.
    return static_cast<uint32_t>(name.size()) + (drive_letter(name) ? 0 : temp_dir_length);
}

std::string name_problem(std::string_view name, const NameRules& rules) {
    if (name.empty()) return "an empty name";
    std::string_view rest = name;
    if (char drive = drive_letter(name)) {
        if (!rules.allow_drive_letters)
            return "it begins with a drive letter, outside the temp dir (--allow-drive-letters writes it there)";
        if (!std::isalpha(static_cast<unsigned char>(drive)) || name.size() < 4 || (name[2] != '/' && name[2] != '\\'))
            return "a drive-letter name must read \"X:/folder/file\"";
        rest.remove_prefix(3);
    } else if (name.front() == '/' || name.front() == '\\') {
        return "it begins with a separator";
    }
    uint32_t length = output_path_length(name, rules.temp_dir_length);
    if (length >= PATH_LIMIT)
        return drive_letter(name)
                   ? fmt::format("its path is {} characters; the stub writes no path of {} or more", length, PATH_LIMIT)
                   : fmt::format("behind a temp dir of {} characters its path would be {} characters; the stub writes "
                                 "no path of {} or more (--temp-dir-length sets the assumed temp dir)",
                                 rules.temp_dir_length, length, PATH_LIMIT);
    if (rest.back() == '/') rest.remove_suffix(1);
    while (true) {
        size_t cut = rest.find_first_of("/\\");
        std::string_view component = rest.substr(0, cut);
        if (component.empty()) return "it holds an empty path component";
        if (component == "..") return "it holds a \"..\" component, which leaves the folder it is extracted to";
        if (component == ".") return "it holds a \".\" component";
        for (unsigned char c : component)
            if (c < 0x20 || std::string_view("<>:\"|?*").find(static_cast<char>(c)) != std::string_view::npos)
                return fmt::format("it holds the character 0x{:02X}, which Windows does not allow in a name", c);
        if (component.back() == '.' || component.back() == ' ')
            return "a component ends in a dot or a space, which Windows drops";
        if (is_reserved_device(component)) return fmt::format("\"{}\" names a Windows device", std::string(component));
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    return "";
}

std::string collision_key(std::string_view oem_name) {
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    std::string wide = convert(oem_name, "UTF-32LE", "CP437");
    std::string key;
    for (size_t at = 0; at + 4 <= wide.size(); at += 4) {
        auto c = static_cast<wint_t>(get32(ByteView(reinterpret_cast<const unsigned char*>(wide.data()), wide.size()), at));
        if (c == L'\\') c = L'/';
        if (utf8 != static_cast<locale_t>(0)) c = towupper_l(c, utf8);
        key.append(reinterpret_cast<const char*>(&c), sizeof c);
    }
    return key;
}

uint32_t crc32_of(ByteView bytes) {
    uLong crc = ::crc32(0L, Z_NULL, 0);
    // zlib takes lengths as uInt: feed large inputs in pieces.
    while (!bytes.empty()) {
        size_t piece = std::min<size_t>(bytes.size(), 1u << 30);
        crc = ::crc32(crc, bytes.data(), static_cast<uInt>(piece));
        bytes = bytes.subspan(piece);
    }
    return static_cast<uint32_t>(crc);
}

}  // namespace pack
