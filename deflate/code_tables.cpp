// code_tables.cpp -- builds and releases the multi-level decoding tables of one prefix code.
//
// The builder walks the codes in canonical order (RFC 1951, 3.2.2), keeping each code with
// its first-read bit as bit 0 so that it can index a table directly. Levels are opened on a
// stack as longer codes leave the innermost table and closed when a code's prefix changes.
// Unused code space is filled with dummy codes of the longest length so that every slot of
// every table is written; their slots carry OP_INVALID.
//
// The level scheme relies on one condition: a code that opens a level below the first ends
// at most lookup bits after that level's start. A complete code meets it when it has at
// most 2^lookup symbols or no length above 2 * lookup, which covers every caller.
#include "deflate/code_tables.h"

#include <cstdlib>

CodeTableAllocator code_table_allocator = {malloc, free};

namespace {

// Opens one table of 2^width slots behind its hidden header and appends it to the chain.
CodeEntry* allocate_table(uint32_t width, CodeEntry** chain_tail) {
    void* block = code_table_allocator.allocate((size_t{1} << width) * sizeof(CodeEntry) + sizeof(CodeEntry));
    if (block == nullptr) return nullptr;
    CodeEntry* header = static_cast<CodeEntry*>(block);
    header->next_table = nullptr;
    CodeEntry* table = header + 1;
    if (*chain_tail != nullptr) (*chain_tail - 1)->next_table = table;
    *chain_tail = table;
    return table;
}

}  // namespace

int build_code_table(const uint32_t* lengths, uint32_t count, uint32_t simple_count, const uint16_t* bases,
                     const uint16_t* extra_bits, CodeEntry** table_out, uint32_t* lookup_bits) {
    uint32_t length_count[MAX_CODE_LENGTH + 1] = {};
    for (uint32_t symbol = 0; symbol < count; ++symbol) ++length_count[lengths[symbol]];

    if (length_count[0] == count) {
        *table_out = nullptr;
        *lookup_bits = 0;
        return TABLE_COMPLETE;
    }

    uint32_t min_length = 1;
    while (length_count[min_length] == 0) ++min_length;
    uint32_t max_length = MAX_CODE_LENGTH;
    while (length_count[max_length] == 0) --max_length;

    uint32_t lookup = *lookup_bits;
    if (lookup < min_length) lookup = min_length;
    if (lookup > max_length) lookup = max_length;
    *lookup_bits = lookup;

    // Code space left after each length; 2^16 at most, so 32 signed bits hold it.
    int32_t space = int32_t{1} << min_length;
    for (uint32_t length = min_length; length < max_length; ++length) {
        space -= static_cast<int32_t>(length_count[length]);
        if (space < 0) return TABLE_OVERSUBSCRIBED;
        space *= 2;
    }
    space -= static_cast<int32_t>(length_count[max_length]);
    if (space < 0) return TABLE_OVERSUBSCRIBED;
    const uint32_t dummy_codes = static_cast<uint32_t>(space);

    // Canonical order: by length, then by symbol number.
    uint16_t sorted[MAX_CODE_SYMBOLS];
    uint32_t next_index[MAX_CODE_LENGTH + 1];
    uint32_t listed = 0;
    for (uint32_t length = 1; length <= MAX_CODE_LENGTH; ++length) {
        next_index[length] = listed;
        listed += length_count[length];
    }
    for (uint32_t symbol = 0; symbol < count; ++symbol) {
        if (lengths[symbol] != 0) sorted[next_index[lengths[symbol]]++] = static_cast<uint16_t>(symbol);
    }
    length_count[max_length] += dummy_codes;

    CodeEntry* tables[MAX_CODE_LENGTH + 1];    // the open levels, level 0 first
    uint32_t prefixes[MAX_CODE_LENGTH + 1];    // low `start` bits of the code when each level opened
    uint32_t sizes[MAX_CODE_LENGTH + 1];       // slots of each open level
    int level = -1;
    uint32_t start = 0;                        // bits consumed before the innermost level
    CodeEntry* chain_tail = nullptr;
    *table_out = nullptr;

    uint32_t code = 0;
    uint32_t taken = 0;
    // A dummy code keeps the value of the code slot made before it (never a link's pointer).
    CodeEntry slot = {};
    for (uint32_t length = min_length; length <= max_length; ++length) {
        for (uint32_t unplaced = length_count[length]; unplaced != 0; --unplaced) {
            while (level < 0 || length > start + lookup) {
                uint32_t level_start = level < 0 ? 0 : start + lookup;
                uint32_t limit = max_length - level_start < lookup ? max_length - level_start : lookup;
                uint32_t width = length - level_start;
                uint32_t spare = (uint32_t{1} << width) - unplaced;
                // Widen while the codes that follow would fill the wider table's slots.
                if ((uint32_t{1} << width) > unplaced && width < limit) {
                    while (++width < limit) {
                        spare *= 2;
                        if (spare <= length_count[level_start + width]) break;
                        spare -= length_count[level_start + width];
                    }
                }
                CodeEntry* table = allocate_table(width, &chain_tail);
                if (table == nullptr) {
                    free_code_table(*table_out);
                    return TABLE_OUT_OF_MEMORY;
                }
                if (level < 0) *table_out = table;
                ++level;
                start = level_start;
                tables[level] = table;
                sizes[level] = uint32_t{1} << width;
                prefixes[level] = code & ((uint32_t{1} << start) - 1);
                if (level > 0) {
                    CodeEntry link;
                    link.op = static_cast<uint8_t>(16 + width);
                    link.bits = static_cast<uint8_t>(lookup);
                    link.next_table = table;
                    tables[level - 1][code >> (start - lookup)] = link;
                }
            }

            slot.bits = static_cast<uint8_t>(length - start);
            if (taken < listed) {
                uint32_t symbol = sorted[taken++];
                if (symbol < simple_count) {
                    slot.op = symbol < 256 ? OP_LITERAL : OP_END_OF_BLOCK;
                    slot.value = static_cast<uint16_t>(symbol);
                } else {
                    slot.op = static_cast<uint8_t>(extra_bits[symbol - simple_count] & 0xFF);
                    slot.value = bases[symbol - simple_count];
                }
            } else {
                slot.op = OP_INVALID;
            }
            for (uint32_t index = code >> start; index < sizes[level]; index += uint32_t{1} << (length - start)) {
                tables[level][index] = slot;
            }

            // Next code of this length: add one counting from the last-read bit.
            uint32_t bit = uint32_t{1} << (length - 1);
            while (code & bit) {
                code ^= bit;
                bit >>= 1;
            }
            code |= bit;

            while ((code & ((uint32_t{1} << start) - 1)) != prefixes[level]) {
                --level;
                start -= lookup;
            }
        }
    }
    return dummy_codes != 0 && max_length != 1 ? TABLE_INCOMPLETE : TABLE_COMPLETE;
}

void free_code_table(CodeEntry* table) {
    while (table != nullptr) {
        CodeEntry* header = table - 1;
        table = header->next_table;
        code_table_allocator.release(header);
    }
}
