#pragma once
// The portable arithmetic behind the progress bar; the Win32 side only sends the messages.
#include <stdint.h>

enum : int32_t { FullPercent = 100 };

// The part of a whole-file entry's stored size that decoded of decodedSize bytes stand for:
// dataSize x decoded / decodedSize, truncated, computed exactly for every 64-bit decodedSize.
// Returns: that share, or dataSize once decoded has reached decodedSize.
uint64_t EntryShare(uint32_t dataSize, uint64_t decoded, uint64_t decodedSize);

// Returns: bytes / divisor capped at FullPercent. A divisor not above 0 (a payload under 100
// bytes) gives FullPercent as soon as any byte is counted, and 0 before.
int32_t PercentOf(uint64_t bytes, int32_t divisor);

// Recomputes the percent from progressBytes and progressDivisor and raises progressPercent to it.
// Returns: the number of points it rose by; 0 when it did not rise.
int32_t RaiseProgressPercent();
