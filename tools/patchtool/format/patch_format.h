#pragma once
// The installer's payload and descriptor, as the publisher's tool writes and reads them.
#include <stdint.h>
#include <string>
#include <vector>

#include "stream/little_endian.h"

enum : uint32_t {
    DescriptorId = 2000,
    FirstChunkId = 1601,
    // The installer asks for ids from 1601 upward until one is missing, and 2000 is the descriptor.
    LastChunkId = DescriptorId - 1,
    MaxChunkCount = LastChunkId - FirstChunkId + 1,
    MaxNameUnits = 511,
    WholeFileKind = 1,
    RangeKind = 0,
    InstallerBlockSize = 524288,
    // The walk takes a chunk's size as a count below 2^31.
    MaxChunkBytes = 0x7FFFFFFF,
};

inline uint64_t WholeFileHeaderSize(size_t nameUnits) { return 11 + 2 * (uint64_t)nameUnits; }
inline uint64_t RangeHeaderSize(size_t nameUnits) { return 19 + 2 * (uint64_t)nameUnits; }

void AppendEntryHeader(std::vector<uint8_t> *out, uint8_t kind, const std::u16string &name,
                       uint64_t dataSize, uint64_t targetOffset);

void PutU32(uint8_t *p, uint32_t value);
void PutU64(uint8_t *p, uint64_t value);

// Reads a version argument: exactly four decimal parts 0..255 separated by dots.
// Returns: false when text is anything else.
bool ParseVersionArgument(const std::string &text, uint32_t *packed);

std::string VersionText(uint32_t packed);

// Checks a description for the descriptor and removes leading white space, which the installer
// would skip. Returns: false with a reason when it is not UTF-8 or holds a zero byte.
bool PrepareDescription(std::string *description, std::string *reason);

// "TARGET OP BASE\r\nDESCRIPTION\r\n".
std::string ComposeDescriptor(uint32_t target, const std::string &op, uint32_t base,
                              const std::string &description);

// Checks a relative name (forward slashes) for a target on Windows.
// Returns: false with a reason: too long, empty part, "." or "..", a character Windows refuses,
// a part ending in a dot or space, or a reserved device name.
bool CheckTargetName(const std::u16string &name, std::string *reason);
