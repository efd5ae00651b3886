// disclaimer_gate.h -- asks the user to accept the trailer's disclaimer before anything happens.
#pragma once

#include <cstdint>

constexpr uint32_t DISCLAIMER_CAPACITY = 16384;
constexpr const char* DISCLAIMER_CAPTION = "Setup disclamer";
// MB_OKCANCEL | MB_ICONQUESTION | MB_SETFOREGROUND
constexpr unsigned DISCLAIMER_BOX_FLAGS = 0x10021;

// 1 when the run may go on without asking (no trailer, or its flag is 0); otherwise the
// answer of the question box: 1 (OK), 2 (Cancel, Escape, close) or 0 (no box shown).
int show_disclaimer(const char* module_path);
