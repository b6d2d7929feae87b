#pragma once
// Encoder of the block-compressed format: a 12-byte header (uncompressedSize u64, blockSize u32),
// a table of blockCount u32 stored sizes, then every block LZMA-compressed on its own
// (5 bytes of properties + raw LZMA data). All little-endian.
#include <stdint.h>

#include <vector>

struct BlockEncoderOptions {
    uint32_t blockSize = 524288;
    int lc = 3;
    int lp = 0;
    int pb = 2;
    uint32_t dictionarySize = 0;  // 0: the block size (the encoder stores at least 4096)
    int level = 5;                // 0..9
    int fastBytes = 0;            // 0: the level's; up to 273, the longest match the encoder seeks
    uint32_t matchCycles = 0;     // 0: the level's; how many candidates the match finder tries
    bool endMarker = false;
    unsigned threads = 1;  // blocks are independent; the output is the same for any count
};

// Encodes one block on its own.
// Returns: true with 5 bytes of LZMA properties and the raw LZMA data in out;
// false when the options are invalid or the encoder fails.
bool EncodeStoredBlock(const uint8_t *data, uint32_t size, const BlockEncoderOptions &options,
                       std::vector<uint8_t> &out);

// Writes the header, the table of the stored blocks' sizes and the stored blocks, as given.
// Returns: false when a stored block does not fit 32 bits.
bool AssembleBlockStream(uint64_t uncompressedSize, uint32_t blockSize,
                         const std::vector<std::vector<uint8_t>> &storedBlocks,
                         std::vector<uint8_t> &out);

// Encodes size bytes at data.
// Returns: true with the whole block-compressed stream in out; false on invalid options
// (blockSize 0, too many blocks) or an encoder failure.
bool EncodeBlockStream(const uint8_t *data, uint64_t size, const BlockEncoderOptions &options,
                       std::vector<uint8_t> &out);
