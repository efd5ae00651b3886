// crc32.cpp -- table-driven CRC-32 with its table as constant data.
#include "stream/crc32.h"

#include <array>

namespace {

constexpr std::array<uint32_t, 256> make_crc_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int step = 0; step < 8; ++step) c = (c & 1) ? (c >> 1) ^ CRC32_POLYNOMIAL : c >> 1;
        table[n] = c;
    }
    return table;
}

// Built by the compiler, never at run time: 1024 bytes of read-only data.
constexpr std::array<uint32_t, 256> CRC_TABLE = make_crc_table();
static_assert(CRC_TABLE[1] == 0x77073096u, "CRC table entry 1");
static_assert(CRC_TABLE[255] == 0x2D02EF8Du, "CRC table entry 255");

uint32_t crc_register = 0xFFFFFFFFu;

}  // namespace

uint32_t crc32_update(const void* data, size_t length) {
    if (data == nullptr) {
        crc_register = 0xFFFFFFFFu;
        return 0;
    }
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint32_t c = crc_register;
    for (size_t i = 0; i < length; ++i) c = CRC_TABLE[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    crc_register = c;
    return ~c;
}
