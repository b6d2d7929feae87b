// Deltas: the publisher's encoder against the installer's applier, on edge cases and on damage.
// The base is read through a reader that fails the test on any read outside it.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "stream/crc32.h"
#include "delta/apply/delta_apply.h"
#include "delta/common/delta_format.h"
#include "stream/block_stream.h"
#include "tests/stream/tracking_allocator.h"
#include "stream/encode/block_encoder.h"
#include "delta/encode/delta_encode.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct MemoryBase : DeltaBase {
    const Bytes *bytes;
    uint64_t reads = 0;
};

bool ReadBase(const DeltaBase *self, uint64_t offset, uint8_t *buffer, uint32_t length)
{
    MemoryBase *b = (MemoryBase *)self;
    EXPECT_LE(offset + length, b->bytes->size()) << "read outside the base";
    if (offset + length > b->bytes->size())
        return false;
    memcpy(buffer, b->bytes->data() + offset, length);
    ++b->reads;
    return true;
}

struct MemorySink : DeltaSink {
    Bytes written;
    uint32_t largestPiece = 0;
};

bool WriteSink(const DeltaSink *self, const uint8_t *bytes, uint32_t length)
{
    MemorySink *s = (MemorySink *)self;
    s->written.insert(s->written.end(), bytes, bytes + length);
    s->largestPiece = std::max(s->largestPiece, length);
    return true;
}

struct Applied {
    DeltaResult result;
    Bytes written;
    uint32_t largestPiece;
    uint64_t steps;
};

Applied Apply(const Bytes &base, const Bytes &delta, bool checkBase = true)
{
    MemoryBase b;
    b.size = base.size();
    b.read = ReadBase;
    b.bytes = &base;
    MemorySink s;
    s.write = WriteSink;
    DeltaApplier *a;
    DeltaResult r = OpenDelta(delta.data(), (uint32_t)delta.size(), &b, &s, checkBase, &a);
    uint64_t steps = 0, done = 0;
    while (r == DeltaResult::InProgress && steps < 1000000) {
        r = StepDelta(a);
        ++steps;
        if (r == DeltaResult::InProgress) {
            EXPECT_GE(DeltaWorkDone(a), done);
            done = DeltaWorkDone(a);
        } else if (r == DeltaResult::Done) {
            EXPECT_EQ(DeltaWorkDone(a), DeltaWorkTotal(a));
            EXPECT_EQ(DeltaWorkTotal(a), (checkBase ? base.size() : 0) + s.written.size());
        }
    }
    CloseDelta(a);
    return Applied{r, s.written, s.largestPiece, steps};
}

Bytes Encode(const Bytes &old, const Bytes &now)
{
    DeltaOptions o;
    o.level = 1;
    Bytes delta;
    std::string error;
    EXPECT_TRUE(EncodeDelta(old.data(), old.size(), now.data(), now.size(), o, &delta, &error))
        << error;
    return delta;
}

// Code-like bytes: words from a small vocabulary, so that matches and near-matches abound.
Bytes Words(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = (uint8_t)(rng() % 16 == 0 ? rng() : "\x8b\x45\xfc\x89\xe5\x55\xc3\x00"[i % 8]);
    return out;
}

Bytes Noise(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out(size);
    for (uint8_t &b : out)
        b = (uint8_t)rng();
    return out;
}

Bytes Concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Recompiled code: every 4-byte address after a point shifted by the same amount.
Bytes Shifted(Bytes code)
{
    for (size_t i = code.size() / 3; i + 4 <= code.size(); i += 64) {
        uint32_t v;
        memcpy(&v, &code[i], 4);
        v += 0x40;
        memcpy(&code[i], &v, 4);
    }
    return code;
}

struct Pair {
    const char *what;
    Bytes old;
    Bytes now;
};

TEST(Delta, RoundTripsEveryShapeOfChange)
{
    Bytes code = Words(300000, 1);
    Bytes noise = Noise(70000, 2);
    Bytes inserted = Concat(Concat(Bytes(code.begin(), code.begin() + 120000), noise),
                            Bytes(code.begin() + 120000, code.end()));
    const Pair pairs[] = {
        {"both empty", {}, {}},
        {"empty base", {}, code},
        {"empty result", code, {}},
        {"identical", code, code},
        {"base shorter", Bytes(code.begin(), code.begin() + 200000), code},
        {"base longer", code, Bytes(code.begin() + 1000, code.begin() + 250000)},
        {"all new", code, noise},
        {"inserted", code, inserted},
        {"addresses shifted", code, Shifted(code)},
        {"one byte", {7}, {8}},
    };
    for (const Pair &p : pairs) {
        SCOPED_TRACE(p.what);
        Bytes delta = Encode(p.old, p.now);
        Applied a = Apply(p.old, delta);
        EXPECT_EQ(a.result, DeltaResult::Done);
        EXPECT_TRUE(a.written == p.now);
        EXPECT_LE(a.largestPiece, (uint32_t)DeltaStepSize);
        EXPECT_EQ(Apply(p.old, delta, false).result, DeltaResult::Done);
    }
}

// Text of lines of words, a paragraph of it repeated as a licence is in every file of an archive.
Bytes Text(uint32_t seed)
{
    std::mt19937 rng(seed);
    auto line = [&rng]() {
        std::string s;
        for (uint32_t words = 1 + rng() % 12; words > 0; --words) {
            for (uint32_t letters = 1 + rng() % 8; letters > 0; --letters)
                s += (char)('a' + rng() % 26);
            s += words > 1 ? " " : "\n";
        }
        return s;
    };
    std::string paragraph, text;
    for (int i = 0; i < 40; ++i)
        paragraph += line();
    for (int i = 0; i < 1500; ++i)
        text += i % 100 == 0 ? paragraph : line();
    return Bytes(text.begin(), text.end());
}

Bytes WithCrLf(const Bytes &text)
{
    Bytes out;
    for (uint8_t c : text) {
        if (c == '\n')
            out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

TEST(Delta, SendsOnlyWhatChanged)
{
    Bytes code = Noise(400000, 4);
    Bytes now = Concat(Concat(Bytes(code.begin(), code.begin() + 150000), Noise(20000, 5)),
                       Bytes(code.begin() + 150000, code.end()));
    EXPECT_LT(Encode(code, now).size(), 20000u + 500);
    EXPECT_LT(Encode(Words(300000, 1), Shifted(Words(300000, 1))).size(), 3000u);
    // A line ending changed on every line: a short cover a line, each next to the previous one.
    Bytes text = Text(7);
    EXPECT_LT(Encode(text, WithCrLf(text)).size(), 4000u);
}

TEST(Delta, RefusesAnotherBaseBeforeWritingAnything)
{
    Bytes code = Words(100000, 6);
    Bytes delta = Encode(code, Shifted(code));
    Bytes modded = code;
    modded[99999] ^= 1;
    Applied a = Apply(modded, delta);
    EXPECT_EQ(a.result, DeltaResult::BaseMismatch);
    EXPECT_TRUE(a.written.empty());
    Applied shorter = Apply(Bytes(code.begin(), code.end() - 1), delta);
    EXPECT_EQ(shorter.result, DeltaResult::BaseMismatch);
    EXPECT_EQ(shorter.steps, 0u);
    EXPECT_EQ(Apply({}, Encode({1, 2, 3}, {4})).result, DeltaResult::BaseMismatch);
}

TEST(Delta, NamesAResultThatDoesNotMatch)
{
    Bytes code = Words(50000, 7);
    Bytes delta = Encode(code, Shifted(code));
    PutU32(&delta[28], GetU32(&delta[28]) ^ 1);
    EXPECT_EQ(Apply(code, delta).result, DeltaResult::ResultMismatch);
}

TEST(Delta, ANamedBaseIsReadAndKeptToItsRules)
{
    Bytes code = Words(60000, 9);
    Bytes plain = Encode(code, Shifted(code));
    Bytes named = plain;
    ASSERT_TRUE(NameDeltaBase(&named, u"Bin/old-1.0.jar"));
    EXPECT_FALSE(NameDeltaBase(&named, u"Bin/twice")) << "a delta names one base";
    EXPECT_FALSE(NameDeltaBase(&plain, u""));
    EXPECT_FALSE(NameDeltaBase(&plain, std::u16string(DeltaMaxBaseNameLength + 1, u'a')));
    DeltaHeader h;
    ASSERT_TRUE(GetDeltaHeader(named.data(), (uint32_t)named.size(), &h));
    ASSERT_EQ(h.baseNameLength, 15u);
    EXPECT_EQ(GetU16(h.baseName), u'B');
    EXPECT_EQ(h.headerSize, DeltaHeaderSize + 2 + 30);
    Applied a = Apply(code, named);
    EXPECT_EQ(a.result, DeltaResult::Done);
    EXPECT_TRUE(a.written == Shifted(code));
    const struct {
        const char *what;
        uint32_t at;  // byte changed, then its new value
        uint8_t value;
    } damaged[] = {
        {"no name but the flag", DeltaBaseNameAt, 0},
        {"a zero unit", DeltaBaseNameAt + 2 + 4, 0},
        {"a name past the delta", DeltaBaseNameAt + 1, 0x7F},
        {"an unknown flag", DeltaFlagsAt, DeltaFlagNamedBase | DeltaFlagRecipe},
    };
    for (const auto &row : damaged) {
        Bytes bad = named;
        bad[row.at] = row.value;
        if (row.at == DeltaBaseNameAt)
            bad[row.at + 1] = 0;
        EXPECT_FALSE(GetDeltaHeader(bad.data(), (uint32_t)bad.size(), &h)) << row.what;
    }
    EXPECT_FALSE(GetDeltaHeader(named.data(), DeltaHeaderSize + 10, &h)) << "cut in the name";
}

TEST(Delta, RefusesEveryTruncation)
{
    Bytes code = Words(60000, 8);
    Bytes delta = Encode(code, Concat(Shifted(code), Noise(3000, 9)));
    for (size_t cut = 0; cut < delta.size(); cut += cut < 64 ? 1 : 97) {
        Bytes part(delta.begin(), delta.begin() + cut);
        Applied a = Apply(code, part);
        EXPECT_EQ(a.result, DeltaResult::Corrupt) << "cut at " << cut;
    }
}

// A delta made by hand from its three sections' bytes.
Bytes HandMade(uint64_t baseSize, uint32_t baseCrc, uint64_t resultSize, const Bytes &control,
               const Bytes &difference, const Bytes &literal)
{
    BlockEncoderOptions o;
    o.blockSize = 4096;
    Bytes sections[3];
    const Bytes *raw[3] = {&control, &difference, &literal};
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(EncodeBlockStream(raw[i]->data(), raw[i]->size(), o, sections[i]));
    Bytes delta(DeltaHeaderSize);
    DeltaHeader h = {};
    h.baseSize = baseSize;
    h.baseCrc = baseCrc;
    h.resultSize = resultSize;
    h.controlSize = (uint32_t)sections[0].size();
    h.diffSize = (uint32_t)sections[1].size();
    PutDeltaHeader(delta.data(), h);
    for (const Bytes &s : sections)
        delta = Concat(delta, s);
    return delta;
}

Bytes Varints(std::initializer_list<uint64_t> values)
{
    Bytes out;
    for (uint64_t v : values) {
        uint8_t bytes[DeltaMaxVarintBytes];
        out.insert(out.end(), bytes, bytes + PutDeltaVarint(bytes, v));
    }
    return out;
}

TEST(Delta, RefusesRecordsOutsideTheBaseOrTheResult)
{
    Bytes base(1000, 0x11);
    const struct {
        const char *what;
        Bytes control;  // literal, cover, distance; the result is 3000 bytes
    } rows[] = {
        {"cover past the base's end", Varints({0, 16, ZigzagEncode(2000)})},
        {"cover before the base's start", Varints({0, 16, ZigzagEncode(-2)})},
        {"cover running over the base's end", Varints({1000, 1001, ZigzagEncode(0)})},
        {"second cover past the end", Varints({0, 990, 0, 0, 20, ZigzagEncode(0)})},
        {"literal past the result", Varints({3001, 0})},
        {"empty record", Varints({0, 0})},
        {"overlong varint", Bytes(11, 0xFF)},
        {"records end early", Varints({1000, 0})},
    };
    Bytes zeros = Varints({3000, 0});
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        Bytes delta = HandMade(base.size(), 0, 3000, row.control, zeros, Bytes(3000, 0x22));
        EXPECT_EQ(Apply(base, delta, false).result, DeltaResult::Corrupt);
    }
    // The same delta made right, then with differences that run out or are malformed.
    Bytes result = Concat(base, Bytes(2000, 0x22));
    uint32_t crc = Crc32(0, result.data(), (uint32_t)result.size());
    Bytes control = Varints({0, 1000, 0, 2000, 0});
    EXPECT_EQ(Apply(base, HandMade(base.size(), 0, 3000, control, zeros, Bytes(2000, 0x22)), false)
                  .result,
              DeltaResult::ResultMismatch);
    Bytes right = HandMade(base.size(), 0, 3000, control, zeros, Bytes(2000, 0x22));
    PutU32(&right[DeltaResultCrcAt], crc);
    EXPECT_EQ(Apply(base, right, false).result, DeltaResult::Done);
    for (const Bytes &runs : {Varints({999, 0}), Varints({0, 0}), Varints({10, 5, 1, 2})}) {
        Bytes bad = HandMade(base.size(), 0, 3000, control, runs, Bytes(2000, 0x22));
        PutU32(&bad[28], crc);
        EXPECT_EQ(Apply(base, bad, false).result, DeltaResult::Corrupt);
    }
}

TEST(Delta, RefusesSectionsOverTheBlockBudgetOrPastTheirBytes)
{
    Bytes delta = Encode(Words(1000, 10), Words(1200, 11));
    Bytes large = delta;
    PutU32(&large[DeltaHeaderSize + 8], DeltaMaxBlockSize + 1);  // the control section's blocks
    EXPECT_EQ(Apply(Words(1000, 10), large).result, DeltaResult::Corrupt);
    // A decoded size whose table could not lie in the section is refused before any allocation.
    Bytes endless = delta;
    PutU64(&endless[DeltaHeaderSize], 1ull << 40);
    TrackingAllocator tracking;
    EXPECT_EQ(Apply(Words(1000, 10), endless).result, DeltaResult::Corrupt);
    for (uint32_t size : tracking.requestedSizes())
        EXPECT_LT(size, 1u << 20);
}

TEST(Delta, HoldsItsBlocksAndTwoPiecesWhateverTheFileSize)
{
    // Over 4 MiB of differences: two blocks of them.
    Bytes old = Words(9u << 19, 12), now = Shifted(Concat(Noise(1u << 19, 13), old));
    Bytes delta = Encode(old, now);
    TrackingAllocator tracking;
    Applied a = Apply(old, delta);
    EXPECT_EQ(a.result, DeltaResult::Done);
    EXPECT_EQ(tracking.liveBlocks(), 0u);
    EXPECT_EQ(tracking.badFrees(), 0u);
    // Three block caches, the stored bytes of one block, the decoder's tables and the applier.
    EXPECT_LT(tracking.peakBytes(), (uint64_t)DeltaBlockBudget + DeltaMaxBlockSize);
    tracking.FailNth(3);
    EXPECT_NE(Apply(old, delta).result, DeltaResult::Done);
    EXPECT_EQ(tracking.liveBlocks(), 0u);
}

// The 32-bit tool's limit, taken here by every build: sizes over it are refused before a byte of
// either file is read (the buffers are smaller than the sizes refused).
TEST(Delta, RefusesInputsOverItsLimitBeforeReadingThem)
{
    Bytes bytes = Words(1000, 15);
    const struct {
        uint64_t oldSize, newSize;
        bool fits;
    } rows[] = {
        {1000, 0, true},        {600, 400, true},       {0, 1000, true},
        {600, 401, false},      {1001, 0, false},       {0, 1001, false},
        {UINT64_MAX, 2, false}, {2, UINT64_MAX, false}, {1ull << 40, 1ull << 40, false},
    };
    DeltaOptions o;
    o.level = 1;
    o.inputLimit = 1000;
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.oldSize) + " + " + std::to_string(row.newSize));
        Bytes delta;
        std::string error;
        EXPECT_EQ(
            EncodeDelta(bytes.data(), row.oldSize, bytes.data(), row.newSize, o, &delta, &error),
            row.fits)
            << error;
        if (!row.fits) {
            EXPECT_NE(error.find("this build encodes"), std::string::npos) << error;
        }
    }
    EXPECT_EQ(DeltaOptions().inputLimit, DeltaIn32BitProcess ? 1ull << 30 : UINT64_MAX);
}

TEST(Delta, SampledIndexOfALargeBaseStillFindsTheMoves)
{
    Bytes old = Noise(1u << 20, 14);
    Bytes now =
        Concat(Bytes(old.begin() + 500000, old.end()), Bytes(old.begin(), old.begin() + 500000));
    DeltaOptions o;
    o.level = 5;
    o.fullIndexLimit = 0;
    Bytes delta;
    std::string error;
    ASSERT_TRUE(EncodeDelta(old.data(), old.size(), now.data(), now.size(), o, &delta, &error));
    EXPECT_LT(delta.size(), 2000u);
    Applied a = Apply(old, delta);
    EXPECT_EQ(a.result, DeltaResult::Done);
    EXPECT_TRUE(a.written == now);
}

}  // namespace
