// crc32.h -- the running CRC-32 of the entry being extracted (the ZIP checksum).
#pragma once

#include <cstddef>
#include <cstdint>

// Reflected polynomial of the ZIP (ISO-HDLC) CRC-32.
constexpr uint32_t CRC32_POLYNOMIAL = 0xEDB88320u;

// One call, three uses, on the one process-wide register:
//   data null          -> the register is preset to all ones; returns 0
//   data, length 0     -> the register is unchanged; returns the CRC of the bytes fed since the reset
//   data, length n > 0 -> feeds the n bytes; returns the CRC so far
// The register keeps its uncomplemented form, so feeding may go on after a read.
uint32_t crc32_update(const void* data, size_t length);
