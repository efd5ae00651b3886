// deflate_fuzz.cpp -- libFuzzer target: arbitrary bytes as one entry's compressed deflate stream.
//
// Input: one options byte, then the stream (at most 64 KiB). Options bit 0: the entry claims
// more bytes than the file holds, so the input-failed latch trips at its end; bit 1: the file
// delivers at most a few bytes per read. The stream goes through the real stream buffers
// with the host's read and write replaced by memory; checked: the result is 0, 1 or 2, the
// filler bound holds, the CRC covers exactly the bytes written, fewer than 8 bits are left
// after success, and no table outlives the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "deflate/block_decoder.h"
#include "deflate/code_tables.h"
#include "platform/host/host_platform.h"
#include "stream/crc32.h"
#include "stream/stream_buffers.h"

namespace {

struct Source {
    const uint8_t* data;
    size_t size;
    size_t at;
    unsigned long piece;  // most bytes per read
};
Source source;
std::vector<unsigned char> written;
long live_tables;

void* counted_allocate(size_t size) {
    void* block = malloc(size);
    if (block != nullptr) ++live_tables;
    return block;
}
void counted_release(void* block) {
    --live_tables;
    free(block);
}

uint32_t reference_crc(const std::vector<unsigned char>& bytes) {
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        c ^= b;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return ~c;
}

void check(bool condition) {
    if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65537) return 0;
    const unsigned options = data[0];
    source = Source{data + 1, size - 1, 0, (options & 2) ? 1 + (options >> 2) % 7 : 1ul << 20};
    host::file_calls().read = [](int, void* buffer, unsigned long count) -> long {
        size_t n = source.size - source.at;
        if (n > count) n = count;
        if (n > source.piece) n = source.piece;
        memcpy(buffer, source.data + source.at, n);
        source.at += n;
        return static_cast<long>(n);
    };
    host::file_calls().write = [](int, const void* buffer, unsigned long count) -> long {
        const unsigned char* p = static_cast<const unsigned char*>(buffer);
        written.insert(written.end(), p, p + count);
        return static_cast<long>(count);
    };
    code_table_allocator = CodeTableAllocator{counted_allocate, counted_release};
    written.clear();
    live_tables = 0;

    StreamState& s = stream_state;
    s.input_failed = 0;
    s.output_failed = 0;
    s.archive_size = 0;
    s.archive_fd = 3;
    s.output_fd = 4;
    reset_stream_counters();
    s.remaining_compressed = static_cast<uint32_t>(source.size + ((options & 1) ? 100 : 0));
    crc32_update(nullptr, 0);

    int result = decode_deflate_stream();
    check(result >= 0 && result <= 2);  // 3 needs an allocation failure, which this target never causes
    check(live_tables == 0);
    check(s.filler_delivered <= MAX_FILLER_BYTES + 1);
    unsigned char probe = 0;
    check(crc32_update(&probe, 0) == reference_crc(written));
    if (result == 0) {
        check(s.filler_delivered <= MAX_FILLER_BYTES);
        check(bit_count < 8);
        check(s.window_pos == 0 || s.input_failed);
    }
    host::reset();
    return 0;
}
