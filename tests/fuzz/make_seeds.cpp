// make_seeds.cpp -- writes the fuzz targets' seed corpora with the test-side writers.
//
// Usage: fuzz_seeds OUT_DIR   (normally tests/fuzz/corpus; built by the fuzz build)
// Writes OUT_DIR/deflate/*, OUT_DIR/archive/*.pkg and OUT_DIR/gate/*, replacing files of the
// same name and leaving others alone (the archive seeds taken from Info-ZIP stay). Each seed
// is small, so that libFuzzer's default input limit stays near a few kilobytes, and each one
// reaches a different part of its target. The header bytes follow the harnesses.
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/fixtures/bit_writer.h"
#include "tests/fixtures/deflate_oracles.h"
#include "tests/fixtures/sfx_writer.h"

namespace {

namespace fs = std::filesystem;
using sfx::Bytes;

Bytes text_sample() {
    std::string s;
    for (int i = 0; i < 12; ++i)
        s += "Tarnvel setup copies the program files into the temporary folder, line " + std::to_string(i) + ".\r\n";
    return sfx::text(s);
}

// The bytes over and over, cut to size.
Bytes repeated(const Bytes& unit, size_t size) {
    Bytes out;
    while (out.size() < size) out.insert(out.end(), unit.begin(), unit.end());
    out.resize(size);
    return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// ---- deflate: three header bytes, then the stream ----

Bytes deflate_seed(unsigned char options, unsigned char second, unsigned char third, const Bytes& stream) {
    return join({Bytes{options, second, third}, stream});
}

// Stored, fixed and dynamic blocks in one stream: zlib switched between levels and strategies.
Bytes mixed_blocks() {
    z_stream z{};
    deflateInit2(&z, 0, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes out(4096);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    Bytes parts[3] = {sfx::noise(200, 3), text_sample(), sfx::sample_content(600, 4)};
    const int levels[3] = {0, 6, 9};
    const int strategies[3] = {Z_DEFAULT_STRATEGY, Z_FIXED, Z_DEFAULT_STRATEGY};
    for (int i = 0; i < 3; ++i) {
        deflateParams(&z, levels[i], strategies[i]);
        z.next_in = parts[i].data();
        z.avail_in = static_cast<uInt>(parts[i].size());
        deflate(&z, i == 2 ? Z_FINISH : Z_BLOCK);
    }
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// A fixed block whose first match reaches 100 bytes before the stream's start.
Bytes history_match() {
    bit_writer::BitWriter w;
    w.put_bits(1, 1);
    w.put_bits(1, 2);
    bit_writer::put_fixed_match(w, 20, 100);
    bit_writer::put_fixed_symbol(w, 'x');
    bit_writer::put_fixed_match(w, 258, 1);
    bit_writer::put_fixed_symbol(w, 256);
    return w.bytes;
}

// A dynamic block whose first code-length symbol is 16: a repeat with no length before it.
Bytes leading_repeat() {
    bit_writer::BitWriter w;
    w.put_bits(1, 1);
    w.put_bits(2, 2);
    w.put_bits(0, 5);   // 257 literal/length codes
    w.put_bits(0, 5);   // 1 distance code
    w.put_bits(15, 4);  // all 19 code-length codes
    const bit_writer::Code lengths_code(bit_writer::full_code_length_lengths());
    for (int symbol : {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15})
        w.put_bits(lengths_code.lengths[symbol], 3);
    // Lengths: 16 first (three times 0), then 'A' .. 'E' and 256 get 3 bits and 'F' 2 bits,
    // a complete code; the rest 0, the one distance length too.
    std::vector<uint32_t> wanted(258, 0);
    for (uint32_t s : {65u, 66u, 67u, 68u, 69u, 256u}) wanted[s] = 3;
    wanted[70] = 2;
    lengths_code.put(w, 16);
    w.put_bits(0, 2);
    for (uint32_t s = 3; s < 258; ++s) lengths_code.put(w, wanted[s]);
    const bit_writer::Code literal_code(std::vector<uint32_t>(wanted.begin(), wanted.begin() + 257));
    for (uint32_t s : {70u, 65u, 66u, 67u, 68u, 69u, 256u}) literal_code.put(w, s);
    return w.bytes;
}

void write_deflate_seeds(const fs::path& dir) {
    using deflate_oracles::libdeflate_compress;
    using deflate_oracles::zlib_compress;
    const Bytes text = text_sample();
    const Bytes dynamic = zlib_compress(text, 9);
    const std::vector<std::pair<std::string, Bytes>> seeds = {
        {"fixed_text", deflate_seed(0, 0, 0, zlib_compress(text, 9, Z_FIXED))},
        {"fixed_text_short_reads", deflate_seed(2, 3, 0, zlib_compress(text, 9, Z_FIXED))},
        {"dynamic_text", deflate_seed(0, 0, 0, dynamic)},
        {"dynamic_text_latched", deflate_seed(1, 0, 0, Bytes(dynamic.begin(), dynamic.begin() + dynamic.size() * 2 / 3))},
        {"dynamic_text_failed_allocation", deflate_seed(8, 0, 3, dynamic)},
        {"dynamic_binary_rle", deflate_seed(0, 0, 0, zlib_compress(sfx::sample_content(1500, 7), 9, Z_RLE))},
        {"huffman_only", deflate_seed(0, 0, 0, zlib_compress(sfx::sample_content(1500, 8), 9, Z_HUFFMAN_ONLY))},
        {"stored_binary", deflate_seed(0, 0, 0, zlib_compress(sfx::noise(700, 9), 0))},
        {"mixed_blocks", deflate_seed(0, 0, 0, mixed_blocks())},
        {"libdeflate_12", deflate_seed(0, 0, 0, libdeflate_compress(sfx::sample_content(2000, 10), 12))},
        {"window_crossing", deflate_seed(0, 0, 0, zlib_compress(repeated(text, 40000), 9))},
        {"history_match_noise", deflate_seed(0x34, 0, 0, history_match())},
        {"leading_repeat", deflate_seed(0, 0, 0, leading_repeat())},
    };
    for (const auto& [name, bytes] : seeds) sfx::write_file(dir / name, bytes);
}

// ---- archive: whole self-extracting files ----

sfx::Entry entry(const std::string& name, const Bytes& content, uint16_t method = METHOD_DEFLATE) {
    sfx::Entry e;
    e.name = name;
    e.content = content;
    e.method = method;
    return e;
}

Bytes package(std::vector<sfx::Entry> entries, const std::function<void(sfx::Package&)>& change = nullptr) {
    sfx::Package p;
    p.stub = sfx::text("MZ");
    p.stub.resize(64, '0');
    p.entries = std::move(entries);
    if (change) change(p);
    return sfx::build(p).bytes;
}

void write_archive_seeds(const fs::path& dir) {
    const Bytes text = sfx::text("Tarnvel setup test payload\r\n");
    const std::vector<std::pair<std::string, Bytes>> seeds = {
        {"two_entries", package({entry("readme.txt", text_sample()), entry("data.bin", sfx::noise(300, 1), METHOD_STORED)})},
        {"disclaimer", package({entry("a.txt", text)}, [](sfx::Package& p) {
             p.disclaimer_flag = 1;
             p.disclaimer_text = "Accept the licence?";
         })},
        {"folders", package({entry("docs/", {}), entry("docs/deep/notes.txt", text)})},
        {"drive_letter_name", package({entry("D:/abs/file.txt", text)})},
        {"dot_dot_name", package({entry("../../../escape.txt", text), entry("..\\..\\x.txt", text)})},
        {"launch_names", package({entry("install.exe", text), entry("SETUP.EXE", text)})},
        {"data_descriptor", package({[&] {
             sfx::Entry e = entry("streamed.txt", text_sample());
             e.data_descriptor = true;
             return e;
         }()})},
        {"unknown_method", package({entry("shrunk.bin", text, 12), entry("after.txt", text)})},
        {"crc_mismatch", package({[&] {
             sfx::Entry e = entry("bad.txt", text_sample());
             e.patch_local = [](LocalHeader& h) { h.crc32 ^= 1; };
             return e;
         }()})},
        {"data_past_the_end", package({[&] {
             sfx::Entry e = entry("cut.txt", text_sample());
             e.patch_local = [](LocalHeader& h) { h.compressed_size += 5000; };
             return e;
         }()})},
        {"overlong_local_name", package({[&] {
             sfx::Entry e = entry("long.txt", text);
             e.local_name = std::string(262, 'n');
             return e;
         }()})},
        {"empty_central_name", package({[&] {
             sfx::Entry e = entry("named.txt", text);
             e.central_name = "";
             return e;
         }()})},
        {"offsets_from_archive", package({entry("a.txt", text)}, [](sfx::Package& p) { p.offsets_from_archive = true; })},
        {"no_trailer", package({entry("a.txt", text)}, [](sfx::Package& p) { p.trailer = false; })},
    };
    for (const auto& [name, bytes] : seeds) sfx::write_file(dir / (name + ".pkg"), bytes);
}

// ---- gate: three header bytes, then the file's tail ----

Bytes gate_seed(unsigned char options, unsigned char second, unsigned char third, const Bytes& tail) {
    return join({Bytes{options, second, third}, tail});
}

void write_gate_seeds(const fs::path& dir) {
    const Bytes image(40, 0xCC);
    const Bytes accept = sfx::trailer_block(1, "Accept the licence?");
    Bytes zero_inside = sfx::trailer_block(1, std::string("before\0after", 12));
    Bytes long_length = sfx::trailer_block(1, "cut short");
    long_length[8] = 0xFF;  // the length claims 255 bytes more than the file has
    const std::vector<std::pair<std::string, Bytes>> seeds = {
        {"plain_trailer", gate_seed(1, 0, 0, join({image, sfx::trailer_block(0, "")}))},
        {"accepted", gate_seed(1, 0, 0, join({image, accept}))},
        {"refused", gate_seed(2, 0, 0, join({image, accept}))},
        {"box_not_shown", gate_seed(0, 0, 0, join({image, accept}))},
        {"zero_in_text", gate_seed(1, 0, 0, join({image, zero_inside}))},
        {"two_trailers", gate_seed(1, 0, 0, join({image, sfx::trailer_block(1, "far"), sfx::trailer_block(1, "near")}))},
        {"length_past_the_end", gate_seed(1, 0, 0, join({image, long_length}))},
        {"read_error_after_the_flag", gate_seed(5, 30, 0, join({image, accept}))},
        {"repeated_beyond_the_scan", gate_seed(9, 0, 90, join({accept, Bytes(180, 0xCC)}))},
    };
    for (const auto& [name, bytes] : seeds) sfx::write_file(dir / name, bytes);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT_DIR\n", argv[0]);
        return 2;
    }
    const fs::path out = argv[1];
    for (const char* target : {"deflate", "archive", "gate"}) fs::create_directories(out / target);
    write_deflate_seeds(out / "deflate");
    write_archive_seeds(out / "archive");
    write_gate_seeds(out / "gate");
    return 0;
}
