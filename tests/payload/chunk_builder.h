#pragma once
// Builds payload chunks byte by byte for the tests.
#include <stdint.h>
#include <string>
#include <vector>

class ChunkBuilder {
public:
    ChunkBuilder &wholeFile(const std::u16string &name, const std::vector<uint8_t> &data,
                            uint8_t kind = 1)
    {
        header(kind, name, data.size());
        append(data);
        return *this;
    }

    ChunkBuilder &range(const std::u16string &name, uint64_t targetOffset,
                        const std::vector<uint8_t> &data)
    {
        header(0, name, data.size());
        u64(targetOffset);
        append(data);
        return *this;
    }

    // Raw pieces for damaged chunks.
    ChunkBuilder &u8(uint8_t v)
    {
        bytes.push_back(v);
        return *this;
    }
    ChunkBuilder &u16(uint16_t v)
    {
        u8(v & 0xFF);
        return u8(v >> 8);
    }
    ChunkBuilder &u64(uint64_t v)
    {
        for (int i = 0; i < 8; ++i) {
            u8((uint8_t)(v >> (8 * i)));
        }
        return *this;
    }
    ChunkBuilder &units(const std::u16string &name)
    {
        for (char16_t c : name) {
            u16((uint16_t)c);
        }
        return *this;
    }
    ChunkBuilder &append(const std::vector<uint8_t> &data)
    {
        bytes.insert(bytes.end(), data.begin(), data.end());
        return *this;
    }
    ChunkBuilder &header(uint8_t kind, const std::u16string &name, uint64_t dataSize)
    {
        u8(kind).u16((uint16_t)name.size()).units(name);
        return u64(dataSize);
    }

    std::vector<uint8_t> bytes;
};

inline std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed)
{
    std::vector<uint8_t> data(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : data) {
        x = x * 1103515245u + 12345u;
        b = (uint8_t)(x >> 16);
    }
    return data;
}
