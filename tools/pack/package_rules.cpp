// package_rules.cpp -- the end record and trailer as the stub's scans find them, the directory, the entries.
#include "tools/pack/package_rules.h"

#include <algorithm>

#include <fmt/format.h>

#include "archive/zip_layout.h"
#include "tools/pack/package_plan.h"

namespace pack {

namespace {

constexpr std::string_view END_BYTES("PK\x05\x06", 4);
constexpr std::string_view TRAILER_BYTES("SFX\x01", 4);
// How far back from the end an end record is looked for when the stub's own scan misses it:
// far enough for any comment, trailer and signature a real package carries.
constexpr uint64_t DEEP_SCAN = 16u << 20;

bool has(ByteView file, uint64_t at, uint64_t count) { return at <= file.size() && count <= file.size() - at; }

// The first position from `first` to `last` bytes before the end, nearest the end first,
// where the bytes begin; the stub's scans run this way.
std::optional<uint64_t> scan_back(ByteView file, uint64_t first, uint64_t last, std::string_view bytes) {
    for (uint64_t distance = first; distance <= last && distance <= file.size(); ++distance) {
        uint64_t at = file.size() - distance;
        if (has(file, at, 4) && std::equal(bytes.begin(), bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(at),
                                           [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; }))
            return at;
    }
    return std::nullopt;
}

// An end record that leads to a central directory before it (or announces none).
bool consistent_end_record(ByteView file, uint64_t at) {
    if (!has(file, at, END_RECORD_SIZE)) return false;
    uint64_t offset = get32(file, at + 16);
    if (get16(file, at + 10) == 0 && get32(file, at + 12) == 0) return true;
    return offset < at && has(file, offset, 4) && get32(file, offset) == CENTRAL_HEADER_SIGNATURE;
}

void judge_directory(ByteView file, uint64_t end_at, const NameRules& rules, LayoutReport& report) {
    auto broken = [&](const char* rule, std::string detail) { report.broken.push_back({rule, std::move(detail)}); };
    uint16_t total = get16(file, end_at + 10);
    uint32_t size = get32(file, end_at + 12);
    uint64_t at = get32(file, end_at + 16);
    uint32_t records = 0;
    uint64_t walked = 0;
    while (has(file, at, CENTRAL_HEADER_SIZE) && get32(file, at) == CENTRAL_HEADER_SIGNATURE) {
        uint16_t name_length = get16(file, at + 28);
        uint64_t record = CENTRAL_HEADER_SIZE + name_length + get16(file, at + 30) + get16(file, at + 32);
        if (!has(file, at, record)) break;
        std::string name(reinterpret_cast<const char*>(file.data() + at + CENTRAL_HEADER_SIZE), name_length);
        ++records;
        if (name.empty()) broken("directory-totals", fmt::format("the central record at offset {} has no name", at));
        uint64_t local = get32(file, at + 42);
        std::string shown = name.empty() ? fmt::format("(record at {})", at) : oem_to_utf8(name);
        if (!has(file, local, LOCAL_HEADER_SIZE) || get32(file, local) != LOCAL_HEADER_SIGNATURE) {
            broken("entry-form", fmt::format("\"{}\": no local header at offset {}", shown, local));
        } else {
            uint16_t flags = get16(file, local + 6);
            uint16_t method = get16(file, local + 8);
            uint16_t local_name_length = get16(file, local + 26);
            if (method != METHOD_DEFLATE) broken("entry-form", fmt::format("\"{}\" uses method {}, not 8 (deflate)", shown, method));
            if (flags & FLAG_ENCRYPTED) broken("entry-form", fmt::format("\"{}\" is encrypted", shown));
            if (flags & FLAG_DATA_DESCRIPTOR)
                broken("entry-form", fmt::format("\"{}\" keeps its sizes and CRC in a data descriptor", shown));
            else if (get32(file, local + 14) != get32(file, at + 16) || get32(file, local + 18) != get32(file, at + 20))
                broken("entry-form", fmt::format("\"{}\": its local header's CRC or size differs from the directory's", shown));
            if (has(file, local + LOCAL_HEADER_SIZE, local_name_length)) {
                std::string local_name(reinterpret_cast<const char*>(file.data() + local + LOCAL_HEADER_SIZE), local_name_length);
                uint32_t length = output_path_length(local_name, rules.temp_dir_length);
                if (length >= PATH_LIMIT)
                    broken("entry-form", fmt::format("\"{}\": its output path is {} characters behind a temp dir of {}; "
                                                     "the stub writes none of {} or more",
                                                     shown, length, rules.temp_dir_length, PATH_LIMIT));
                std::string problem = name_problem(local_name, NameRules{rules.temp_dir_length, true});
                if (!problem.empty() && length < PATH_LIMIT)
                    report.warnings.push_back(fmt::format("\"{}\": {}", shown, problem));
                else if (drive_letter(local_name))
                    report.warnings.push_back(fmt::format("\"{}\" is written to that absolute path, outside the temp dir", shown));
            }
        }
        walked += record;
        at += record;
    }
    if (at != end_at)
        broken("directory-end", fmt::format("the central directory stops at offset {}, but the end record is at {}", at, end_at));
    if (total != records)
        broken("directory-totals", fmt::format("the end record counts {} entries, the directory holds {}", total, records));
    if (size != walked)
        broken("directory-totals", fmt::format("the end record gives the directory {} bytes, its records take {}", size, walked));
}

}  // namespace

std::optional<Signature> find_signature(ByteView file) {
    if (!has(file, 0, 0x40) || file[0] != 'M' || file[1] != 'Z') return std::nullopt;
    uint64_t pe = get32(file, 0x3C);
    if (!has(file, pe, 24 + 2) || get32(file, pe) != 0x00004550) return std::nullopt;
    uint64_t optional_header = pe + 24;
    uint16_t magic = get16(file, optional_header);
    uint64_t directories = optional_header + (magic == 0x20b ? 112 : 96);
    constexpr uint64_t SECURITY_DIRECTORY = 4;
    uint64_t entry = directories + SECURITY_DIRECTORY * 8;
    if ((magic != 0x10b && magic != 0x20b) || !has(file, entry, 8)) return std::nullopt;
    Signature s{get32(file, entry), get32(file, entry + 4)};
    if (s.size == 0) return std::nullopt;
    return s;
}

LayoutReport judge_layout(ByteView file, const NameRules& rules) {
    LayoutReport report;
    auto broken = [&](const char* rule, std::string detail) { report.broken.push_back({rule, std::move(detail)}); };
    report.signature = find_signature(file);

    // The end record the archive means, wherever it is, and the one the stub's scan takes.
    std::optional<uint64_t> real;
    uint64_t lowest = file.size() > DEEP_SCAN ? file.size() - DEEP_SCAN : 0;
    for (uint64_t at = file.size() >= END_RECORD_SIZE ? file.size() - END_RECORD_SIZE + 1 : 0; at-- > lowest;)
        if (get32(file, at) == END_RECORD_SIGNATURE && consistent_end_record(file, at)) {
            real = at;
            break;
        }
    std::optional<uint64_t> seen = scan_back(file, END_RECORD_SCAN_START, END_RECORD_SCAN_LIMIT, END_BYTES);
    if (!real) {
        broken("end-record-reach", "no end record whose central directory runs up to it");
        return report;
    }
    report.end_record_offset = real;
    uint64_t end_distance = file.size() - *real;
    report.end_record_room = static_cast<int64_t>(END_RECORD_SCAN_LIMIT) - static_cast<int64_t>(end_distance);
    if (end_distance > END_RECORD_SCAN_LIMIT)
        broken("end-record-reach", fmt::format("the end record begins {} bytes before the end of the file; the stub looks "
                                               "back {} at most",
                                               end_distance, END_RECORD_SCAN_LIMIT));
    else if (seen != real)
        broken("one-end-record", fmt::format("the bytes \"PK\" 05 06 at offset {}, after the end record at {}, are what the "
                                             "stub takes for the end record",
                                             *seen, *real));
    judge_directory(file, *real, rules, report);

    // The trailer right behind the end record and its comment, and the one the stub's scan takes.
    uint64_t trailer_at = *real + END_RECORD_SIZE + get16(file, *real + 20);
    std::optional<uint64_t> trailer_seen = scan_back(file, 4, TRAILER_SCAN_LIMIT, TRAILER_BYTES);
    if (has(file, trailer_at, TRAILER_SIZE) && get32(file, trailer_at) == TRAILER_SIGNATURE) {
        report.trailer_offset = trailer_at;
        uint64_t distance = file.size() - trailer_at;
        report.trailer_room = static_cast<int64_t>(TRAILER_SCAN_LIMIT) - static_cast<int64_t>(distance);
        uint32_t flag = get32(file, trailer_at + 4);
        uint32_t length = get32(file, trailer_at + 8);
        if (distance > TRAILER_SCAN_LIMIT)
            broken("trailer-reach", fmt::format("the trailer begins {} bytes before the end of the file; the stub looks back "
                                                "{} at most{}",
                                                distance, TRAILER_SCAN_LIMIT, flag ? ", so the disclaimer is never shown" : ""));
        else if (trailer_seen != trailer_at)
            broken("trailer-reach", fmt::format("the bytes \"SFX\" 0x01 at offset {}, after the trailer at {}, are what the "
                                                "stub takes for the trailer",
                                                *trailer_seen, trailer_at));
        if (flag != 0 && length > MAX_DISCLAIMER_BYTES)
            broken("disclaimer-size", fmt::format("the disclaimer text is {} bytes; the stub's buffer holds {}", length,
                                                  MAX_DISCLAIMER_BYTES));
        if (flag != 0 && !has(file, trailer_at + TRAILER_SIZE, length))
            broken("disclaimer-size", fmt::format("the disclaimer text of {} bytes runs past the end of the file", length));
    } else {
        report.trailer_room = report.end_record_room;
        if (trailer_seen)
            broken("trailer-reach", fmt::format("no trailer follows the end record, yet the bytes \"SFX\" 0x01 at offset {} "
                                                "are what the stub takes for one",
                                                *trailer_seen));
    }

    if (report.signature) {
        const Signature& s = *report.signature;
        if (s.offset + s.size != file.size() || (report.trailer_offset && s.offset < *report.trailer_offset))
            report.warnings.push_back(fmt::format("the certificate table at offset {} does not end the file after the "
                                                  "trailer; the signature does not cover the package as built",
                                                  s.offset));
    } else {
        int64_t room = std::min(report.end_record_room, report.trailer_room);
        if (room < static_cast<int64_t>(SIGNATURE_ALLOWANCE))
            report.warnings.push_back(fmt::format("a signature of more than {} bytes (its certificate table and up to 7 bytes "
                                                  "of padding) would push the {} out of the stub's reach",
                                                  std::max<int64_t>(room, 0),
                                                  report.trailer_room < report.end_record_room ? "trailer" : "end record"));
    }
    return report;
}

}  // namespace pack
