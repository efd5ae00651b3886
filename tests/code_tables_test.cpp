// code_tables_test.cpp -- the multi-level decoding tables: layout, results, release chain, allocation failures.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "deflate/block_decoder.h"
#include "deflate/code_tables.h"
#include "tests/fixtures/bit_writer.h"
#include "tests/fixtures/counting_allocator.h"

namespace {

using Lengths = std::vector<uint32_t>;

struct Run {
    uint32_t from, to, length;  // symbols from..to inclusive get length
};

Lengths lengths_of(uint32_t count, std::initializer_list<Run> runs) {
    Lengths lengths(count, 0);
    for (const Run& r : runs) {
        for (uint32_t s = r.from; s <= r.to; ++s) lengths[s] = r.length;
    }
    return lengths;
}

const Lengths FIXED_LITERAL_LENGTHS = lengths_of(288, {{0, 143, 8}, {144, 255, 9}, {256, 279, 7}, {280, 287, 8}});
const Lengths FIXED_DISTANCE_LENGTHS = lengths_of(30, {{0, 29, 5}});

// Canonical codes as RFC 1951 3.2.2 assigns them, each turned around so that its first
// bit is bit 0 (the order in which the decoder meets the bits).
std::vector<uint32_t> reading_order_codes(const Lengths& lengths) {
    std::vector<uint32_t> codes = bit_writer::canonical_codes(lengths);
    for (size_t s = 0; s < lengths.size(); ++s) {
        uint32_t len = lengths[s], reversed = 0;
        for (uint32_t i = 0; i < len; ++i) reversed |= ((codes[s] >> (len - 1 - i)) & 1u) << i;
        codes[s] = reversed;
    }
    return codes;
}

struct Resolved {
    int op;
    uint32_t value;
    uint32_t consumed;  // bits used on the way, the final slot's included
};

// Follows the bits through the levels as the layout defines them: a link drops its own
// bits and indexes the next table with 2^(op - 16) slots; any other slot ends the walk.
Resolved resolve(const CodeEntry* table, uint32_t width, uint32_t bits) {
    const CodeEntry* slot = &table[bits & ((1u << width) - 1)];
    uint32_t consumed = 0;
    while (slot->op > OP_LITERAL && slot->op != OP_INVALID) {
        consumed += slot->bits;
        bits >>= slot->bits;
        slot = &slot->next_table[bits & ((1u << (slot->op - 16)) - 1)];
    }
    return {slot->op, slot->value, consumed + slot->bits};
}

long chain_length(const CodeEntry* table) {
    long n = 0;
    for (; table != nullptr; table = (table - 1)->next_table) ++n;
    return n;
}

// Every symbol's code resolves to that symbol with its own length, and every bit pattern
// that starts no code resolves to OP_INVALID.
void expect_decodes_every_code(const Lengths& lengths, uint32_t simple_count, const uint16_t* bases,
                               const uint16_t* extra, const CodeEntry* table, uint32_t width, const std::string& what) {
    std::vector<uint32_t> codes = reading_order_codes(lengths);
    uint32_t max_length = 0;
    for (uint32_t len : lengths) max_length = std::max(max_length, len);
    for (size_t s = 0; s < lengths.size(); ++s) {
        if (lengths[s] == 0) continue;
        Resolved r = resolve(table, width, codes[s]);
        int op = s < simple_count ? (s < 256 ? OP_LITERAL : OP_END_OF_BLOCK) : extra[s - simple_count] & 0xFF;
        uint32_t value = s < simple_count ? static_cast<uint32_t>(s) : bases[s - simple_count];
        ASSERT_EQ(r.op, op) << what << " symbol " << s;
        ASSERT_EQ(r.value, value) << what << " symbol " << s;
        ASSERT_EQ(r.consumed, lengths[s]) << what << " symbol " << s;
    }
    for (uint32_t pattern = 0; pattern < (1u << max_length); ++pattern) {
        bool starts_a_code = false;
        for (size_t s = 0; s < lengths.size() && !starts_a_code; ++s) {
            starts_a_code = lengths[s] != 0 && (pattern & ((1u << lengths[s]) - 1)) == codes[s];
        }
        if (!starts_a_code) {
            ASSERT_EQ(resolve(table, width, pattern).op, OP_INVALID) << what << " pattern " << pattern;
        }
    }
}

struct SlotExpect {
    uint32_t index;
    int op;
    uint32_t bits;
    uint32_t value;
};

struct BuildCase {
    const char* name;
    Lengths lengths;
    uint32_t simple_count;
    const uint16_t* bases;
    const uint16_t* extra;
    uint32_t wanted;
    int result;
    uint32_t width;                        // lookup_bits afterwards
    long tables;                           // blocks allocated (and in the chain)
    std::vector<SlotExpect> slots;         // first-level slots
    std::map<int, int> links;              // op -> number of first-level link slots
    std::vector<uint32_t> invalid_symbols; // codes that must resolve to OP_INVALID
};

const CodeEntry UNTOUCHED_MARK = {};

TEST(CodeTables, BuildsEachEdgeCase) {
    const BuildCase cases[] = {
        {"all lengths 0", Lengths(19, 0), 19, nullptr, nullptr, 7, TABLE_COMPLETE, 0, 0, {}, {}, {}},
        {"one symbol of length 1: two slots, the unused one invalid with the same value",
         lengths_of(19, {{5, 5, 1}}), 19, nullptr, nullptr, 7, TABLE_COMPLETE, 1, 1,
         {{0, OP_LITERAL, 1, 5}, {1, OP_INVALID, 1, 5}}, {}, {}},
        {"lengths 1 and 2: incomplete, the unused 2-bit code invalid", lengths_of(19, {{0, 0, 1}, {1, 1, 2}}), 19,
         nullptr, nullptr, 7, TABLE_INCOMPLETE, 2, 1,
         {{0, OP_LITERAL, 1, 0}, {2, OP_LITERAL, 1, 0}, {1, OP_LITERAL, 2, 1}, {3, OP_INVALID, 2, 1}}, {}, {}},
        {"three of length 1: over-subscribed", lengths_of(19, {{0, 2, 1}}), 19, nullptr, nullptr, 7,
         TABLE_OVERSUBSCRIBED, 1, 0, {}, {}, {}},
        // The unused codes keep the value of the slot made before them (symbol 29's base).
        {"fixed distance code: 30 of 32 five-bit codes", FIXED_DISTANCE_LENGTHS, 0, DISTANCE_BASE, DISTANCE_EXTRA, 5,
         TABLE_INCOMPLETE, 5, 1,
         {{0, 0, 5, 1}, {15, OP_INVALID, 5, 24577}, {31, OP_INVALID, 5, 24577}, {16, 0, 5, 2}}, {}, {}},
        {"fixed literal/length code at width 7", FIXED_LITERAL_LENGTHS, 257, LENGTH_BASE, LENGTH_EXTRA, 7,
         TABLE_COMPLETE, 7, 105, {{0, OP_END_OF_BLOCK, 7, 256}}, {{17, 76}, {18, 28}}, {286, 287}},
        {"wanted 9, longest 7: width 7", lengths_of(19, {{0, 0, 1}, {1, 1, 2}, {2, 2, 3}, {3, 3, 4}, {4, 4, 5},
                                                          {5, 5, 6}, {6, 7, 7}}),
         19, nullptr, nullptr, 9, TABLE_COMPLETE, 7, 1, {}, {}, {}},
        {"wanted 6, shortest 8: width 8", lengths_of(256, {{0, 255, 8}}), 256, nullptr, nullptr, 6, TABLE_COMPLETE,
         8, 1, {{0, OP_LITERAL, 8, 0}, {128, OP_LITERAL, 8, 1}}, {}, {}},
    };
    for (const BuildCase& c : cases) {
        SCOPED_TRACE(c.name);
        counting_allocator::Scope scope;
        CodeEntry* table = const_cast<CodeEntry*>(&UNTOUCHED_MARK);
        uint32_t width = c.wanted;
        int result = build_code_table(c.lengths.data(), static_cast<uint32_t>(c.lengths.size()), c.simple_count,
                                      c.bases, c.extra, &table, &width);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(counting_allocator::counts().allocations, c.tables);
        if (result == TABLE_OVERSUBSCRIBED) {
            EXPECT_EQ(table, &UNTOUCHED_MARK) << "table_out is not written";
            continue;
        }
        if (c.tables == 0) {
            EXPECT_EQ(table, nullptr);
            continue;
        }
        ASSERT_NE(table, nullptr);
        EXPECT_EQ(chain_length(table), c.tables);
        for (const SlotExpect& e : c.slots) {
            EXPECT_EQ(table[e.index].op, e.op) << "slot " << e.index;
            EXPECT_EQ(table[e.index].bits, e.bits) << "slot " << e.index;
            EXPECT_EQ(table[e.index].value, e.value) << "slot " << e.index;
        }
        std::map<int, int> links;
        for (uint32_t i = 0; i < (1u << width); ++i) {
            if (table[i].op <= OP_LITERAL || table[i].op == OP_INVALID) continue;
            ++links[table[i].op];
            EXPECT_EQ(table[i].bits, width) << "a link drops the whole first-level width";
        }
        EXPECT_EQ(links, c.links);
        std::vector<uint32_t> codes = reading_order_codes(c.lengths);
        for (uint32_t s : c.invalid_symbols) EXPECT_EQ(resolve(table, width, codes[s]).op, OP_INVALID) << s;
        expect_decodes_every_code(c.lengths, c.simple_count, c.bases, c.extra, table, width, c.name);
        free_code_table(table);
        EXPECT_TRUE(counting_allocator::counts().live.empty()) << "release frees every block of the chain";
        EXPECT_EQ(counting_allocator::counts().releases, c.tables);
        EXPECT_FALSE(counting_allocator::counts().foreign_release);
    }
}

TEST(CodeTables, FreeingNullReleasesNothing) {
    counting_allocator::Scope scope;
    free_code_table(nullptr);
    EXPECT_EQ(counting_allocator::counts().releases, 0);
}

// ---- Random codes ----

// A complete prefix code with `symbols` leaves, none deeper than max_length, made by
// splitting random leaves; its lengths are scattered over `count` symbol positions.
Lengths random_complete_code(std::mt19937& rng, uint32_t count, uint32_t symbols, uint32_t max_length) {
    std::vector<uint32_t> leaves{0};
    while (leaves.size() < symbols) {
        size_t pick = rng() % leaves.size();
        if (leaves[pick] >= max_length) {
            bool any = false;
            for (uint32_t d : leaves) any |= d < max_length;
            if (!any) break;
            continue;
        }
        uint32_t depth = leaves[pick] + 1;
        leaves[pick] = depth;
        leaves.push_back(depth);
    }
    std::vector<uint32_t> positions(count);
    for (uint32_t i = 0; i < count; ++i) positions[i] = i;
    std::shuffle(positions.begin(), positions.end(), rng);
    Lengths lengths(count, 0);
    for (size_t i = 0; i < leaves.size(); ++i) lengths[positions[i]] = leaves[i];
    return lengths;
}

struct Shape {
    const char* name;
    uint32_t count;
    uint32_t simple_count;
    const uint16_t* bases;
    const uint16_t* extra;
    uint32_t max_length;
    uint32_t wanted;
};

// The shapes the block decoder asks for: code lengths, literal/length, distance codes; the
// narrow one keeps to the levels' condition (more than 2^7 symbols, so no code above 14 bits).
const Shape SHAPES[] = {
    {"code-length code", 19, 19, nullptr, nullptr, 7, 7},
    {"literal/length code", 288, 257, LENGTH_BASE, LENGTH_EXTRA, 15, LITERAL_LOOKUP_BITS},
    {"distance code", 30, 0, DISTANCE_BASE, DISTANCE_EXTRA, 15, DISTANCE_LOOKUP_BITS},
    {"literal/length code, narrow first level", 288, 257, LENGTH_BASE, LENGTH_EXTRA, 14, 7},
};

TEST(CodeTables, RandomCompleteCodesDecodeEverySymbol) {
    std::mt19937 rng(1951);
    for (const Shape& shape : SHAPES) {
        for (int round = 0; round < 60; ++round) {
            uint32_t symbols = 2 + rng() % (shape.count - 1);
            Lengths lengths = random_complete_code(rng, shape.count, symbols, shape.max_length);
            std::string what = std::string(shape.name) + " round " + std::to_string(round);
            counting_allocator::Scope scope;
            CodeEntry* table = nullptr;
            uint32_t width = shape.wanted;
            ASSERT_EQ(build_code_table(lengths.data(), shape.count, shape.simple_count, shape.bases, shape.extra, &table,
                                       &width),
                      TABLE_COMPLETE)
                << what;
            expect_decodes_every_code(lengths, shape.simple_count, shape.bases, shape.extra, table, width, what);
            EXPECT_EQ(chain_length(table), counting_allocator::counts().allocations) << what;
            free_code_table(table);
            EXPECT_TRUE(counting_allocator::counts().live.empty()) << what;
        }
    }
}

TEST(CodeTables, RandomIncompleteAndOversubscribedCodes) {
    std::mt19937 rng(3);
    for (const Shape& shape : SHAPES) {
        for (int round = 0; round < 60; ++round) {
            uint32_t symbols = 3 + rng() % (shape.count - 2);
            Lengths complete = random_complete_code(rng, shape.count, symbols, shape.max_length);
            std::vector<uint32_t> used;
            for (uint32_t s = 0; s < shape.count; ++s) {
                if (complete[s] != 0) used.push_back(s);
            }
            std::string what = std::string(shape.name) + " round " + std::to_string(round);

            // Drop one code (keeping at least one code longer than 1 bit): incomplete.
            Lengths incomplete = complete;
            incomplete[used[rng() % used.size()]] = 0;
            uint32_t max_left = 0;
            for (uint32_t len : incomplete) max_left = std::max(max_left, len);
            {
                counting_allocator::Scope scope;
                CodeEntry* table = nullptr;
                uint32_t width = shape.wanted;
                int result = build_code_table(incomplete.data(), shape.count, shape.simple_count, shape.bases,
                                              shape.extra, &table, &width);
                EXPECT_EQ(result, max_left > 1 ? TABLE_INCOMPLETE : TABLE_COMPLETE) << what;
                expect_decodes_every_code(incomplete, shape.simple_count, shape.bases, shape.extra, table, width, what);
                free_code_table(table);
                EXPECT_TRUE(counting_allocator::counts().live.empty()) << what;
            }

            // Give an unused symbol a code as long as the longest: over-subscribed.
            Lengths over = complete;
            uint32_t max_length = 0;
            for (uint32_t len : complete) max_length = std::max(max_length, len);
            for (uint32_t s = 0; s < shape.count; ++s) {
                if (over[s] == 0) {
                    over[s] = max_length;
                    break;
                }
            }
            if (used.size() == shape.count) continue;
            counting_allocator::Scope scope;
            CodeEntry* table = const_cast<CodeEntry*>(&UNTOUCHED_MARK);
            uint32_t width = shape.wanted;
            EXPECT_EQ(build_code_table(over.data(), shape.count, shape.simple_count, shape.bases, shape.extra, &table,
                                       &width),
                      TABLE_OVERSUBSCRIBED)
                << what;
            EXPECT_EQ(table, &UNTOUCHED_MARK) << what;
            EXPECT_EQ(counting_allocator::counts().attempts, 0) << what << ": detected before any allocation";
        }
    }
}

// ---- Allocation failures ----

TEST(CodeTables, AllocationFailureAtEachAllocationReleasesEverything) {
    std::mt19937 rng(17);
    std::vector<std::pair<std::string, Lengths>> codes = {{"fixed literal/length", FIXED_LITERAL_LENGTHS}};
    for (int i = 0; i < 8; ++i) {
        codes.push_back({"random literal/length " + std::to_string(i), random_complete_code(rng, 288, 200 + rng() % 80, 15)});
    }
    for (const auto& [name, lengths] : codes) {
        long needed = 0;
        {
            counting_allocator::Scope scope;
            CodeEntry* table = nullptr;
            uint32_t width = name.rfind("fixed", 0) == 0 ? 7 : LITERAL_LOOKUP_BITS;
            ASSERT_EQ(build_code_table(lengths.data(), 288, 257, LENGTH_BASE, LENGTH_EXTRA, &table, &width), 0);
            needed = counting_allocator::counts().allocations;
            free_code_table(table);
        }
        ASSERT_GT(needed, 0);
        for (long k = 1; k <= needed; ++k) {
            counting_allocator::Scope scope(k);
            CodeEntry* table = nullptr;
            uint32_t width = name.rfind("fixed", 0) == 0 ? 7 : LITERAL_LOOKUP_BITS;
            EXPECT_EQ(build_code_table(lengths.data(), 288, 257, LENGTH_BASE, LENGTH_EXTRA, &table, &width),
                      TABLE_OUT_OF_MEMORY)
                << name << " failing allocation " << k;
            EXPECT_EQ(counting_allocator::counts().allocations, k - 1) << name << ": stops at the failure";
            EXPECT_TRUE(counting_allocator::counts().live.empty()) << name << " failing allocation " << k;
            EXPECT_FALSE(counting_allocator::counts().foreign_release);
        }
    }
}

}  // namespace
