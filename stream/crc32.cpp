#include "stream/crc32.h"
#include "stream/little_endian.h"

namespace {

// table[k][b]: the CRC of byte b followed by k zero bytes. Built at run time: as constant data
// they would add 8 KiB to the installer's file.
uint32_t table[8][256];
bool built;

void BuildTables()
{
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t c = b;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[0][b] = c;
    }
    for (uint32_t b = 0; b < 256; ++b) {
        for (int k = 1; k < 8; ++k)
            table[k][b] = (table[k - 1][b] >> 8) ^ table[0][table[k - 1][b] & 255];
    }
    built = true;
}

}  // namespace

uint32_t Crc32(uint32_t previous, const uint8_t *bytes, uint32_t size)
{
    if (!built)
        BuildTables();
    uint32_t crc = ~previous;
    for (; size >= 8; bytes += 8, size -= 8) {
        uint32_t low = GetU32(bytes) ^ crc;
        uint32_t high = GetU32(bytes + 4);
        crc = table[7][low & 255] ^ table[6][(low >> 8) & 255] ^ table[5][(low >> 16) & 255] ^
              table[4][low >> 24] ^ table[3][high & 255] ^ table[2][(high >> 8) & 255] ^
              table[1][(high >> 16) & 255] ^ table[0][high >> 24];
    }
    for (; size > 0; ++bytes, --size)
        crc = table[0][(crc ^ *bytes) & 255] ^ (crc >> 8);
    return ~crc;
}
