// The choice of a target's delta, which the installer and verify share: one row per situation.
#include <gtest/gtest.h>

#include <vector>

#include "delta/common/delta_choice.h"

namespace {

DeltaHeader Delta(FileIdentity base, FileIdentity result)
{
    DeltaHeader h = {};
    h.baseSize = base.size;
    h.baseCrc = base.crc;
    h.resultSize = result.size;
    h.resultCrc = result.crc;
    return h;
}

const FileIdentity A = {100, 0xA}, B = {100, 0xB}, C = {200, 0xC}, New = {300, 0x1};
const FileIdentity NewToo = {300, 0x2};  // a result another delta of the target names

TEST(ChooseDelta, TableOfSituations)
{
    const struct {
        const char *what;
        bool present;
        FileIdentity installed;
        std::vector<DeltaHeader> deltas;
        DeltaChoiceKind kind;
        uint32_t delta;
    } rows[] = {
        {"the base of the only delta", true, A, {Delta(A, New)}, DeltaChoiceKind::Apply, 0},
        {"the base of the second delta",
         true,
         B,
         {Delta(A, New), Delta(B, New)},
         DeltaChoiceKind::Apply,
         1},
        {"already the result", true, New, {Delta(A, New)}, DeltaChoiceKind::Skip, 0},
        {"the result of a later delta, not of the first",
         true,
         NewToo,
         {Delta(A, New), Delta(B, NewToo)},
         DeltaChoiceKind::Skip,
         0},
        {"a result wins over a base it also is",
         true,
         A,
         {Delta(B, New), Delta(A, A)},
         DeltaChoiceKind::Skip,
         0},
        {"same size, other CRC-32: modded",
         true,
         FileIdentity{100, 0xD},
         {Delta(A, New)},
         DeltaChoiceKind::Refuse,
         0},
        {"same CRC-32, other size",
         true,
         FileIdentity{101, 0xA},
         {Delta(A, New)},
         DeltaChoiceKind::Refuse,
         0},
        {"missing", false, A, {Delta(A, New)}, DeltaChoiceKind::Refuse, 0},
        {"no delta at all", true, A, {}, DeltaChoiceKind::Refuse, 0},
        {"an empty base",
         true,
         FileIdentity{0, 0},
         {Delta(C, New), Delta({0, 0}, New)},
         DeltaChoiceKind::Apply,
         1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        DeltaChoice choice =
            ChooseDelta(row.present, row.installed, row.deltas.data(), (uint32_t)row.deltas.size());
        EXPECT_EQ(choice.kind, row.kind);
        if (row.kind == DeltaChoiceKind::Apply) {
            EXPECT_EQ(choice.delta, row.delta);
        }
    }
}

}  // namespace
