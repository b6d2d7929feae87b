// qdelta encode [-l LEVEL] [-t THREADS] [--index-limit BYTES] OLD NEW DELTA
// qdelta apply OLD DELTA OUT
// qdelta covers OLD NEW        (prints how much of NEW the covers make from OLD)
// Encodes a delta with the publisher's encoder, or applies one with the installer's applier, the
// base read by offset and the result written in order, as the installer does. Exit codes: 0 done,
// 1 a failure (the applier's result is named), 2 a bad command line.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "delta/apply/delta_file_stdio.h"
#include "delta/encode/delta_encode.h"
#include "delta/encode/delta_file.h"

namespace {

int Usage()
{
    fprintf(stderr,
            "usage: qdelta encode [-l LEVEL] [-t THREADS] [--index-limit BYTES] OLD NEW DELTA\n"
            "       qdelta apply OLD DELTA OUT\n       qdelta covers OLD NEW\n");
    return 2;
}

int Encode(int argc, char **argv)
{
    DeltaOptions o;
    int i = 0;
    for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
        unsigned long long v = strtoull(argv[i + 1], nullptr, 10);
        if (!strcmp(argv[i], "-l"))
            o.level = (int)v;
        else if (!strcmp(argv[i], "-t"))
            o.threads = (unsigned)v;
        else if (!strcmp(argv[i], "--index-limit"))
            o.fullIndexLimit = v;
        else
            return Usage();
    }
    if (argc - i != 3)
        return Usage();
    MappedFile old, neu;
    std::vector<uint8_t> delta;
    std::string error;
    int rc = 0;
    if (!old.Open(argv[i], &error) || !neu.Open(argv[i + 1], &error)) {
        fprintf(stderr, "qdelta: %s\n", error.c_str());
        rc = 1;
    } else if (!EncodeSmallestDelta(old.Data(), old.Size(), neu.Data(), neu.Size(), o, &delta,
                                    &error)) {
        fprintf(stderr, "qdelta: %s\n", error.c_str());
        rc = 1;
    } else {
        FILE *f = fopen(argv[i + 2], "wb");
        bool ok = f && fwrite(delta.data(), 1, delta.size(), f) == delta.size();
        if (f && fclose(f) != 0)
            ok = false;
        if (!ok) {
            fprintf(stderr, "qdelta: cannot write %s\n", argv[i + 2]);
            rc = 1;
        }
    }
    return rc;
}

int Covers(int argc, char **argv)
{
    if (argc != 2)
        return Usage();
    MappedFile old, neu;
    std::vector<DeltaCover> covers;
    std::string error;
    int rc = 1;
    if (old.Open(argv[0], &error) && neu.Open(argv[1], &error) &&
        FindCovers(old.Data(), old.Size(), neu.Data(), neu.Size(), DeltaOptions(), &covers,
                   &error)) {
        uint64_t covered = 0, agreeing = 0;
        for (const DeltaCover &c : covers) {
            covered += c.length;
            for (uint64_t k = 0; k < c.length; ++k)
                agreeing += old.Data()[c.oldPos + k] == neu.Data()[c.newPos + k];
        }
        printf("%zu covers, %llu of %llu bytes covered, %llu of them equal\n", covers.size(),
               (unsigned long long)covered, (unsigned long long)neu.Size(),
               (unsigned long long)agreeing);
        rc = 0;
    }
    return rc;
}

const char *ResultName(DeltaResult r)
{
    static const char *const names[] = {"done",          "in progress",     "corrupt",
                                        "base mismatch", "result mismatch", "read failed",
                                        "write failed",  "no memory",       "cannot create"};
    return names[(int)r];
}

int Apply(int argc, char **argv)
{
    if (argc != 3)
        return Usage();
    MappedFile delta;
    std::string error;
    DeltaResult r = DeltaResult::ReadFailed;
    if (delta.Open(argv[1], &error) && delta.Size() <= UINT32_MAX)
        r = ApplyDeltaFile(delta.Data(), (uint32_t)delta.Size(), argv[0], argv[2], true, nullptr);
    if (r != DeltaResult::Done) {
        fprintf(stderr, "qdelta: %s\n", ResultName(r));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    if (!strcmp(argv[1], "encode"))
        return Encode(argc - 2, argv + 2);
    if (!strcmp(argv[1], "apply"))
        return Apply(argc - 2, argv + 2);
    if (!strcmp(argv[1], "covers"))
        return Covers(argc - 2, argv + 2);
    return Usage();
}
