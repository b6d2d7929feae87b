#pragma once
// CRC-32 as zlib's crc32() and ntdll's RtlComputeCrc32 compute it (reflected polynomial
// 0xEDB88320, inverted before and after), eight bytes per step. ntdll's takes one table lookup
// per byte, about a fifth of this speed, which would cost more than the self-check may.
#include <stdint.h>

// Returns: the CRC-32 of size bytes continued from previous (0 to start). The first call builds
// the tables (8 KiB of zero-initialised data), so it must not race another first call.
uint32_t Crc32(uint32_t previous, const uint8_t *bytes, uint32_t size);
