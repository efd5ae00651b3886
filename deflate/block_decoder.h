// block_decoder.h -- decodes one entry's raw deflate stream (RFC 1951) into the window.
//
// Bytes come in through the stream buffers' input; every full window, and the last partial
// one, leaves through emit_window. Results, the same for every operation here:
// 0 success, 1 invalid data, 2 block type 3 or over-subscribed lengths, 3 out of memory.
#pragma once

#include <cstdint>

#include "deflate/code_tables.h"

constexpr int DECODE_OK = 0;
constexpr int DECODE_INVALID = 1;
constexpr int DECODE_BAD_BLOCK_TYPE = 2;   // shares its number with over-subscribed lengths
constexpr int DECODE_OUT_OF_MEMORY = 3;

// Input bits fetched but not yet consumed (next bit = bit 0) and their number, carried from
// block to block; bit_count is never above 23 between the phases of a block.
extern uint32_t bit_buffer;
extern uint32_t bit_count;

extern const int CODE_LENGTH_ORDER[19];
extern const uint16_t LENGTH_BASE[31];
extern const uint16_t LENGTH_EXTRA[31];
extern const uint16_t DISTANCE_BASE[30];
extern const uint16_t DISTANCE_EXTRA[30];
extern const uint16_t BIT_MASK[17];
constexpr uint32_t LITERAL_LOOKUP_BITS = 9;
constexpr uint32_t DISTANCE_LOOKUP_BITS = 6;

// A valid stream takes at most this many filler bytes past its data: every read is a field
// of exact size or the look-ahead of a code that starts inside the data, and a look-ahead
// spans at most the longest code, so it ends at most 14 bits past the data's last bit.
constexpr uint32_t DEFLATE_MAX_CODE_LENGTH = 15;
constexpr uint32_t MAX_FILLER_BYTES = 2;
static_assert((DEFLATE_MAX_CODE_LENGTH - 1 + 7) / 8 == MAX_FILLER_BYTES, "14 bits need two bytes");

// 0 when the final block has been decoded and the window flushed; otherwise the first
// failure. Expects input_pos, input_size and filler_delivered at 0 (reset_stream_counters),
// remaining_compressed set to the entry's compressed size and the CRC register reset.
// Running out of input ends in bounded time: the third filler byte fails the stream with 1,
// and so does a final block that used filler bits as data rather than only as look-ahead.
int decode_deflate_stream();

// Reads one block header (the final flag goes to *is_final before the type is examined) and
// decodes the block.
int decode_block(int* is_final);

// The bodies of the three block kinds, after their header.
int copy_stored_block();
int decode_fixed_block();
int decode_dynamic_block();

// Decodes literal/length and distance symbols into the window until end of block: 0, or 1
// on an invalid code. The widths are those build_code_table returned.
int decode_symbols(const CodeEntry* literal_table, const CodeEntry* distance_table, uint32_t literal_bits,
                   uint32_t distance_bits);
