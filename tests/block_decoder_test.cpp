// block_decoder_test.cpp -- the deflate block decoder on the real stream buffers, against zlib and libdeflate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "deflate/block_decoder.h"
#include "platform/host/host_platform.h"
#include "tests/fixtures/bit_writer.h"
#include "tests/fixtures/counting_allocator.h"
#include "tests/fixtures/decoder_harness.h"
#include "tests/fixtures/deflate_oracles.h"

namespace {

using decoder_harness::Bytes;
using decoder_harness::decode;
using decoder_harness::DecodeRun;
using decoder_harness::Session;
using bit_writer::BitWriter;
using bit_writer::Code;

// ---- Inputs ----

// Words of a small vocabulary: long matches at many distances, like text.
Bytes text_like(size_t size, uint32_t seed) {
    static const char* const words[] = {"setup",  "install", "the ",   "window", "archive", "entry ", "\r\n",
                                        "deflate", "Tarnvel", "of ",   "file",   "DLL",     "0x",     "    "};
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < size) {
        const char* w = words[rng() % (sizeof words / sizeof words[0])];
        out.insert(out.end(), w, w + strlen(w));
    }
    out.resize(size);
    return out;
}

Bytes random_bytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(size);
    for (auto& b : out) b = static_cast<unsigned char>(rng());
    return out;
}

// Skewed bytes with occasional repeats: a mix of short and long codes.
Bytes skewed(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::geometric_distribution<int> g(0.08);
    Bytes out;
    while (out.size() < size) {
        if (out.size() > 40000 && rng() % 7 == 0) {
            size_t back = 1 + rng() % 32768, len = 3 + rng() % 300;
            for (size_t i = 0; i < len; ++i) out.push_back(out[out.size() - back]);
        } else {
            out.push_back(static_cast<unsigned char>(g(rng)));
        }
    }
    out.resize(size);
    return out;
}

// The test program itself: real machine code and data.
Bytes own_binary(size_t limit) {
    Bytes data = decoder_harness::read_file("/proc/self/exe");
    if (data.size() > limit) data.resize(limit);
    return data;
}

struct Input {
    const char* name;
    Bytes data;
};

const std::vector<Input>& inputs() {
    static const std::vector<Input> all = [] {
        std::vector<Input> v;
        v.push_back({"empty", {}});
        v.push_back({"one byte", {0x41}});
        v.push_back({"text 32768 (exactly one window)", text_like(32768, 1)});
        v.push_back({"text 300000 (many windows)", text_like(300000, 2)});
        v.push_back({"random 200000 (stored blocks)", random_bytes(200000, 3)});
        v.push_back({"zeros 100000 (distance 1, length 258)", Bytes(100000, 0)});
        v.push_back({"skewed 250000 (far matches across the window end)", skewed(250000, 4)});
        v.push_back({"own binary", own_binary(700000)});
        return v;
    }();
    return all;
}

void expect_decodes_to(const Bytes& compressed, const Bytes& original, const std::string& what) {
    DecodeRun run = decode(compressed);
    ASSERT_EQ(run.result, 0) << what;
    ASSERT_EQ(run.output.size(), original.size()) << what;
    EXPECT_TRUE(run.output == original) << what;
    EXPECT_EQ(run.crc, crc32(0L, original.data(), static_cast<uInt>(original.size()))) << what;
    EXPECT_EQ(run.window_pos, 0u) << what << ": the last window was emitted";
}

// ---- Differential decoding ----

TEST(BlockDecoder, DecodesZlibStreamsAtEveryLevelAndStrategy) {
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (const Input& input : inputs()) {
        for (int strategy : strategies) {
            for (int level = 0; level <= 9; ++level) {
                Bytes compressed = deflate_oracles::zlib_compress(input.data, level, strategy);
                ASSERT_FALSE(compressed.empty());
                expect_decodes_to(compressed, input.data,
                                  std::string(input.name) + " zlib level " + std::to_string(level) + " strategy " +
                                      std::to_string(strategy));
            }
        }
    }
}

TEST(BlockDecoder, DecodesLibdeflateStreamsAtEveryLevel) {
    for (const Input& input : inputs()) {
        for (int level = 1; level <= 12; ++level) {
            Bytes compressed = deflate_oracles::libdeflate_compress(input.data, level);
            ASSERT_FALSE(compressed.empty());
            expect_decodes_to(compressed, input.data, std::string(input.name) + " libdeflate level " + std::to_string(level));
        }
    }
}

// ---- Hand-made streams ----

// Runs a stream twice: as the entry's whole data, where the byte-wise readers decode it near
// the end of the input, and followed by padding that belongs to the entry, so that the
// word-wide fast path decodes it; both runs must agree.
DecodeRun decode_both_ways(const Bytes& stream, const std::string& what) {
    DecodeRun plain = decode(stream);
    Bytes padded = stream;
    padded.insert(padded.end(), 64, 0);
    DecodeRun fast = decode(padded);
    EXPECT_EQ(fast.result, plain.result) << what;
    EXPECT_TRUE(fast.output == plain.output) << what;
    return plain;
}

constexpr uint32_t END_OF_BLOCK = 256;

// Block header: the final flag, then the two-bit type.
void put_block_header(BitWriter& w, uint32_t final_flag, uint32_t type) {
    w.put_bits(final_flag, 1);  // BFINAL
    w.put_bits(type, 2);        // BTYPE: 0 stored, 1 fixed, 2 dynamic, 3 reserved
}

// One code-length symbol with its extra-bit field (for 16, 17, 18).
struct LengthOp {
    uint32_t symbol;
    uint32_t extra;
};

// Code-length symbols for a list of lengths: zero runs as 18 or 17, other lengths one by one.
std::vector<LengthOp> ops_for(const std::vector<uint32_t>& lengths) {
    std::vector<LengthOp> ops;
    for (size_t i = 0; i < lengths.size();) {
        size_t run = 0;
        while (i + run < lengths.size() && lengths[i + run] == 0 && run < 138) ++run;
        if (run >= 11) {
            ops.push_back({18, static_cast<uint32_t>(run - 11)});
        } else if (run >= 3) {
            ops.push_back({17, static_cast<uint32_t>(run - 3)});
        } else {
            ops.push_back({lengths[i], 0});
            run = 1;
        }
        i += run;
    }
    return ops;
}

std::vector<LengthOp> operator+(std::vector<LengthOp> a, const std::vector<LengthOp>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A dynamic block's header after BTYPE: the three counts, the complete 19-symbol
// code-length code, then the code-length symbols as given (they need not match the counts).
void put_dynamic_header(BitWriter& w, uint32_t hlit_field, uint32_t hdist_field, const std::vector<LengthOp>& ops) {
    static const Code length_code(bit_writer::full_code_length_lengths());
    w.put_bits(hlit_field, 5);   // HLIT: literal/length codes - 257
    w.put_bits(hdist_field, 5);  // HDIST: distance codes - 1
    w.put_bits(15, 4);           // HCLEN: code-length codes - 4 (all 19)
    for (int symbol : CODE_LENGTH_ORDER) w.put_bits(length_code.lengths[symbol], 3);  // 3 bits each, in order
    for (const LengthOp& op : ops) {
        length_code.put(w, op.symbol);
        if (op.symbol == 16) w.put_bits(op.extra, 2);  // repeat previous 3..6 times
        if (op.symbol == 17) w.put_bits(op.extra, 3);  // 3..10 zeros
        if (op.symbol == 18) w.put_bits(op.extra, 7);  // 11..138 zeros
    }
}

std::vector<uint32_t> lengths_with(uint32_t count, std::initializer_list<std::pair<uint32_t, uint32_t>> codes) {
    std::vector<uint32_t> lengths(count, 0);
    for (auto [symbol, length] : codes) lengths[symbol] = length;
    return lengths;
}

// Literal/length codes for hand-made dynamic blocks.
const std::vector<uint32_t> LIT_A_EOB = lengths_with(257, {{'A', 1}, {END_OF_BLOCK, 1}});
const std::vector<uint32_t> LIT_A_EOB_257 = lengths_with(258, {{'A', 1}, {END_OF_BLOCK, 2}, {257, 2}});

Bytes text(const char* s) { return Bytes(s, s + strlen(s)); }

TEST(BlockDecoder, RejectsBlockType3AndStillDeliversTheFinalFlag) {
    for (uint32_t final_flag : {0u, 1u}) {
        BitWriter w;
        put_block_header(w, final_flag, 3);
        Session session(w.bytes);
        int is_final = -1;
        EXPECT_EQ(decode_block(&is_final), 2);
        EXPECT_EQ(is_final, static_cast<int>(final_flag));
    }
}

TEST(BlockDecoder, DynamicCountFieldsOutOfRangeFailBeforeAnyCodeLength) {
    struct Case {
        uint32_t hlit_field, hdist_field;
        bool in_range;
    } cases[] = {{30, 0, false}, {31, 0, false}, {0, 30, false}, {0, 31, false}, {29, 29, true}};
    for (const Case& c : cases) {
        BitWriter w;
        put_block_header(w, 1, 2);
        w.put_bits(c.hlit_field, 5);   // HLIT
        w.put_bits(c.hdist_field, 5);  // HDIST
        w.put_bits(15, 4);             // HCLEN; the stream ends here, before the code lengths
        DecodeRun run = decode(w.bytes);
        EXPECT_EQ(run.result, 1) << c.hlit_field << "/" << c.hdist_field;
        // Reading code lengths would have run past the three bytes into filler.
        EXPECT_EQ(run.filler != 0, c.in_range) << c.hlit_field << "/" << c.hdist_field;
    }
}

// Hand-made dynamic blocks: the code-length symbols, and the symbols of the data.
constexpr int LITERAL_LENGTH = -1, DISTANCE = 0, ONE_BIT = 1;

struct DynamicCase {
    const char* name;
    uint32_t hlit_field;
    uint32_t hdist_field;
    std::vector<LengthOp> ops;
    std::vector<uint32_t> literal_lengths;   // for writing the data (empty: no data written)
    std::vector<uint32_t> distance_lengths;
    // (symbol, LITERAL_LENGTH), (symbol, DISTANCE), or (bits, ONE_BIT): a raw bit where no code is
    std::vector<std::pair<uint32_t, int>> data;
    int result;
    const char* output;
};

void put_data(BitWriter& w, const DynamicCase& c) {
    if (c.literal_lengths.empty()) return;
    Code literal(c.literal_lengths);
    Code distance(c.distance_lengths.empty() ? std::vector<uint32_t>{0} : c.distance_lengths);
    for (auto [symbol, kind] : c.data) {
        if (kind == LITERAL_LENGTH) literal.put(w, symbol);
        if (kind == DISTANCE) distance.put(w, symbol);
        if (kind == ONE_BIT) w.put_bits(symbol, 1);
    }
}

TEST(BlockDecoder, HandMadeDynamicBlocks) {
    const std::vector<LengthOp> lit_a_eob = ops_for(LIT_A_EOB);
    const std::vector<LengthOp> lit_a_eob_257 = ops_for(LIT_A_EOB_257);
    const std::pair<uint32_t, int> A{'A', LITERAL_LENGTH}, EOB{END_OF_BLOCK, LITERAL_LENGTH}, LEN3{257, LITERAL_LENGTH};
    const DynamicCase cases[] = {
        {"repeat symbol 16 first repeats length 0", 0, 0,
         std::vector<LengthOp>{{16, 0}} + ops_for(std::vector<uint32_t>(LIT_A_EOB.begin() + 3, LIT_A_EOB.end())) +
             std::vector<LengthOp>{{0, 0}},
         LIT_A_EOB, {}, {A, A, EOB}, 0, "AA"},
        {"literals only with an empty distance code", 0, 0, lit_a_eob + std::vector<LengthOp>{{0, 0}}, LIT_A_EOB, {},
         {A, A, A, EOB}, 0, "AAA"},
        {"a length symbol with an empty distance code", 1, 0, lit_a_eob_257 + std::vector<LengthOp>{{0, 0}},
         LIT_A_EOB_257, {}, {A, LEN3, EOB}, 1, ""},
        {"empty literal/length code", 0, 0, std::vector<LengthOp>{{18, 127}, {18, 108}, {1, 0}}, {}, {}, {}, 1, ""},
        {"single distance code of length 1 decodes", 1, 0, lit_a_eob_257 + std::vector<LengthOp>{{1, 0}},
         LIT_A_EOB_257, {1}, {A, LEN3, {0, DISTANCE}, EOB}, 0, "AAAA"},
        {"the unused code of a single-code distance code is invalid", 1, 0,
         lit_a_eob_257 + std::vector<LengthOp>{{1, 0}}, LIT_A_EOB_257, {1}, {A, LEN3, {1, ONE_BIT}, EOB}, 1, ""},
        {"zero run 17 ends exactly at the end of the list", 0, 3, lit_a_eob + std::vector<LengthOp>{{1, 0}, {17, 0}},
         LIT_A_EOB, {}, {A, EOB}, 0, "A"},
        {"zero run 17 one past the end of the list", 0, 2, lit_a_eob + std::vector<LengthOp>{{1, 0}, {17, 0}}, {}, {},
         {}, 1, ""},
        {"zero run 18 ends exactly at the end of the list", 0, 11, lit_a_eob + std::vector<LengthOp>{{1, 0}, {18, 0}},
         LIT_A_EOB, {}, {A, EOB}, 0, "A"},
        {"zero run 18 one past the end of the list", 0, 10, lit_a_eob + std::vector<LengthOp>{{1, 0}, {18, 0}}, {}, {},
         {}, 1, ""},
        {"repeat 16 one past the end of the list", 0, 1, lit_a_eob + std::vector<LengthOp>{{1, 0}, {16, 0}}, {}, {},
         {}, 1, ""},
        // Symbol 258 and distance symbols 0 and 1 are zero in one run; distance symbol 2 (3) gets length 1.
        {"a zero run from the literal/length part into the distance part", 2, 2,
         ops_for(std::vector<uint32_t>(LIT_A_EOB_257.begin(), LIT_A_EOB_257.end())) +
             std::vector<LengthOp>{{17, 0}, {1, 0}},
         LIT_A_EOB_257, {0, 0, 1}, {A, A, A, LEN3, {2, DISTANCE}, EOB}, 0, "AAAAAA"},
    };
    for (const DynamicCase& c : cases) {
        BitWriter w;
        put_block_header(w, 1, 2);
        put_dynamic_header(w, c.hlit_field, c.hdist_field, c.ops);
        put_data(w, c);
        DecodeRun run = decode_both_ways(w.bytes, c.name);
        EXPECT_EQ(run.result, c.result) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(run.output, text(c.output)) << c.name;
        }
        EXPECT_LE(run.filler, c.result == 0 ? MAX_FILLER_BYTES : MAX_FILLER_BYTES + 1) << c.name;
    }
}

TEST(BlockDecoder, EmptyCodeLengthCodeIsInvalid) {
    BitWriter w;
    put_block_header(w, 1, 2);
    w.put_bits(0, 5);  // HLIT
    w.put_bits(0, 5);  // HDIST
    w.put_bits(0, 4);  // HCLEN: 4 code-length codes
    for (int i = 0; i < 4; ++i) w.put_bits(0, 3);  // all of length 0
    w.put_bits(0, 16);                              // something to read, if the decoder went on
    EXPECT_EQ(decode(w.bytes).result, 1);
}

TEST(BlockDecoder, FixedBlockSymbols) {
    struct Case {
        const char* name;
        std::vector<std::pair<uint32_t, int>> symbols;  // (literal/length, -1) or (distance, extra bits value)
        int result;
        size_t output_size;
    } cases[] = {
        {"literal/length 286", {{'A', -1}, {286, -1}}, 1, 0},
        {"literal/length 287", {{'A', -1}, {287, -1}}, 1, 0},
        {"distance 30", {{'A', -1}, {257, -1}, {30, 0}}, 1, 0},
        {"distance 31", {{'A', -1}, {257, -1}, {31, 0}}, 1, 0},
        {"distance 1 with length 258", {{'A', -1}, {285, -1}, {0, 0}, {END_OF_BLOCK, -1}}, 0, 259},
        {"distance 29, behind the stream's start", {{'A', -1}, {257, -1}, {29, 0}, {END_OF_BLOCK, -1}}, 0, 4},
    };
    for (const Case& c : cases) {
        BitWriter w;
        put_block_header(w, 1, 1);
        for (auto [symbol, extra] : c.symbols) {
            if (extra < 0) {
                bit_writer::put_fixed_symbol(w, symbol);
            } else {
                bit_writer::put_fixed_distance(w, symbol);
                if (symbol == 29) w.put_bits(static_cast<uint32_t>(extra), 13);  // distance extra bits
            }
        }
        w.put_bits(0, 16);  // more data after the invalid code, so that only the code can fail
        DecodeRun run = decode_both_ways(w.bytes, c.name);
        EXPECT_EQ(run.result, c.result) << c.name;
        EXPECT_EQ(run.output.size(), c.output_size) << c.name;
        if (c.output_size == 259) {
            EXPECT_EQ(run.output, Bytes(259, 'A')) << c.name;
        }
    }
}

// Literal/length code whose first level is 8 bits wide while end of block has a 1-bit code:
// its look-ahead reaches 7 bits past it.
const std::vector<uint32_t> LIT_WIDE = [] {
    std::vector<uint32_t> lengths(257, 0);
    lengths[END_OF_BLOCK] = 1;
    lengths['A'] = 2;
    lengths['B'] = 3;
    for (uint32_t s = 0; s < 32; ++s) lengths[s] = 8;
    return lengths;
}();

// A final dynamic block with LIT_WIDE: literals, then end of block as the last bit of a byte.
BitWriter wide_block_ending_on_byte_boundary(Bytes* output) {
    BitWriter w;
    put_block_header(w, 1, 2);
    put_dynamic_header(w, 0, 0, ops_for(LIT_WIDE) + std::vector<LengthOp>{{0, 0}});
    Code literal(LIT_WIDE);
    literal.put(w, 7);
    output->push_back(7);
    while ((w.bit_length + 1) % 8 != 0) {
        uint32_t symbol = (w.bit_length + 1) % 8 == 1 ? 'B' : 'A';  // 3 or 2 bits
        literal.put(w, symbol);
        output->push_back(static_cast<unsigned char>(symbol));
    }
    literal.put(w, END_OF_BLOCK);
    return w;
}

TEST(BlockDecoder, FinalCodeTakesFillerForItsLookAhead) {
    Bytes expected;
    BitWriter w = wide_block_ending_on_byte_boundary(&expected);
    ASSERT_EQ(w.bit_length % 8, 0u);
    DecodeRun run = decode(w.bytes);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(run.filler, 1u) << "the 8-bit look-ahead of the last 1-bit code";
    Bytes zlib_output;
    EXPECT_TRUE(deflate_oracles::zlib_inflate(w.bytes, &zlib_output));
    EXPECT_EQ(zlib_output, expected);
}

TEST(BlockDecoder, GivesBackWholeBytesAfterTheFinalBlock) {
    std::vector<std::pair<const char*, BitWriter>> streams;
    {
        BitWriter w;
        put_block_header(w, 1, 1);
        bit_writer::put_fixed_symbol(w, 'A');
        bit_writer::put_fixed_symbol(w, END_OF_BLOCK);
        streams.push_back({"fixed block", w});
    }
    {
        Bytes unused;
        streams.push_back({"dynamic block with an 8-bit look-ahead", wide_block_ending_on_byte_boundary(&unused)});
    }
    {
        BitWriter w;
        put_block_header(w, 0, 1);  // a coded block, then a stored one at the next byte boundary
        bit_writer::put_fixed_symbol(w, 'A');
        bit_writer::put_fixed_symbol(w, END_OF_BLOCK);
        put_block_header(w, 1, 0);
        w.align();
        w.put_bits(3, 16);       // LEN
        w.put_bits(~3u, 16);     // NLEN
        w.put_bits('x', 8);
        w.put_bits('y', 8);
        w.put_bits('z', 8);
        streams.push_back({"fixed block, then a stored block", w});
    }
    for (auto& [name, w] : streams) {
        Bytes data = w.bytes;
        // More bytes that belong to the entry: the look-ahead may fetch them, and must give them back.
        Bytes padded = data;
        padded.insert(padded.end(), {0x5A, 0x5A, 0x5A, 0x5A});
        DecodeRun run = decode(padded);
        EXPECT_EQ(run.result, 0) << name;
        EXPECT_EQ(run.input_pos, w.whole_bytes()) << name << ": bytes after the last used bit go back";
        EXPECT_EQ(run.filler, 0u) << name;
    }
}

// The decoder stops once it has taken more filler than a valid stream's look-ahead.
TEST(BlockDecoder, TruncatedOrLatchedStreamsStopAtTheFillerBound) {
    BitWriter fixed_ones;
    put_block_header(fixed_ones, 1, 1);
    fixed_ones.put_bits(0x1F, 5);  // one bits up to the byte's end; 0xFF filler then decodes as literal 255 for ever
    BitWriter stored;
    put_block_header(stored, 1, 0);
    stored.align();
    stored.put_bits(1000, 16);    // LEN
    stored.put_bits(~1000u, 16);  // NLEN
    stored.put_bits('s', 8);      // 999 bytes missing
    Bytes text_stream = deflate_oracles::zlib_compress(text_like(50000, 9), 9);
    struct Case {
        const char* name;
        Bytes data;
        long claimed;     // -1: the data's size; larger: the file ends early and the latch trips
        uint32_t filler;  // filler taken when it fails; 0: any up to the bound (an invalid code may come first)
    } cases[] = {
        {"fixed block that would decode filler for ever", fixed_ones.bytes, -1, MAX_FILLER_BYTES + 1},
        {"stored block cut short", stored.bytes, -1, MAX_FILLER_BYTES + 1},
        // The latch delivers 0x01 bytes, which a fixed block reads as literal 80 for ever.
        {"fixed block, latched", fixed_ones.bytes, 1000, MAX_FILLER_BYTES + 1},
        {"dynamic stream cut in half", Bytes(text_stream.begin(), text_stream.begin() + text_stream.size() / 2), -1, 0},
        {"dynamic stream, latched", Bytes(text_stream.begin(), text_stream.begin() + 100),
         static_cast<long>(text_stream.size()), 0},
    };
    for (const Case& c : cases) {
        decoder_harness::DecodeOptions options;
        options.claimed_size = c.claimed;
        DecodeRun run = decode(c.data, options);
        EXPECT_EQ(run.result, 1) << c.name;
        if (c.filler != 0) {
            EXPECT_EQ(run.filler, c.filler) << c.name << ": stops at the first filler byte past the bound";
        } else {
            EXPECT_LE(run.filler, MAX_FILLER_BYTES + 1) << c.name;
        }
        EXPECT_EQ(run.latched, c.claimed > 0 ? 1 : 0) << c.name;
    }
}

// A stream cut before its last code may have that code completed by the filler (here end of
// block, whose code is a single one bit); the filler bits it used make the stream fail.
TEST(BlockDecoder, FillerUsedAsDataFailsTheStream) {
    for (bool with_end_of_block : {true, false}) {
        BitWriter w;
        put_block_header(w, 1, 2);
        put_dynamic_header(w, 0, 0, ops_for(LIT_A_EOB) + std::vector<LengthOp>{{0, 0}});
        Code literal(LIT_A_EOB);
        literal.put(w, 'A');  // code 0
        literal.put(w, 'A');
        if (with_end_of_block) literal.put(w, END_OF_BLOCK);  // code 1
        DecodeRun run = decode(w.bytes);
        EXPECT_EQ(run.result, with_end_of_block ? 0 : 1) << with_end_of_block;
        EXPECT_EQ(run.output, with_end_of_block ? text("AA") : Bytes{}) << with_end_of_block;
    }
}

// ---- The window ----

// Sizes of the writes that reach the output file, through the host's replaceable write.
struct WriteRecorder {
    std::vector<unsigned long> sizes;
    WriteRecorder() {
        host::file_calls().write = [this](int fd, const void* buffer, unsigned long count) {
            sizes.push_back(count);
            return static_cast<long>(::write(fd, buffer, count));
        };
    }
    ~WriteRecorder() { host::reset(); }
};

BitWriter stored_blocks(const Bytes& data, size_t block_size) {
    BitWriter w;
    for (size_t at = 0; at < data.size() || at == 0; at += block_size) {
        size_t n = std::min(block_size, data.size() - at);
        put_block_header(w, at + n >= data.size() ? 1 : 0, 0);
        w.align();
        w.put_bits(static_cast<uint32_t>(n), 16);        // LEN
        w.put_bits(static_cast<uint32_t>(~n) & 0xFFFF, 16);  // NLEN
        for (size_t i = 0; i < n; ++i) w.put_bits(data[at + i], 8);
        if (data.empty()) break;
    }
    return w;
}

TEST(BlockDecoder, WindowIsWrittenInPiecesOfExactly32768) {
    Bytes random = random_bytes(131070, 21);
    struct Case {
        const char* name;
        Bytes compressed;
        size_t size;
    } cases[] = {
        {"empty stored block (LEN 0)", stored_blocks({}, 65535).bytes, 0},
        {"two stored blocks of 65535", stored_blocks(random, 65535).bytes, 131070},
        {"exactly 32768 bytes", deflate_oracles::zlib_compress(text_like(32768, 5), 6), 32768},
        {"100000 bytes", deflate_oracles::zlib_compress(text_like(100000, 6), 6), 100000},
    };
    for (const Case& c : cases) {
        WriteRecorder writes;
        DecodeRun run = decode(c.compressed);
        ASSERT_EQ(run.result, 0) << c.name;
        std::vector<unsigned long> expected(c.size / 32768, 32768);
        if (c.size % 32768 != 0) expected.push_back(c.size % 32768);
        EXPECT_EQ(writes.sizes, expected) << c.name;
        EXPECT_EQ(run.output.size(), c.size) << c.name;
    }
    EXPECT_EQ(decode(stored_blocks(random, 65535).bytes).output, random);
}

TEST(BlockDecoder, StoredBlockLengthCheck) {
    BitWriter w;
    put_block_header(w, 1, 0);
    w.align();
    w.put_bits(5, 16);       // LEN
    w.put_bits(0xFFFB, 16);  // NLEN: not ~5 (0xFFFA)
    for (int i = 0; i < 5; ++i) w.put_bits('q', 8);
    EXPECT_EQ(decode(w.bytes).result, 1);
}

// Matches whose copies cross the window's end, checked against the bytes they must repeat.
TEST(BlockDecoder, MatchesAcrossTheWindowEnd) {
    Bytes prefix = random_bytes(32700, 22);
    BitWriter w;
    put_block_header(w, 0, 0);  // 32700 stored bytes, so the matches below reach the window's end
    w.align();
    w.put_bits(static_cast<uint32_t>(prefix.size()), 16);
    w.put_bits(static_cast<uint32_t>(~prefix.size()) & 0xFFFF, 16);
    for (unsigned char b : prefix) w.put_bits(b, 8);
    put_block_header(w, 1, 1);
    Bytes expected = prefix;
    // length 258 (285), distance 1000 (symbol 19: base 769, 8 extra bits = 231)
    bit_writer::put_fixed_symbol(w, 285);
    bit_writer::put_fixed_distance(w, 19);
    w.put_bits(231, 8);
    for (int i = 0; i < 258; ++i) expected.push_back(expected[expected.size() - 1000]);
    // length 258, distance 1: repeats the last byte
    bit_writer::put_fixed_symbol(w, 285);
    bit_writer::put_fixed_distance(w, 0);
    for (int i = 0; i < 258; ++i) expected.push_back(expected.back());
    // length 100 (symbol 279: base 99, 4 extra bits = 1), distance 32768 (symbol 29, extra 8191)
    bit_writer::put_fixed_symbol(w, 279);
    w.put_bits(1, 4);
    bit_writer::put_fixed_distance(w, 29);
    w.put_bits(8191, 13);
    for (int i = 0; i < 100; ++i) expected.push_back(expected[expected.size() - 32768]);
    bit_writer::put_fixed_symbol(w, END_OF_BLOCK);
    DecodeRun run = decode_both_ways(w.bytes, "across the window end");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, expected);
}

// Every short distance with many lengths, in the middle of the window and near its end.
TEST(BlockDecoder, MatchesOfShortDistancesRepeatTheirPeriod) {
    for (uint32_t lead : {40u, 32768u - 600u}) {
        Bytes prefix = random_bytes(lead, lead);
        BitWriter w;
        put_block_header(w, 0, 0);  // stored lead-in, to place the matches in the window
        w.align();
        w.put_bits(lead, 16);
        w.put_bits(~lead & 0xFFFF, 16);
        for (unsigned char b : prefix) w.put_bits(b, 8);
        put_block_header(w, 1, 1);
        Bytes expected = prefix;
        std::mt19937 rng(lead);
        for (uint32_t distance = 1; distance <= 20; ++distance) {
            for (uint32_t length : {3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 24u, 31u, 100u, 257u, 258u}) {
                bit_writer::put_fixed_match(w, length, distance);
                for (uint32_t i = 0; i < length; ++i) expected.push_back(expected[expected.size() - distance]);
                uint32_t literal = rng() % 256;  // a fresh byte, so that periods do not blur into each other
                bit_writer::put_fixed_symbol(w, literal);
                expected.push_back(static_cast<unsigned char>(literal));
            }
        }
        bit_writer::put_fixed_symbol(w, END_OF_BLOCK);
        DecodeRun run = decode_both_ways(w.bytes, "lead " + std::to_string(lead));
        EXPECT_EQ(run.result, 0) << lead;
        EXPECT_TRUE(run.output == expected) << lead;
    }
}

// The window is never cleared: a distance past the stream's start reads the previous entry's bytes.
TEST(BlockDecoder, DistanceBeforeTheStreamReadsWhatTheWindowHolds) {
    Bytes first = random_bytes(40000, 23);
    BitWriter w;
    put_block_header(w, 1, 1);
    bit_writer::put_fixed_symbol(w, 257 + 7);  // length 10
    bit_writer::put_fixed_distance(w, 13);      // base 97, 5 extra bits = 3: distance 100
    w.put_bits(3, 5);
    // At position 10, distance 32767 reads window index 11 on: bytes just after the first
    // match, still the first entry's, so that match must not have written past its end.
    bit_writer::put_fixed_match(w, 20, 32767);
    bit_writer::put_fixed_symbol(w, END_OF_BLOCK);
    Bytes padded = w.bytes;  // padding inside the entry lets the fast path decode it
    padded.insert(padded.end(), 64, 0);
    for (const Bytes& stream : {w.bytes, padded}) {
        ASSERT_EQ(decode(deflate_oracles::zlib_compress(first, 1)).result, 0);
        DecodeRun run = decode(stream);
        ASSERT_EQ(run.result, 0);
        // Position 0 minus 100 wraps to window index 32668, which held byte 32668 of the first
        // entry; window index 11 held byte 32768 + 11.
        Bytes expected(first.begin() + 32668, first.begin() + 32678);
        expected.insert(expected.end(), first.begin() + 32768 + 11, first.begin() + 32768 + 31);
        EXPECT_EQ(run.output, expected) << stream.size();
    }
}

TEST(BlockDecoder, FailureDropsTheUnflushedWindow) {
    BitWriter w;
    put_block_header(w, 0, 0);  // a stored block of 10 bytes, not final
    w.align();
    w.put_bits(10, 16);
    w.put_bits(~10u & 0xFFFF, 16);
    for (int i = 0; i < 10; ++i) w.put_bits('0' + i, 8);
    put_block_header(w, 1, 3);  // then a reserved block type
    DecodeRun run = decode(w.bytes);
    EXPECT_EQ(run.result, 2);
    EXPECT_TRUE(run.output.empty()) << "no flush after a failure";
    EXPECT_EQ(run.window_pos, 10u) << "the end of the last finished block";
}

TEST(BlockDecoder, BitCountStaysWithin23BetweenBlocks) {
    for (const Input& input : inputs()) {
        for (const Bytes& compressed : {deflate_oracles::zlib_compress(input.data, 9),
                                        deflate_oracles::zlib_compress(input.data, 1, Z_FIXED),
                                        deflate_oracles::libdeflate_compress(input.data, 12)}) {
            Session session(compressed);
            stream_state.window_pos = 0;
            int is_final = 0, blocks = 0;
            do {
                ASSERT_EQ(decode_block(&is_final), 0) << input.name;
                ASSERT_LE(bit_count, 23u) << input.name << " block " << blocks;
                ASSERT_EQ(bit_buffer >> bit_count, 0u) << input.name << ": no stale bits above bit_count";
                ++blocks;
            } while (!is_final);
        }
    }
}

TEST(BlockDecoder, AllocationFailureInAnyBlockReleasesEverything) {
    Bytes data = text_like(20000, 31);
    for (const Bytes& compressed : {deflate_oracles::zlib_compress(data, 9), deflate_oracles::zlib_compress(data, 6, Z_FIXED)}) {
        long needed = 0;
        {
            counting_allocator::Scope scope;
            ASSERT_EQ(decode(compressed).result, 0);
            needed = counting_allocator::counts().allocations;
            EXPECT_TRUE(counting_allocator::counts().live.empty());
        }
        ASSERT_GT(needed, 0);
        for (long k = 1; k <= needed; ++k) {
            counting_allocator::Scope scope(k);
            EXPECT_EQ(decode(compressed).result, 3) << "failing allocation " << k;
            EXPECT_TRUE(counting_allocator::counts().live.empty()) << "failing allocation " << k;
        }
    }
}

// ---- Damaged and arbitrary input ----

TEST(BlockDecoder, EveryPrefixFailsOrDecodesRight) {
    Bytes data = text_like(3000, 41);
    Bytes mixed = skewed(3000, 42);
    const Bytes streams[] = {deflate_oracles::zlib_compress(data, 9), deflate_oracles::zlib_compress(data, 6, Z_FIXED),
                             deflate_oracles::zlib_compress(random_bytes(600, 43), 0),
                             deflate_oracles::libdeflate_compress(mixed, 12)};
    const Bytes* originals[] = {&data, &data, nullptr, &mixed};
    for (size_t i = 0; i < 4; ++i) {
        Bytes original = originals[i] ? *originals[i] : random_bytes(600, 43);
        for (size_t n = 0; n < streams[i].size(); ++n) {
            DecodeRun run = decode(Bytes(streams[i].begin(), streams[i].begin() + n));
            if (run.result == 0) {
                EXPECT_EQ(run.output, original) << "stream " << i << " prefix " << n;
            }
            EXPECT_LE(run.filler, MAX_FILLER_BYTES + 1) << "stream " << i << " prefix " << n;
        }
    }
}

TEST(BlockDecoder, RandomBytesEndInBoundedTime) {
    std::mt19937 rng(97);
    for (int round = 0; round < 3000; ++round) {
        Bytes junk = random_bytes(1 + rng() % 600, rng());
        if (round % 3 == 0) junk[0] = static_cast<unsigned char>((junk[0] & ~6u) | 2u);  // a fixed block
        if (round % 3 == 1) junk[0] = static_cast<unsigned char>((junk[0] & ~6u) | 4u);  // a dynamic block
        DecodeRun run = decode(junk);
        EXPECT_TRUE(run.result >= 0 && run.result <= 2) << round;
        EXPECT_LE(run.filler, run.result == 0 ? MAX_FILLER_BYTES : MAX_FILLER_BYTES + 1) << round;
    }
}

// Where zlib accepts a damaged stream, the bytes it produces are the ones we must produce.
TEST(BlockDecoder, DamagedStreamsAgreeWithZlibWhereItSucceeds) {
    std::mt19937 rng(5);
    Bytes data = text_like(4000, 51);
    const Bytes streams[] = {deflate_oracles::zlib_compress(data, 9), deflate_oracles::zlib_compress(data, 6, Z_FIXED),
                             deflate_oracles::libdeflate_compress(skewed(4000, 52), 6)};
    int agreed = 0;
    for (const Bytes& stream : streams) {
        for (int round = 0; round < 700; ++round) {
            Bytes damaged = stream;
            for (int flips = 1 + rng() % 2; flips > 0; --flips) damaged[rng() % damaged.size()] ^= 1u << (rng() % 8);
            Bytes zlib_output;
            if (!deflate_oracles::zlib_inflate(damaged, &zlib_output)) continue;
            DecodeRun run = decode(damaged);
            EXPECT_EQ(run.result, 0) << round;
            EXPECT_EQ(run.output, zlib_output) << round;
            ++agreed;
        }
    }
    EXPECT_GT(agreed, 0) << "some damaged streams must still be valid, or this test shows nothing";
}

// ---- Entries of zips written by real tools ----

uint32_t le16(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8; }
uint32_t le32(const Bytes& b, size_t at) { return le16(b, at) | le16(b, at + 2) << 16; }

struct ZipEntry {
    std::string name;
    uint32_t method, crc, compressed_size, size;
    size_t data_offset;
};

// The central directory's records, each with the offset of its data behind the local header.
std::vector<ZipEntry> zip_entries(const Bytes& zip) {
    std::vector<ZipEntry> entries;
    size_t end = zip.size() - 22;
    while (end > 0 && le32(zip, end) != 0x06054b50) --end;
    size_t at = le32(zip, end + 16);
    for (uint32_t i = 0, n = le16(zip, end + 10); i < n && le32(zip, at) == 0x02014b50; ++i) {
        ZipEntry e;
        e.method = le16(zip, at + 10);
        e.crc = le32(zip, at + 16);
        e.compressed_size = le32(zip, at + 20);
        e.size = le32(zip, at + 24);
        uint32_t name_length = le16(zip, at + 28);
        size_t local = le32(zip, at + 42);
        e.name.assign(zip.begin() + at + 46, zip.begin() + at + 46 + name_length);
        e.data_offset = local + 30 + le16(zip, local + 26) + le16(zip, local + 28);
        entries.push_back(e);
        at += 46 + name_length + le16(zip, at + 30) + le16(zip, at + 32);
    }
    return entries;
}

TEST(BlockDecoder, DecodesEntriesOfZipsWrittenByInfoZipAnd7z) {
    struct Tool {
        const char* name;
        const char* command;  // run in the folder; writes out.zip from the files in in/
    } tools[] = {
        {"zip -9", "cd in && zip -q -9 -r ../out.zip ."},
        {"7z -mx=9", "cd in && 7z a -tzip -mx=9 ../out.zip . >/dev/null"},
    };
    std::string dir = decoder_harness::temp_path("tarnvel-zip");
    ::unlink(dir.c_str());
    ASSERT_EQ(std::system(("mkdir -p " + dir + "/in").c_str()), 0);
    std::map<std::string, Bytes> files = {
        {"text.txt", text_like(300000, 61)},  {"random.bin", random_bytes(70000, 62)},
        {"zeros.bin", Bytes(70000, 0)},       {"skewed.bin", skewed(200000, 63)},
        {"program.bin", own_binary(1 << 20)}, {"window.txt", text_like(32768, 64)},
    };
    for (const auto& [name, data] : files) ASSERT_TRUE(decoder_harness::write_file_new(dir + "/in/" + name, data));
    for (const Tool& tool : tools) {
        ::unlink((dir + "/out.zip").c_str());
        if (std::system(("cd " + dir + " && " + tool.command).c_str()) != 0) {
            ADD_FAILURE() << tool.name << " is not available";
            continue;
        }
        Bytes zip = decoder_harness::read_file(dir + "/out.zip");
        std::vector<ZipEntry> entries = zip_entries(zip);
        int deflated = 0;
        for (const ZipEntry& e : entries) {
            if (files.count(e.name) == 0) continue;
            if (e.method != 8) continue;  // stored by the tool: nothing to decode
            ++deflated;
            Bytes data(zip.begin() + e.data_offset, zip.begin() + e.data_offset + e.compressed_size);
            DecodeRun run = decode(data);
            EXPECT_EQ(run.result, 0) << tool.name << " " << e.name;
            EXPECT_EQ(run.output, files[e.name]) << tool.name << " " << e.name;
            EXPECT_EQ(run.crc, e.crc) << tool.name << " " << e.name;
        }
        EXPECT_GE(deflated, 5) << tool.name;
    }
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace
