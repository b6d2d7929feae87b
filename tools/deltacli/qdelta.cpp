// qdelta encode [-l LEVEL] [-t THREADS] [--index-limit BYTES] OLD NEW DELTA
// qdelta apply OLD DELTA OUT
// qdelta covers OLD NEW        (prints how much of NEW the covers make from OLD)
// Encodes a delta with the publisher's encoder, or applies one with the installer's applier, the
// base read by offset and the result written in order, as the installer does. Exit codes: 0 done,
// 1 a failure (the applier's result is named), 2 a bad command line.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "payload/delta_apply.h"
#include "tools/patchtool/builder/delta.h"

namespace {

struct Mapped {
    const uint8_t *data = nullptr;
    uint64_t size = 0;
    int fd = -1;
};

bool Map(const char *path, Mapped *m)
{
    m->fd = open(path, O_RDONLY);
    struct stat st;
    if (m->fd < 0 || fstat(m->fd, &st) != 0)
        return false;
    m->size = (uint64_t)st.st_size;
    if (m->size == 0)
        return true;
    void *p = mmap(nullptr, m->size, PROT_READ, MAP_PRIVATE, m->fd, 0);
    if (p == MAP_FAILED)
        return false;
    m->data = (const uint8_t *)p;
    return true;
}

void Unmap(Mapped *m)
{
    if (m->data)
        munmap((void *)m->data, m->size);
    if (m->fd >= 0)
        close(m->fd);
}

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
    Mapped old, neu;
    std::vector<uint8_t> delta;
    std::string error;
    int rc = 0;
    if (!Map(argv[i], &old) || !Map(argv[i + 1], &neu)) {
        fprintf(stderr, "qdelta: cannot read %s or %s\n", argv[i], argv[i + 1]);
        rc = 1;
    } else if (!EncodeDelta(old.data, old.size, neu.data, neu.size, o, &delta, &error)) {
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
    Unmap(&old);
    Unmap(&neu);
    return rc;
}

int Covers(int argc, char **argv)
{
    if (argc != 2)
        return Usage();
    Mapped old, neu;
    std::vector<DeltaCover> covers;
    std::string error;
    int rc = 1;
    if (Map(argv[0], &old) && Map(argv[1], &neu) &&
        FindCovers(old.data, old.size, neu.data, neu.size, DeltaOptions(), &covers, &error)) {
        uint64_t covered = 0, agreeing = 0;
        for (const DeltaCover &c : covers) {
            covered += c.length;
            for (uint64_t k = 0; k < c.length; ++k)
                agreeing += old.data[c.oldPos + k] == neu.data[c.newPos + k];
        }
        printf("%zu covers, %llu of %llu bytes covered, %llu of them equal\n", covers.size(),
               (unsigned long long)covered, (unsigned long long)neu.size,
               (unsigned long long)agreeing);
        rc = 0;
    }
    Unmap(&old);
    Unmap(&neu);
    return rc;
}

struct FileBase : DeltaBase {
    int fd;
};

bool ReadAt(const DeltaBase *self, uint64_t offset, uint8_t *buffer, uint32_t length)
{
    return pread(static_cast<const FileBase *>(self)->fd, buffer, length, (off_t)offset) ==
           (ssize_t)length;
}

struct FileSink : DeltaSink {
    FILE *file;
};

bool WriteOut(const DeltaSink *self, const uint8_t *bytes, uint32_t length)
{
    return fwrite(bytes, 1, length, static_cast<const FileSink *>(self)->file) == length;
}

const char *ResultName(DeltaResult r)
{
    static const char *const names[] = {"done",          "in progress",     "corrupt",
                                        "base mismatch", "result mismatch", "read failed",
                                        "write failed",  "no memory"};
    return names[(int)r];
}

int Apply(int argc, char **argv)
{
    if (argc != 3)
        return Usage();
    Mapped delta;
    FileBase base;
    base.read = ReadAt;
    base.fd = open(argv[0], O_RDONLY);
    struct stat st;
    FileSink sink;
    sink.write = WriteOut;
    sink.file = nullptr;
    DeltaResult r = DeltaResult::ReadFailed;
    if (base.fd >= 0 && fstat(base.fd, &st) == 0 && Map(argv[1], &delta) &&
        delta.size <= UINT32_MAX && (sink.file = fopen(argv[2], "wb"))) {
        base.size = (uint64_t)st.st_size;
        DeltaApplier *a;
        r = OpenDelta(delta.data, (uint32_t)delta.size, &base, &sink, true, &a);
        while (r == DeltaResult::InProgress)
            r = StepDelta(a);
        CloseDelta(a);
        if (fclose(sink.file) != 0 && r == DeltaResult::Done)
            r = DeltaResult::WriteFailed;
    }
    Unmap(&delta);
    if (base.fd >= 0)
        close(base.fd);
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
