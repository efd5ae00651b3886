// package_rules.h -- what a self-extracting file must satisfy for the stub to extract every entry in
// full and without a box, judged from its bytes alone; and how much room is left for a signature.
//
// The rules, as this tool names them:
//   end-record-reach   the end record's signature begins at most 20000 bytes before the end
//   one-end-record     no other "PK" 05 06 after it and 10 or more bytes before the end
//   trailer-reach      the trailer begins within the last 17000 bytes, and no "SFX" 0x01 follows it
//   disclaimer-size    the disclaimer text is at most 16384 bytes
//   directory-end      the last central record is followed directly by the end record
//   directory-totals   every central record has a name; the end record's count and size agree
//   entry-form         every entry: method 8, not encrypted, sizes and CRC in its local header,
//                      and an output path under 260 characters behind the temp dir
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/pack/zip_format.h"

namespace pack {

struct BrokenRule {
    std::string rule;    // one of the names above
    std::string detail;  // what breaks it, naming the entry or offset
};

// An Authenticode certificate table, from the PE header's security directory.
struct Signature {
    uint64_t offset = 0;
    uint64_t size = 0;
};

struct LayoutReport {
    std::vector<BrokenRule> broken;
    std::vector<std::string> warnings;
    std::optional<Signature> signature;
    std::optional<uint64_t> end_record_offset;  // of the end record whose directory runs up to it
    std::optional<uint64_t> trailer_offset;     // of the trailer right after that end record
    // Bytes that could still be appended while the stub reaches the end record and the trailer.
    int64_t end_record_room = 0;
    int64_t trailer_room = 0;
};

LayoutReport judge_layout(ByteView file, const NameRules& rules);

// The certificate table a PE file's header names, if any.
std::optional<Signature> find_signature(ByteView file);

}  // namespace pack
