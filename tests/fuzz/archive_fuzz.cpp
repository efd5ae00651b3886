// archive_fuzz.cpp -- libFuzzer target: the whole run over a self-extracting file made of the input.
//
// The sandbox, the run and every check are in archive_harness.h, which the corpus replay
// test shares.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/fuzz/archive_harness.h"

namespace {
archive_harness::Harness* harness;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness = new archive_harness::Harness();
    std::atexit([] { delete harness; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string problem = harness->run_one(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "archive_fuzz: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
