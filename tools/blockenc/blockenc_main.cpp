// blockenc [-b BLOCKSIZE] [-l LEVEL] [-t THREADS] [-e] IN OUT
// Encodes the file IN into the block-compressed format and writes it to OUT.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <thread>
#include <vector>

#include "stream/encode/block_encoder.h"

static bool ReadFile(const char *path, std::vector<uint8_t> &data)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return false;
    uint8_t buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        data.insert(data.end(), buffer, buffer + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

static bool WriteFile(const char *path, const std::vector<uint8_t> &data)
{
    FILE *f = fopen(path, "wb");
    if (!f)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = fclose(f) == 0 && ok;
    return ok;
}

static int Usage()
{
    fprintf(stderr, "usage: blockenc [-b BLOCKSIZE] [-l LEVEL] [-t THREADS] [-e] IN OUT\n");
    return 2;
}

int main(int argc, char **argv)
{
    BlockEncoderOptions options;
    options.threads = std::thread::hardware_concurrency();
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (!strcmp(argv[i], "-e")) {
            options.endMarker = true;
            continue;
        }
        if (i + 1 >= argc)
            return Usage();
        unsigned long value = strtoul(argv[++i], nullptr, 10);
        if (!strcmp(argv[i - 1], "-b"))
            options.blockSize = (uint32_t)value;
        else if (!strcmp(argv[i - 1], "-l"))
            options.level = (int)value;
        else if (!strcmp(argv[i - 1], "-t"))
            options.threads = (unsigned)value;
        else
            return Usage();
    }
    if (argc - i != 2)
        return Usage();
    std::vector<uint8_t> input, output;
    if (!ReadFile(argv[i], input)) {
        fprintf(stderr, "blockenc: cannot read %s\n", argv[i]);
        return 1;
    }
    if (!EncodeBlockStream(input.data(), input.size(), options, output)) {
        fprintf(stderr, "blockenc: cannot encode %s\n", argv[i]);
        return 1;
    }
    if (!WriteFile(argv[i + 1], output)) {
        fprintf(stderr, "blockenc: cannot write %s\n", argv[i + 1]);
        return 1;
    }
    return 0;
}
