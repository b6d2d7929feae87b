#pragma once
// Little-endian integers at any alignment, as every format here stores them.
#include <stdint.h>

inline uint16_t GetU16(const uint8_t *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}

inline uint32_t GetU32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

inline uint64_t GetU64(const uint8_t *p)
{
    return GetU32(p) | (uint64_t)GetU32(p + 4) << 32;
}

inline void PutU16(uint8_t *p, uint16_t value)
{
    p[0] = (uint8_t)value;
    p[1] = (uint8_t)(value >> 8);
}

inline void PutU32(uint8_t *p, uint32_t value)
{
    PutU16(p, (uint16_t)value);
    PutU16(p + 2, (uint16_t)(value >> 16));
}

inline void PutU64(uint8_t *p, uint64_t value)
{
    PutU32(p, (uint32_t)value);
    PutU32(p + 4, (uint32_t)(value >> 32));
}
