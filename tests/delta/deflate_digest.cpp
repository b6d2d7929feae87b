// Prints one line for each deflate setting a recipe may record: the setting and the CRC-32 and size
// of what this program's zlib makes of a fixed set of inputs, each fed in two different ways.
// The zlib_agreement test compares the host's lines with the installer's zlib's, so that a stream
// the tool proved is one the installer deflates again to the same bytes.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

// Text-like, random, run-heavy and mixed inputs, from empty to several blocks long.
std::vector<Bytes> Inputs()
{
    std::mt19937 rng(20261210);
    std::vector<Bytes> inputs(5);
    static const char *words[] = {"tile ", "unit ", "the ", "\r\n", "{\"hp\": ", "12, ", "map "};
    while (inputs[1].size() < 300000) {
        const char *w = words[rng() % 7];
        inputs[1].insert(inputs[1].end(), w, w + strlen(w));
    }
    inputs[2].resize(70000);
    for (uint8_t &b : inputs[2])
        b = (uint8_t)rng();
    inputs[3].assign(200000, 0);
    for (size_t i = 0; i < inputs[3].size(); i += 1 + rng() % 5000)
        inputs[3][i] = (uint8_t)rng();
    inputs[4] = inputs[1];
    inputs[4].insert(inputs[4].begin() + 1000, inputs[2].begin(), inputs[2].end());
    return inputs;
}

// Deflates input with the setting, fed piece bytes at a time into out pieces of outPiece bytes.
uint32_t DeflateCrc(const Bytes &input, int level, int strategy, int memLevel, int windowBits,
                    uInt piece, uInt outPiece, uint64_t *size)
{
    z_stream z;
    memset(&z, 0, sizeof z);
    if (deflateInit2(&z, level, Z_DEFLATED, -windowBits, memLevel, strategy) != Z_OK)
        return 0;
    std::vector<uint8_t> out(outPiece);
    uint32_t crc = 0;
    size_t fed = 0;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (z.avail_in == 0 && fed < input.size()) {
            z.next_in = (Bytef *)input.data() + fed;
            z.avail_in = (uInt)(input.size() - fed < piece ? input.size() - fed : piece);
            fed += z.avail_in;
        }
        z.next_out = out.data();
        z.avail_out = outPiece;
        status = deflate(&z, fed == input.size() ? Z_FINISH : Z_NO_FLUSH);
        crc = (uint32_t)crc32(crc, out.data(), outPiece - z.avail_out);
        *size += outPiece - z.avail_out;
    }
    deflateEnd(&z);
    return crc;
}

}  // namespace

int main()
{
    std::vector<Bytes> inputs = Inputs();
    printf("zlib %s\n", zlibVersion());
    for (int level = 1; level <= 9; ++level) {
        for (int strategy = 0; strategy <= 3; ++strategy) {
            for (int memLevel : {1, 8, 9}) {
                for (int windowBits : {9, 12, 15}) {
                    uint64_t size = 0;
                    uint32_t crc = 0;
                    for (const Bytes &input : inputs) {
                        crc ^= DeflateCrc(input, level, strategy, memLevel, windowBits, 1 << 16,
                                          1 << 14, &size);
                        crc ^= DeflateCrc(input, level, strategy, memLevel, windowBits, 4093, 777,
                                          &size) *
                               3;
                    }
                    printf("level %d strategy %d memLevel %d windowBits %d: %08x %llu\n", level,
                           strategy, memLevel, windowBits, crc, (unsigned long long)size);
                }
            }
        }
    }
    return 0;
}
