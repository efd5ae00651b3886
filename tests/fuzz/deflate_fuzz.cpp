// deflate_fuzz.cpp -- libFuzzer target: arbitrary bytes as one entry's deflate stream, next to zlib.
//
// The input format and every check are in deflate_harness.h, which the corpus replay test
// shares. With TARNVEL_FUZZ_REPORT set, the reasons for which zlib refused streams that ours
// decoded are counted at exit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/fuzz/deflate_harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::getenv("TARNVEL_FUZZ_REPORT") != nullptr) {
        deflate_harness::divergences();  // built before the handler is registered, so it outlives it
        std::atexit([] {
            for (const auto& [reason, count] : deflate_harness::divergences())
                std::fprintf(stderr, "zlib refused, ours decoded: %s: %llu\n", reason.c_str(),
                             static_cast<unsigned long long>(count));
        });
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string problem = deflate_harness::run_one(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "deflate_fuzz: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
