#pragma once
// The installer's payload and descriptor, as the publisher's tool writes and reads them.
// Ids, the name limit, the entry kinds and the entry header are the installer's own
// (resources/resource.h, payload/walk.h); this header adds what only the tool needs.
#include <stdint.h>
#include <string>
#include <vector>

#include "format/version_types.h"
#include "format/entry.h"
#include "resources/resource.h"
#include "stream/block_stream.h"
#include "stream/little_endian.h"

enum : uint32_t {
    MaxChunkCount = LastChunkId - IDR_FIRST_CHUNK + 1,
    InstallerBlockSize = 512 << 10,  // the conventional block size of installer payloads
    // The tool's default: within 1 % of per-file xz -9e on game packs, while the installer holds
    // one block and one block's stored bytes, 27 MiB at its peak (docs/performance.md).
    DefaultBlockSize = 12 << 20,
    // The walk takes a chunk's size as a count below 2^31.
    MaxChunkBytes = 0x7FFFFFFF,
};

enum : uint8_t {
    WholeFileKind = 1,  // any kind but EntryKindRange is a whole file; the tool writes this one
};

// The resource type of the descriptor and the chunks in an installer.
extern const char16_t PatchResourceType[];
// The resource type of the deltas, which run from 1601 upward as the chunks do.
extern const char16_t DeltaResourceType[];
// The resource type of the removal list (format/removal_list.h), whose one id is 1601.
extern const char16_t RemovalResourceType[];

// The files of a patch folder.
extern const char DescriptorFileName[];
std::string ChunkFileName(uint32_t id);  // "1601.bin"
extern const char RemovalFileName[];     // "1601.remove", the removal list

// Returns: the id of a chunk file name "NNNN.bin" (at most 65535), or 0.
uint32_t ChunkIdOfFileName(const std::string &name);

std::string DeltaFileName(uint32_t id);  // "1601.delta", beside the chunk of the same id

// Returns: the id of a delta file name "NNNN.delta" (at most 65535), or 0.
uint32_t DeltaIdOfFileName(const std::string &name);

// A patch's chunk ids as the installer takes them: from 1601 up to the first missing id, and the
// ones after that gap, which it never reads.
struct ChunkSequence {
    std::vector<uint32_t> applied;
    std::vector<uint32_t> stray;
};

// Returns: ids in order and split; ids below 1601 and the descriptor's are left out.
ChunkSequence SplitChunkIds(std::vector<uint32_t> ids);

// Appends an entry's header (PutEntryHeader) to out.
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
std::string ComposeDescriptor(uint32_t target, GateOperator op, uint32_t base,
                              const std::string &description);

// Checks a relative name (forward slashes) for a target on Windows.
// Returns: false with a reason: too long, empty part, "." or "..", a character Windows refuses,
// a part ending in a dot or space, or a reserved device name.
bool CheckTargetName(const std::u16string &name, std::string *reason);
