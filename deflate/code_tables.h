// code_tables.h -- multi-level lookup tables built from the code lengths of one prefix code.
//
// A first-level table of 2^width slots is indexed by the next width input bits (first bit
// read = bit 0 of the index); longer codes continue through link slots into deeper tables.
// Every table is one block of 2^width + 1 slots whose first, hidden slot links to the next
// block of the same code, so releasing the first-level table releases the whole code.
#pragma once

#include <cstddef>
#include <cstdint>

// One slot: what the next `bits` input bits mean at this level.
//   op 0..13            a length or distance base in `value`; op extra bits follow the code
//   op OP_END_OF_BLOCK  literal/length symbol 256
//   op OP_LITERAL       a literal byte (or any code-length symbol) in `value`
//   op 17..32           a link: `next_table` has 2^(op - 16) slots, indexed after `bits` are dropped
//   op OP_INVALID       an unused code of an incomplete code, or a symbol that may not occur
struct CodeEntry {
    uint8_t op;
    uint8_t bits;
    union {
        uint16_t value;
        CodeEntry* next_table;
    };
};

constexpr uint8_t OP_END_OF_BLOCK = 15;
constexpr uint8_t OP_LITERAL = 16;
constexpr uint8_t OP_INVALID = 99;

constexpr uint32_t MAX_CODE_LENGTH = 16;
constexpr uint32_t MAX_CODE_SYMBOLS = 288;

// Results of build_code_table (the decoder passes 2 and 3 on unchanged).
constexpr int TABLE_COMPLETE = 0;          // also: no code at all, or one code of length 1
constexpr int TABLE_INCOMPLETE = 1;        // tables built; unused codes hold OP_INVALID
constexpr int TABLE_OVERSUBSCRIBED = 2;    // nothing allocated
constexpr int TABLE_OUT_OF_MEMORY = 3;     // everything allocated by the call released

// The only memory the decoder allocates goes through this pair; tests replace it to count
// blocks and to fail the k-th allocation.
struct CodeTableAllocator {
    void* (*allocate)(size_t size);
    void (*release)(void* block);
};
extern CodeTableAllocator code_table_allocator;

// Builds the tables for symbols 0 .. count-1 with the given lengths (0 = no code, at most
// 16). A symbol below simple_count decodes as itself (OP_LITERAL below 256, else
// OP_END_OF_BLOCK); a symbol s at or above it takes bases[s - simple_count] as value and
// the low 8 bits of extra_bits[s - simple_count] as op. *lookup_bits: in, the wanted
// first-level width; out, the width used (raised to the shortest length, then lowered to
// the longest). *table_out: the first-level table, null when no symbol has a code.
int build_code_table(const uint32_t* lengths, uint32_t count, uint32_t simple_count, const uint16_t* bases,
                     const uint16_t* extra_bits, CodeEntry** table_out, uint32_t* lookup_bits);

// Releases every table of the chain that starts at a first-level table; null is allowed.
void free_code_table(CodeEntry* table);
