// gate_fuzz.cpp -- libFuzzer target: the disclaimer gate on arbitrary file tails, against a model.
//
// The input format, the model and the checks are in gate_harness.h, which the corpus replay
// test shares.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/fuzz/gate_harness.h"

namespace {
gate_harness::Harness* harness;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness = new gate_harness::Harness();
    std::atexit([] { delete harness; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string problem = harness->run_one(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "gate_fuzz: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
