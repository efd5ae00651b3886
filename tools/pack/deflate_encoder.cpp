// deflate_encoder.cpp -- libdeflate at the chosen level.
#include "tools/pack/deflate_encoder.h"

#include <libdeflate.h>

namespace pack {

void DeflateEncoder::Free::operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }

DeflateEncoder::DeflateEncoder(int level, bool best)
    : compressor_(libdeflate_alloc_compressor(best ? MAX_LEVEL : level)), best_(best) {
    if (!compressor_) throw PackError("cannot allocate the compressor");
}

DeflateEncoder::~DeflateEncoder() = default;

Bytes DeflateEncoder::encode(ByteView content) {
    if (content.empty()) return Bytes{0x03, 0x00};
    Bytes out(libdeflate_deflate_compress_bound(compressor_.get(), content.size()));
    size_t n = libdeflate_deflate_compress(compressor_.get(), content.data(), content.size(), out.data(), out.size());
    if (n == 0) throw PackError("the compressor ran out of room within its own bound");
    out.resize(n);
    out.shrink_to_fit();
    return out;
}

}  // namespace pack
