// crc32_test.cpp -- the running CRC-32 against its check value and zlib.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "stream/crc32.h"

namespace {

TEST(Crc32, CheckValueOf123456789) {
    crc32_update(nullptr, 0);
    EXPECT_EQ(crc32_update("123456789", 9), 0xCBF43926u);
}

TEST(Crc32, CallFormsResetReadAndFeed) {
    crc32_update(nullptr, 0);
    crc32_update("abc", 3);
    EXPECT_EQ(crc32_update(nullptr, 5), 0u) << "a null pointer resets and feeds nothing";
    const char byte = 0;
    EXPECT_EQ(crc32_update(&byte, 0), 0u) << "CRC of no bytes";
    uint32_t once = crc32_update("abc", 3);
    EXPECT_EQ(crc32_update(&byte, 0), once) << "length 0 reads without changing the register";
    EXPECT_EQ(crc32_update(&byte, 0), once);
}

TEST(Crc32, SplitFeedingWithReadsEqualsOneCall) {
    std::mt19937 rng(7);
    std::vector<unsigned char> data(100000);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    crc32_update(nullptr, 0);
    uint32_t whole = crc32_update(data.data(), data.size());

    crc32_update(nullptr, 0);
    size_t at = 0;
    while (at < data.size()) {
        size_t piece = std::min<size_t>(rng() % 5000, data.size() - at);
        crc32_update(data.data(), 0);
        crc32_update(data.data() + at, piece);
        at += piece;
    }
    EXPECT_EQ(crc32_update(data.data(), 0), whole);
}

TEST(Crc32, EqualsZlibOnRandomData) {
    std::mt19937 rng(11);
    for (size_t size : {1u, 2u, 3u, 7u, 8u, 15u, 255u, 4096u, 32768u, 100003u}) {
        std::vector<unsigned char> data(size);
        for (auto& b : data) b = static_cast<unsigned char>(rng());
        crc32_update(nullptr, 0);
        EXPECT_EQ(crc32_update(data.data(), size), crc32(0L, data.data(), static_cast<uInt>(size))) << size;
    }
}

}  // namespace
