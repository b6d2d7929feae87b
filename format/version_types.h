#pragma once
// The version types the descriptor, the gate and the game's ini share.
#include <stdint.h>

// Versions a.b.c.d packed as ((a*256+b)*256+c)*256+d, compared as unsigned 32-bit values.
typedef uint32_t PackedVersion;

enum class GateOperator : int32_t {
    None = 0,   // anything unrecognised
    Exact = 1,  // "="
    UpTo = 2,   // "<="
};
