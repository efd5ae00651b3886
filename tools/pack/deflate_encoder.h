// deflate_encoder.h -- raw deflate streams for entries, by libdeflate, one encoder per thread.
#pragma once

#include <memory>

#include "tools/pack/zip_format.h"

struct libdeflate_compressor;

namespace pack {

class DeflateEncoder {
public:
    // libdeflate's level, 1..12.
    explicit DeflateEncoder(int level);
    ~DeflateEncoder();
    DeflateEncoder(const DeflateEncoder&) = delete;
    DeflateEncoder& operator=(const DeflateEncoder&) = delete;

    // A whole raw deflate stream of the bytes; never larger than stored blocks would make it,
    // since libdeflate picks stored blocks wherever they are cheaper.
    Bytes encode(ByteView content);

private:
    struct Free {
        void operator()(libdeflate_compressor* c) const;
    };
    std::unique_ptr<libdeflate_compressor, Free> compressor_;
};

}  // namespace pack
