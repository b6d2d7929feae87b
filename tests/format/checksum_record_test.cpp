// The installer's CRC-32 and its check of a package against the checksum record, over an
// in-memory package. Records are made with a reference CRC-32: zlib's on the host, ntdll's on
// Windows.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "format/checksum_record.h"
#include "stream/crc32.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <zlib.h>
#endif

namespace {

uint32_t Reference(uint32_t previous, const uint8_t *bytes, uint32_t size)
{
#ifdef _WIN32
    typedef DWORD(WINAPI * RtlCrc32)(DWORD, const BYTE *, INT);
    static const RtlCrc32 compute = reinterpret_cast<RtlCrc32>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlComputeCrc32")));
    return compute(previous, bytes, (INT)size);
#else
    return (uint32_t)crc32(previous, bytes, size);
#endif
}

struct Package {
    PackageView view;  // first member: the check passes &view back
    std::map<uint16_t, std::vector<uint8_t>> resources;

    Package() : view{Find, Crc32} {}

    static bool Find(const PackageView *self, uint16_t id, const uint8_t **bytes, uint32_t *size)
    {
        const Package *p = (const Package *)self;
        auto it = p->resources.find(id);
        if (it == p->resources.end())
            return false;
        *bytes = it->second.data();
        *size = (uint32_t)it->second.size();
        return true;
    }

    // The record of the resources as they are now: the descriptor, then 1601 upward.
    std::vector<uint8_t> Record() const
    {
        std::vector<uint8_t> r = {'Q', 'C', 'R', 'C', 1, 0, (uint8_t)resources.size(), 0};
        auto add = [&r](uint16_t id, const std::vector<uint8_t> &bytes) {
            uint32_t crc = Reference(0, bytes.data(), (uint32_t)bytes.size());
            uint32_t size = (uint32_t)bytes.size();
            for (uint32_t v : {(uint32_t)id, size, crc})
                for (int i = 0; i < 4; ++i)
                    r.push_back((uint8_t)(v >> (8 * i)));
        };
        add(2000, resources.at(2000));
        for (const auto &item : resources)
            if (item.first != 2000)
                add(item.first, item.second);
        return r;
    }

    bool Check(const std::vector<uint8_t> &record) const
    {
        return PackageMatchesRecord(record.data(), (uint32_t)record.size(), &view);
    }
};

Package ThreeChunks()
{
    Package p;
    p.resources[2000] = {'1', '.', '1', ' ', '=', ' ', '1', '\r', '\n'};
    p.resources[1601] = std::vector<uint8_t>(5000, 0x5A);
    p.resources[1602] = {};
    p.resources[1603] = {0, 1, 2, 3, 4, 5, 6, 7};
    return p;
}

TEST(ChecksumRecord, Crc32IsTheReferenceAtAnyLengthAndAlignment)
{
    std::vector<uint8_t> data(70000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (uint8_t)((i * 2654435761u) >> 13);
    for (uint32_t start = 0; start < 8; ++start) {
        for (uint32_t size : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 4096u, 65537u}) {
            EXPECT_EQ(Crc32(0, data.data() + start, size), Reference(0, data.data() + start, size))
                << start << " " << size;
        }
    }
    const uint8_t check[] = "123456789";
    EXPECT_EQ(Crc32(0, check, 9), 0xCBF43926u);
    EXPECT_EQ(Crc32(Crc32(0, check, 3), check + 3, 6), 0xCBF43926u);  // continues like zlib's
    EXPECT_EQ(Reference(0, check, 9), 0xCBF43926u);
}

TEST(ChecksumRecord, AnIntactPackageMatches)
{
    Package p = ThreeChunks();
    std::vector<uint8_t> record = p.Record();
    EXPECT_TRUE(p.Check(record));
    ChecksumRecord opened;
    ASSERT_TRUE(OpenChecksumRecord(record.data(), (uint32_t)record.size(), &opened));
    EXPECT_EQ(opened.count, 4u);
    EXPECT_EQ(FirstUnlistedChunk(opened), 1604);
    RecordEntry entry = RecordEntryAt(opened, 1);
    EXPECT_EQ(entry.id, 1601);
    EXPECT_EQ(entry.size, 5000u);
    // A descriptor alone, with no chunk at all, is a sound record too.
    Package bare;
    bare.resources[2000] = {'x'};
    EXPECT_TRUE(bare.Check(bare.Record()));
}

TEST(ChecksumRecord, EveryDamageIsFound)
{
    const Package intact = ThreeChunks();
    const std::vector<uint8_t> record = intact.Record();
    struct Case {
        const char *what;
        void (*damage)(Package *);
        EntryCheck entry1601;
    } cases[] = {
        {"flipped descriptor byte", [](Package *p) { p->resources[2000][3] ^= 0x01; },
         EntryCheck::Matches},
        {"flipped chunk byte", [](Package *p) { p->resources[1601][4999] ^= 0x80; },
         EntryCheck::SumDiffers},
        {"flipped last chunk", [](Package *p) { p->resources[1603][0] ^= 0x10; },
         EntryCheck::Matches},
        {"truncated chunk", [](Package *p) { p->resources[1601].pop_back(); },
         EntryCheck::SizeDiffers},
        {"grown empty chunk", [](Package *p) { p->resources[1602].push_back(0); },
         EntryCheck::Matches},
        {"missing chunk", [](Package *p) { p->resources.erase(1601); }, EntryCheck::Missing},
        {"unlisted chunk", [](Package *p) { p->resources[1604] = {9}; }, EntryCheck::Matches},
    };
    ChecksumRecord opened;
    ASSERT_TRUE(OpenChecksumRecord(record.data(), (uint32_t)record.size(), &opened));
    for (const Case &c : cases) {
        Package p = intact;
        c.damage(&p);
        EXPECT_FALSE(p.Check(record)) << c.what;
        EXPECT_EQ(CheckRecordEntry(RecordEntryAt(opened, 1), &p.view), c.entry1601) << c.what;
    }
}

TEST(ChecksumRecord, MalformedRecordsAreRefused)
{
    const Package p = ThreeChunks();
    const std::vector<uint8_t> good = p.Record();
    struct Case {
        const char *what;
        size_t at;  // byte to change, or SIZE_MAX
        uint8_t value;
        int sizeChange;
    } cases[] = {
        {"magic", 3, 'X', 0},
        {"format 2", 4, 2, 0},
        {"count says 3", 6, 3, 0},
        {"count 0", 6, 0, 0},
        {"descriptor not first", 8, 0x41, 0},
        {"gap in chunk ids", 8 + 2 * 12, 0x43, 0},
        {"padding not zero", 8 + 12 + 2, 1, 0},
        {"one byte short", SIZE_MAX, 0, -1},
        {"one byte over", SIZE_MAX, 0, 1},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> record = good;
        if (c.at != SIZE_MAX)
            record[c.at] = c.value;
        record.resize(record.size() + c.sizeChange);
        ChecksumRecord opened;
        EXPECT_FALSE(OpenChecksumRecord(record.data(), (uint32_t)record.size(), &opened)) << c.what;
        EXPECT_FALSE(p.Check(record)) << c.what;
    }
    // Shorter than the header, read without running past it.
    for (uint32_t size = 0; size < RecordHeaderSize; ++size) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + size);
        EXPECT_FALSE(p.Check(cut)) << size;
    }
}

}  // namespace
