#pragma once
#include "Types.h"  // LZMA SDK

// The LZMA decoder's allocation interface over defaultAllocator: each block it hands out is
// preceded by a 4-byte prefix holding its size, so that free can be told the size.
extern ISzAlloc decoderAllocator;
