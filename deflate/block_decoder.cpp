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

// Hands the full window to emit_window; the caller goes on at position 0.
inline uint32_t flush_window() {
    stream_state.window_pos = WINDOW_SIZE;
    emit_window();
    return 0;
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
    for (; length != 0; --length) {
        if (!need_bits(buffer, count, 8)) return DECODE_INVALID;
        s.window[pos++] = static_cast<unsigned char>(buffer);
        if (pos == WINDOW_SIZE) pos = flush_window();
        drop_bits(buffer, count, 8);
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
        if (!need_bits(buffer, count, literal_bits)) return DECODE_INVALID;
        const CodeEntry* slot = &literal_table[buffer & BIT_MASK[literal_bits]];
        while (slot->op > OP_LITERAL) {
            if (slot->op == OP_INVALID) return DECODE_INVALID;
            drop_bits(buffer, count, slot->bits);
            uint32_t width = slot->op - 16u;
            if (!need_bits(buffer, count, width)) return DECODE_INVALID;
            slot = &slot->next_table[buffer & BIT_MASK[width]];
        }
        drop_bits(buffer, count, slot->bits);
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

        if (!need_bits(buffer, count, distance_bits)) return DECODE_INVALID;
        slot = &distance_table[buffer & BIT_MASK[distance_bits]];
        while (slot->op > OP_LITERAL) {
            if (slot->op == OP_INVALID) return DECODE_INVALID;
            drop_bits(buffer, count, slot->bits);
            uint32_t width = slot->op - 16u;
            if (!need_bits(buffer, count, width)) return DECODE_INVALID;
            slot = &slot->next_table[buffer & BIT_MASK[width]];
        }
        drop_bits(buffer, count, slot->bits);
        extra = slot->op;
        if (!need_bits(buffer, count, extra)) return DECODE_INVALID;
        uint32_t source = pos - slot->value - (buffer & BIT_MASK[extra]);
        drop_bits(buffer, count, extra);

        // Pieces never cross the window's end on either side.
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
    }
    bit_buffer = buffer;
    bit_count = count;
    s.window_pos = pos;
    return DECODE_OK;
}
