#pragma once
// The installer's payload and descriptor, as the publisher's tool writes and reads them.
// Ids, the name limit and the entry kinds are the installer's own (resources/resource.h,
// payload/walk.h); this header names them for the tool and adds what only the tool needs.
#include <stdint.h>
#include <string>
#include <vector>

#include "app/state.h"
#include "payload/walk.h"
#include "resources/resource.h"
#include "stream/block_stream.h"
#include "stream/little_endian.h"

enum : uint32_t {
    DescriptorId = IDR_DESCRIPTOR,
    FirstChunkId = IDR_FIRST_CHUNK,
    // The installer asks for ids from FirstChunkId upward until one is missing.
    LastChunkId = DescriptorId - 1,
    MaxChunkCount = LastChunkId - FirstChunkId + 1,
    MaxNameUnits = MaxNameLength,
    InstallerBlockSize = 512 << 10,  // the conventional block size of installer payloads
    // The tool's default: within 1 % of per-file xz -9e on game packs, while the installer holds
    // one block and one block's stored bytes, 27 MiB at its peak (tools/patchtool/README.md).
    DefaultBlockSize = 12 << 20,
    // The walk takes a chunk's size as a count below 2^31.
    MaxChunkBytes = 0x7FFFFFFF,
};

enum : uint8_t {
    RangeKind = EntryKindRange,
    WholeFileKind = 1,  // any kind but RangeKind is a whole file; the tool writes this one
};

// The resource type of the descriptor and the chunks in an installer.
extern const char16_t PatchResourceType[];

// The files of a patch folder.
extern const char DescriptorFileName[];
std::string ChunkFileName(uint32_t id);  // "1601.bin"

// Returns: the id of a chunk file name "NNNN.bin" (at most 65535), or 0.
uint32_t ChunkIdOfFileName(const std::string &name);

// An entry's header: kind (1), name length (2), name (2 per unit), data size (8) and, for a range,
// the target offset (8).
inline uint64_t WholeFileHeaderSize(size_t nameUnits) { return 11 + 2 * (uint64_t)nameUnits; }
inline uint64_t RangeHeaderSize(size_t nameUnits) { return 19 + 2 * (uint64_t)nameUnits; }

void AppendEntryHeader(std::vector<uint8_t> *out, uint8_t kind, const std::u16string &name,
                       uint64_t dataSize, uint64_t targetOffset);

// The block stream's header and block table of a whole file: what precedes its stored blocks.
std::vector<uint8_t> BlockStreamHead(uint64_t decodedSize, uint32_t blockSize,
                                     const std::vector<uint32_t> &storedSizes);

// Reads a version argument: exactly four decimal parts 0..255 separated by dots.
// Returns: false when text is anything else.
bool ParseVersionArgument(const std::string &text, uint32_t *packed);

std::string VersionText(uint32_t packed);

// Returns: "=", "<=", or "(unrecognised)" for a descriptor whose operator is neither.
const char *OperatorText(GateOperator op);

// Checks a description for the descriptor and removes leading white space, which the installer
// would skip. Returns: false with a reason when it is not UTF-8 or holds a zero byte.
bool PrepareDescription(std::string *description, std::string *reason);

// "TARGET OP BASE\r\nDESCRIPTION\r\n".
std::string ComposeDescriptor(uint32_t target, GateOperator op, uint32_t base, const std::string &description);

// Checks a relative name (forward slashes) for a target on Windows.
// Returns: false with a reason: too long, empty part, "." or "..", a character Windows refuses,
// a part ending in a dot or space, or a reserved device name.
bool CheckTargetName(const std::u16string &name, std::string *reason);
