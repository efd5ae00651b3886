// block_decoder.cpp -- the stream driver, the three block kinds and the symbol decoder.
//
// Bit reader, used by every phase:
//   - bit_buffer holds bit_count valid bits, the next bit of the stream at bit 0, and zeros
//     above them; a phase copies both into locals, and writes them back when it finishes
//     normally (a failure writes nothing back).
//   - need_bits(n), n <= 16, fetches whole bytes while fewer than n bits are held, so at
//     most 15 + 8 = 23 bits are ever held and a 32-bit buffer never overflows.
//   - a byte is fetched exactly as next_input_byte does; only the refill branch, taken once
//     per 32768 bytes or once per filler byte, also checks the bound on filler bytes
//     (0xFF past the entry's data, 0x01 under the latch): a third one fails the stream,
//     since a valid stream's look-ahead takes at most two. After the final block, filler
//     bits that were used rather than only looked at fail it too.
// Window: the local position is stored into window_pos before every emit_window and when a
// phase ends; it restarts at 0 after each flush at 32768.
#include "deflate/block_decoder.h"

#include <bit>
#include <cstring>

#include "stream/stream_buffers.h"

uint32_t bit_buffer;
uint32_t bit_count;

const int CODE_LENGTH_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
const uint16_t LENGTH_BASE[31] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27, 31,
                                  35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0,  0};
// 99 makes symbols 286 and 287 decode as invalid codes.
const uint16_t LENGTH_EXTRA[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
                                   3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
const uint16_t DISTANCE_BASE[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint16_t DISTANCE_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const uint16_t BIT_MASK[17] = {0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F, 0x003F, 0x007F, 0x00FF,
                               0x01FF, 0x03FF, 0x07FF, 0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF};

namespace {

constexpr uint32_t CODE_LENGTH_SYMBOLS = 19;
constexpr uint32_t MAX_LITERAL_CODES = 286;
constexpr uint32_t MAX_DISTANCE_CODES = 30;
constexpr uint32_t FIXED_LITERAL_BITS = 7;
constexpr uint32_t FIXED_DISTANCE_BITS = 5;
constexpr uint32_t CODE_LENGTH_BITS = 7;

// An empty distance code decodes through this one invalid slot (width 0), so a length
// symbol in a block without distances fails like any invalid code and no lookup ever
// goes through a missing table.
const CodeEntry NO_DISTANCE_CODE[1] = {{OP_INVALID, 0, {0}}};

// filler_delivered counts from the reset_stream_counters that precedes every entry, so it
// is this stream's filler only.
inline bool too_much_filler() { return stream_state.filler_delivered > MAX_FILLER_BYTES; }

// need_bits on locals; false once the stream has taken more filler than a valid one can.
inline bool need_bits(uint32_t& buffer, uint32_t& count, uint32_t n) {
    while (count < n) {
        StreamState& s = stream_state;
        uint32_t byte;
        if (s.input_pos < s.input_size) {
            byte = s.input_buffer[s.input_pos++];
        } else {
            byte = static_cast<uint32_t>(refill_input()) & 0xFFu;
            if (too_much_filler()) return false;
        }
        buffer |= byte << count;
        count += 8;
    }
    return true;
}

inline void drop_bits(uint32_t& buffer, uint32_t& count, uint32_t n) {
    buffer >>= n;
    count -= n;
}

// One code through its tables, its bits dropped: the slot reached, or null for an invalid
// code at any level or a stream that has run out of input.
inline const CodeEntry* decode_one(const CodeEntry* table, uint32_t width, uint32_t& buffer, uint32_t& count) {
    if (!need_bits(buffer, count, width)) return nullptr;
    const CodeEntry* slot = &table[buffer & BIT_MASK[width]];
    while (slot->op > OP_LITERAL) {
        if (slot->op == OP_INVALID) return nullptr;
        drop_bits(buffer, count, slot->bits);
        width = slot->op - 16u;
        if (!need_bits(buffer, count, width)) return nullptr;
        slot = &slot->next_table[buffer & BIT_MASK[width]];
    }
    drop_bits(buffer, count, slot->bits);
    return slot;
}

// Hands the full window to emit_window; the caller goes on at position 0.
inline uint32_t flush_window() {
    stream_state.window_pos = WINDOW_SIZE;
    emit_window();
    return 0;
}

// Copies a match in pieces that never cross the window's end on either side, flushing when
// the window fills; returns the new position.
uint32_t copy_match(unsigned char* window, uint32_t pos, uint32_t source, uint32_t length) {
    while (length != 0) {
        source &= WINDOW_SIZE - 1;
        uint32_t piece = WINDOW_SIZE - (source > pos ? source : pos);
        if (piece > length) piece = length;
        if (pos - source >= piece) {
            memmove(window + pos, window + source, piece);
        } else {
            for (uint32_t i = 0; i < piece; ++i) window[pos + i] = window[source + i];
        }
        source += piece;
        pos += piece;
        length -= piece;
        if (pos == WINDOW_SIZE) pos = flush_window();
    }
    return pos;
}

// ---- Fast path ----
//
// While the input buffer holds at least FAST_INPUT_MARGIN unread bytes and the window has
// room for a longest match, symbols are decoded from a machine-word bit buffer filled
// straight from input_buffer, several bytes at a time, instead of byte by byte:
//   - refill: OR in the next word at `in` shifted by n, advance `in` by the whole bytes that
//     fit, and n becomes n | (word bits - 8): at least FAST_REFILL_BITS bits are then held.
//     Bits above n are the stream's next bits or zeros, so ORing the same bytes again at the
//     next refill leaves them right.
//   - a 64-bit word holds a whole literal/length code with its extra bits and a distance code
//     with its extra bits after one refill; a 32-bit word (the i686 stub) refills before
//     the distance code and before its extra bits.
//   - it never reads past input_size and never takes a filler byte, and it never reaches the
//     window's end, so it needs no flush.
//   - on leaving, whole unused bytes go back to input_pos and fewer than 8 bits remain, so the
//     byte-wise readers go on exactly where the stream is.
// The machine word; TARNVEL_DEFLATE_WORD32 forces the i686 stub's 32-bit variant on a 64-bit
// host, so that the tests can run it.
#ifdef TARNVEL_DEFLATE_WORD32
using FastBits = uint32_t;
#else
using FastBits = size_t;
#endif
constexpr uint32_t FAST_WORD_BITS = 8 * sizeof(FastBits);
constexpr uint32_t FAST_REFILL_BITS = FAST_WORD_BITS - 8;
constexpr uint32_t LENGTH_CODE_BITS = DEFLATE_MAX_CODE_LENGTH + 5;    // code + length extra bits
constexpr uint32_t DISTANCE_CODE_BITS = DEFLATE_MAX_CODE_LENGTH + 13; // code + distance extra bits
constexpr bool ONE_REFILL_PER_SYMBOL = FAST_REFILL_BITS >= LENGTH_CODE_BITS + DISTANCE_CODE_BITS;
// With a 64-bit word up to three literals are decoded per refill: 56 >= 3 * 15.
constexpr bool THREE_LITERALS_PER_REFILL = FAST_REFILL_BITS >= 3 * DEFLATE_MAX_CODE_LENGTH;
static_assert(FAST_REFILL_BITS >= LENGTH_CODE_BITS, "a literal/length code and its extra bits after one refill");
static_assert(FAST_REFILL_BITS >= DEFLATE_MAX_CODE_LENGTH && FAST_REFILL_BITS >= 13,
              "the 32-bit path's separate refills each cover one field");
// Each refill reads one word and advances at most word - 1 bytes: one refill per round with
// 64 bits (8 bytes), three with 32 bits (2 * 3 + 4 = 10 bytes).
constexpr uint32_t FAST_REFILLS_PER_ROUND = ONE_REFILL_PER_SYMBOL ? 1 : 3;
constexpr uint32_t FAST_INPUT_MARGIN = 16;
static_assert(FAST_INPUT_MARGIN >= (FAST_REFILLS_PER_ROUND - 1) * (sizeof(FastBits) - 1) + sizeof(FastBits),
              "every refill of a round stays inside the buffered input");
constexpr uint32_t MAX_MATCH_LENGTH = 258;
// Up to three literals or one match per round. A round that starts at the limit ends before
// the window's last byte, so the byte-wise readers never take over a full window (they flush
// only when a byte they place fills it).
constexpr uint32_t FAST_WINDOW_LIMIT = WINDOW_SIZE - MAX_MATCH_LENGTH - 1;
static_assert(FAST_WINDOW_LIMIT + MAX_MATCH_LENGTH < WINDOW_SIZE, "a fast round never fills the window");
static_assert(std::endian::native == std::endian::little, "words are loaded as stream bytes in order");

enum FastExit { FAST_LIMIT, FAST_END_OF_BLOCK, FAST_INVALID };

inline FastBits load_word(const unsigned char* p) {
    FastBits word;
    memcpy(&word, p, sizeof word);
    return word;
}

inline void copy_word8(unsigned char* dst, const unsigned char* src) {
    uint64_t word;
    memcpy(&word, src, 8);
    memcpy(dst, &word, 8);
}

inline void copy_word4(unsigned char* dst, const unsigned char* src) {
    uint32_t word;
    memcpy(&word, src, 4);
    memcpy(dst, &word, 4);
}

// A match (length 3 to 258) whose source lies at least a word from its destination: whole
// words, the last one overlapping the one before instead of running past the match.
inline void copy_apart(unsigned char* dst, const unsigned char* src, uint32_t length) {
    if (length >= 8) {
        uint32_t done = 0;
        do {
            copy_word8(dst + done, src + done);
            done += 8;
        } while (done + 8 < length);
        copy_word8(dst + length - 8, src + length - 8);
    } else if (length >= 4) {
        copy_word4(dst, src);
        copy_word4(dst + length - 4, src + length - 4);
    } else {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
    }
}

// A match that ends inside the window (pos + length <= WINDOW_SIZE), byte for byte the same
// as copy_match. Words are copied only when source and destination are at least a word
// apart, so every word reads bytes that are already final; a match's last word overlaps the
// one before it instead of running past the match, because the bytes after the match are
// history that later matches (distances above 32760) may still read.
inline uint32_t copy_match_fast(unsigned char* window, uint32_t pos, uint32_t distance, uint32_t length) {
    // The common case first: a source behind the destination, at least a word back, not
    // wrapping around the window's start.
    if (distance <= pos && distance >= 8) {
        unsigned char* dst = window + pos;
        const unsigned char* src = dst - distance;
        copy_apart(dst, src, length);
        return pos + length;
    }
    uint32_t source = (pos - distance) & (WINDOW_SIZE - 1);
    if (source + length > WINDOW_SIZE) return copy_match(window, pos, source, length);
    unsigned char* dst = window + pos;
    const unsigned char* src = window + source;
    const uint32_t apart = pos - source < source - pos ? pos - source : source - pos;
    if (apart >= 8) {
        copy_apart(dst, src, length);
    } else if (pos - source == 1) {
        memset(dst, *src, length);
    } else if (pos > source && length >= 16) {
        // A short period d repeats: lay down the first multiple of d that is at least a word
        // (at most 14 bytes) byte by byte, then copy words from that far back.
        uint32_t period = pos - source;
        uint32_t stride = period * ((8 + period - 1) / period);
        uint32_t done = 0;
        for (; done < stride; ++done) dst[done] = src[done];
        for (; done + 8 <= length; done += 8) copy_word8(dst + done, dst + done - stride);
        for (; done < length; ++done) dst[done] = src[done];
    } else {
        for (uint32_t i = 0; i < length; ++i) dst[i] = src[i];
    }
    return pos + length;
}

// Entry: input_pos + FAST_INPUT_MARGIN <= input_size, pos <= FAST_WINDOW_LIMIT, count <= 23.
// Leaves at a limit, at end of block, or on an invalid code (nothing written back then).
inline FastExit decode_fast(const CodeEntry* literal_table, const CodeEntry* distance_table, uint32_t literal_mask,
                            uint32_t distance_mask, uint32_t& buffer, uint32_t& count, uint32_t& pos) {
    StreamState& s = stream_state;
    unsigned char* const window = s.window;
    const unsigned char* in = s.input_buffer + s.input_pos;
    const unsigned char* const in_limit = s.input_buffer + s.input_size - FAST_INPUT_MARGIN;
    FastBits bits = buffer;
    uint32_t n = count;
    uint32_t out = pos;
    FastExit exit = FAST_LIMIT;
    auto refill = [&] {
        bits |= load_word(in) << n;
        in += (FAST_WORD_BITS - 1 - n) >> 3;
        n |= FAST_REFILL_BITS;
    };
    auto drop = [&](uint32_t k) {
        bits >>= k;
        n -= k;
    };
    while (in <= in_limit && out <= FAST_WINDOW_LIMIT) {
        refill();
        const CodeEntry* slot = &literal_table[bits & literal_mask];
        if (slot->op == OP_LITERAL) {
            drop(slot->bits);
            window[out++] = static_cast<unsigned char>(slot->value);
            if (!THREE_LITERALS_PER_REFILL) continue;
            slot = &literal_table[bits & literal_mask];
            if (slot->op != OP_LITERAL) continue;
            drop(slot->bits);
            window[out++] = static_cast<unsigned char>(slot->value);
            slot = &literal_table[bits & literal_mask];
            if (slot->op != OP_LITERAL) continue;
            drop(slot->bits);
            window[out++] = static_cast<unsigned char>(slot->value);
            continue;
        }
        while (slot->op > OP_LITERAL) {
            if (slot->op == OP_INVALID) return FAST_INVALID;
            drop(slot->bits);
            slot = &slot->next_table[bits & BIT_MASK[slot->op - 16u]];
        }
        drop(slot->bits);
        if (slot->op == OP_LITERAL) {
            window[out++] = static_cast<unsigned char>(slot->value);
            continue;
        }
        if (slot->op == OP_END_OF_BLOCK) {
            exit = FAST_END_OF_BLOCK;
            break;
        }
        uint32_t length = slot->value + static_cast<uint32_t>(bits & BIT_MASK[slot->op]);
        drop(slot->op);

        if (!ONE_REFILL_PER_SYMBOL) refill();
        slot = &distance_table[bits & distance_mask];
        while (slot->op > OP_LITERAL) {
            if (slot->op == OP_INVALID) return FAST_INVALID;
            drop(slot->bits);
            slot = &slot->next_table[bits & BIT_MASK[slot->op - 16u]];
        }
        drop(slot->bits);
        if (!ONE_REFILL_PER_SYMBOL) refill();
        uint32_t distance = slot->value + static_cast<uint32_t>(bits & BIT_MASK[slot->op]);
        drop(slot->op);
        out = copy_match_fast(window, out, distance, length);
    }
    in -= n >> 3;
    n &= 7;
    buffer = static_cast<uint32_t>(bits) & BIT_MASK[n];
    count = n;
    pos = out;
    s.input_pos = static_cast<uint32_t>(in - s.input_buffer);
    return exit;
}

}  // namespace

int decode_deflate_stream() {
    stream_state.window_pos = 0;
    bit_buffer = 0;
    bit_count = 0;
    int is_final = 0;
    do {
        int result = decode_block(&is_final);
        if (result != DECODE_OK) return result;
    } while (!is_final);
    // Filler may only have served as look-ahead: a stream that used filler bits as data was
    // cut short, however well those bits happened to decode.
    if (stream_state.filler_delivered * 8 > bit_count) return DECODE_INVALID;
    // Whole bytes fetched past the last used bit go back to the input.
    while (bit_count >= 8) {
        bit_count -= 8;
        --stream_state.input_pos;
    }
    emit_window();
    return DECODE_OK;
}

int decode_block(int* is_final) {
    uint32_t buffer = bit_buffer;
    uint32_t count = bit_count;
    if (!need_bits(buffer, count, 1)) return DECODE_INVALID;
    *is_final = static_cast<int>(buffer & 1);
    drop_bits(buffer, count, 1);
    if (!need_bits(buffer, count, 2)) return DECODE_INVALID;
    uint32_t type = buffer & 3;
    drop_bits(buffer, count, 2);
    bit_buffer = buffer;
    bit_count = count;
    switch (type) {
        case 0: return copy_stored_block();
        case 1: return decode_fixed_block();
        case 2: return decode_dynamic_block();
        default: return DECODE_BAD_BLOCK_TYPE;
    }
}

int copy_stored_block() {
    StreamState& s = stream_state;
    uint32_t buffer = bit_buffer;
    uint32_t count = bit_count;
    drop_bits(buffer, count, count & 7);
    if (!need_bits(buffer, count, 16)) return DECODE_INVALID;
    uint32_t length = buffer & 0xFFFF;
    drop_bits(buffer, count, 16);
    if (!need_bits(buffer, count, 16)) return DECODE_INVALID;
    if (((buffer & 0xFFFF) ^ 0xFFFF) != length) return DECODE_INVALID;
    drop_bits(buffer, count, 16);

    uint32_t pos = s.window_pos;
    while (length != 0) {
        // Once the bit buffer is empty, bytes still in the input buffer are copied as a block:
        // the same bytes need_bits would take one at a time.
        if (count == 0 && s.input_pos < s.input_size) {
            uint32_t piece = s.input_size - s.input_pos;
            if (piece > length) piece = length;
            if (piece > WINDOW_SIZE - pos) piece = WINDOW_SIZE - pos;
            memcpy(s.window + pos, s.input_buffer + s.input_pos, piece);
            s.input_pos += piece;
            pos += piece;
            length -= piece;
            if (pos == WINDOW_SIZE) pos = flush_window();
            continue;
        }
        if (!need_bits(buffer, count, 8)) return DECODE_INVALID;
        s.window[pos++] = static_cast<unsigned char>(buffer);
        if (pos == WINDOW_SIZE) pos = flush_window();
        drop_bits(buffer, count, 8);
        --length;
    }
    bit_buffer = buffer;
    bit_count = count;
    s.window_pos = pos;
    return DECODE_OK;
}

int decode_fixed_block() {
    uint32_t lengths[288];
    for (uint32_t symbol = 0; symbol < 288; ++symbol) {
        lengths[symbol] = symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
    }
    CodeEntry* literal_table = nullptr;
    uint32_t literal_bits = FIXED_LITERAL_BITS;
    int result = build_code_table(lengths, 288, 257, LENGTH_BASE, LENGTH_EXTRA, &literal_table, &literal_bits);
    if (result != TABLE_COMPLETE) return result;

    for (uint32_t symbol = 0; symbol < 30; ++symbol) lengths[symbol] = 5;
    CodeEntry* distance_table = nullptr;
    uint32_t distance_bits = FIXED_DISTANCE_BITS;
    // 30 of the 32 five-bit codes: incomplete by design, the two unused ones are invalid.
    result = build_code_table(lengths, 30, 0, DISTANCE_BASE, DISTANCE_EXTRA, &distance_table, &distance_bits);
    if (result != TABLE_COMPLETE && result != TABLE_INCOMPLETE) {
        free_code_table(literal_table);
        return result;
    }
    result = decode_symbols(literal_table, distance_table, literal_bits, distance_bits);
    free_code_table(literal_table);
    free_code_table(distance_table);
    return result != DECODE_OK ? DECODE_INVALID : DECODE_OK;
}

int decode_dynamic_block() {
    uint32_t buffer = bit_buffer;
    uint32_t count = bit_count;
    if (!need_bits(buffer, count, 5)) return DECODE_INVALID;
    uint32_t literal_count = 257 + (buffer & 0x1F);
    drop_bits(buffer, count, 5);
    if (!need_bits(buffer, count, 5)) return DECODE_INVALID;
    uint32_t distance_count = 1 + (buffer & 0x1F);
    drop_bits(buffer, count, 5);
    if (!need_bits(buffer, count, 4)) return DECODE_INVALID;
    uint32_t code_length_count = 4 + (buffer & 0xF);
    drop_bits(buffer, count, 4);
    if (literal_count > MAX_LITERAL_CODES || distance_count > MAX_DISTANCE_CODES) return DECODE_INVALID;

    uint32_t lengths[MAX_LITERAL_CODES + MAX_DISTANCE_CODES] = {};
    for (uint32_t i = 0; i < code_length_count; ++i) {
        if (!need_bits(buffer, count, 3)) return DECODE_INVALID;
        lengths[CODE_LENGTH_ORDER[i]] = buffer & 7;
        drop_bits(buffer, count, 3);
    }
    CodeEntry* length_table = nullptr;
    uint32_t length_bits = CODE_LENGTH_BITS;
    int result = build_code_table(lengths, CODE_LENGTH_SYMBOLS, CODE_LENGTH_SYMBOLS, nullptr, nullptr, &length_table,
                                  &length_bits);
    if (result == TABLE_INCOMPLETE) {
        free_code_table(length_table);
        return DECODE_INVALID;
    }
    if (result != TABLE_COMPLETE) return result;
    // No code-length code at all: there is nothing to decode the lengths with.
    if (length_table == nullptr) return DECODE_INVALID;

    // The code-length code is at most 7 bits long, so its table is one level.
    const uint32_t total = literal_count + distance_count;
    uint32_t filled = 0;
    uint32_t previous = 0;
    while (filled < total) {
        if (!need_bits(buffer, count, length_bits)) {
            free_code_table(length_table);
            return DECODE_INVALID;
        }
        const CodeEntry& slot = length_table[buffer & BIT_MASK[length_bits]];
        drop_bits(buffer, count, slot.bits);
        uint32_t symbol = slot.value;
        if (symbol < 16) {
            lengths[filled++] = symbol;
            previous = symbol;
            continue;
        }
        // Repeat symbols: 16 repeats the previous length, 17 and 18 write zeros.
        uint32_t field_bits = symbol == 16 ? 2 : symbol == 17 ? 3 : 7;
        uint32_t run_base = symbol == 18 ? 11 : 3;
        if (!need_bits(buffer, count, field_bits)) {
            free_code_table(length_table);
            return DECODE_INVALID;
        }
        uint32_t run = run_base + (buffer & BIT_MASK[field_bits]);
        drop_bits(buffer, count, field_bits);
        if (symbol != 16) previous = 0;
        if (run > total - filled) {
            free_code_table(length_table);
            return DECODE_INVALID;
        }
        for (; run != 0; --run) lengths[filled++] = previous;
    }
    free_code_table(length_table);
    bit_buffer = buffer;
    bit_count = count;

    CodeEntry* literal_table = nullptr;
    uint32_t literal_bits = LITERAL_LOOKUP_BITS;
    result = build_code_table(lengths, literal_count, 257, LENGTH_BASE, LENGTH_EXTRA, &literal_table, &literal_bits);
    if (result == TABLE_INCOMPLETE) {
        free_code_table(literal_table);
        return DECODE_INVALID;
    }
    if (result != TABLE_COMPLETE) return result;
    // Without a literal/length code not even the end of the block can be read.
    if (literal_table == nullptr) return DECODE_INVALID;

    CodeEntry* distance_table = nullptr;
    uint32_t distance_bits = DISTANCE_LOOKUP_BITS;
    result = build_code_table(lengths + literal_count, distance_count, 0, DISTANCE_BASE, DISTANCE_EXTRA,
                              &distance_table, &distance_bits);
    if (result == TABLE_INCOMPLETE) {
        free_code_table(distance_table);
        free_code_table(literal_table);
        return DECODE_INVALID;
    }
    if (result != TABLE_COMPLETE) {
        free_code_table(literal_table);
        return result;
    }
    result = decode_symbols(literal_table, distance_table, literal_bits, distance_bits);
    free_code_table(literal_table);
    free_code_table(distance_table);
    return result != DECODE_OK ? DECODE_INVALID : DECODE_OK;
}

int decode_symbols(const CodeEntry* literal_table, const CodeEntry* distance_table, uint32_t literal_bits,
                   uint32_t distance_bits) {
    if (literal_table == nullptr) return DECODE_INVALID;
    if (distance_table == nullptr) {
        distance_table = NO_DISTANCE_CODE;
        distance_bits = 0;
    }
    StreamState& s = stream_state;
    unsigned char* const window = s.window;
    uint32_t buffer = bit_buffer;
    uint32_t count = bit_count;
    uint32_t pos = s.window_pos;
    for (;;) {
        if (s.input_pos + FAST_INPUT_MARGIN <= s.input_size && pos <= FAST_WINDOW_LIMIT) {
            FastExit exit = decode_fast(literal_table, distance_table, BIT_MASK[literal_bits], BIT_MASK[distance_bits],
                                        buffer, count, pos);
            if (exit == FAST_INVALID) return DECODE_INVALID;
            if (exit == FAST_END_OF_BLOCK) break;
        }

        // One symbol at a time near the end of the input buffer or of the window.
        const CodeEntry* slot = decode_one(literal_table, literal_bits, buffer, count);
        if (slot == nullptr) return DECODE_INVALID;
        if (slot->op == OP_LITERAL) {
            window[pos++] = static_cast<unsigned char>(slot->value);
            if (pos == WINDOW_SIZE) pos = flush_window();
            continue;
        }
        if (slot->op == OP_END_OF_BLOCK) break;

        uint32_t extra = slot->op;
        if (!need_bits(buffer, count, extra)) return DECODE_INVALID;
        uint32_t length = slot->value + (buffer & BIT_MASK[extra]);
        drop_bits(buffer, count, extra);

        slot = decode_one(distance_table, distance_bits, buffer, count);
        if (slot == nullptr) return DECODE_INVALID;
        extra = slot->op;
        if (!need_bits(buffer, count, extra)) return DECODE_INVALID;
        uint32_t source = pos - slot->value - (buffer & BIT_MASK[extra]);
        drop_bits(buffer, count, extra);
        pos = copy_match(window, pos, source, length);
    }
    bit_buffer = buffer;
    bit_count = count;
    s.window_pos = pos;
    return DECODE_OK;
}
