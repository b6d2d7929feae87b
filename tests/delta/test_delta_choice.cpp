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
const FileFacts Missing = {false, {0, 0}};
const FileFacts CompleteTemporary = {true, New}, HalfTemporary = {true, {150, 0x7}};

FileFacts Is(FileIdentity identity)
{
    return FileFacts{true, identity};
}

TEST(ChooseDelta, TableOfSituations)
{
    const struct {
        const char *what;
        FileFacts target;
        std::vector<DeltaHeader> deltas;
        std::vector<FileFacts> bases;  // empty: each base is the target
        const FileFacts *temporary;
        DeltaChoiceKind kind;
        uint32_t delta;
    } rows[] = {
        {"the base of the only delta",
         Is(A),
         {Delta(A, New)},
         {},
         nullptr,
         DeltaChoiceKind::Apply,
         0},
        {"the base of the second delta",
         Is(B),
         {Delta(A, New), Delta(B, New)},
         {},
         nullptr,
         DeltaChoiceKind::Apply,
         1},
        {"already the result", Is(New), {Delta(A, New)}, {}, nullptr, DeltaChoiceKind::Skip, 0},
        {"the result of a later delta, not of the first",
         Is(NewToo),
         {Delta(A, New), Delta(B, NewToo)},
         {},
         nullptr,
         DeltaChoiceKind::Skip,
         0},
        {"a result wins over a base it also is",
         Is(A),
         {Delta(B, New), Delta(A, A)},
         {},
         nullptr,
         DeltaChoiceKind::Skip,
         0},
        {"same size, other CRC-32: modded",
         Is(FileIdentity{100, 0xD}),
         {Delta(A, New)},
         {},
         nullptr,
         DeltaChoiceKind::Refuse,
         0},
        {"same CRC-32, other size",
         Is(FileIdentity{101, 0xA}),
         {Delta(A, New)},
         {},
         nullptr,
         DeltaChoiceKind::Refuse,
         0},
        {"missing", Missing, {Delta(A, New)}, {}, nullptr, DeltaChoiceKind::Refuse, 0},
        {"no delta at all", Is(A), {}, {}, nullptr, DeltaChoiceKind::Refuse, 0},
        {"an empty base",
         Is(FileIdentity{0, 0}),
         {Delta(C, New), Delta({0, 0}, New)},
         {},
         nullptr,
         DeltaChoiceKind::Apply,
         1},
        {"a new file from a base elsewhere",
         Missing,
         {Delta(A, New)},
         {Is(A)},
         nullptr,
         DeltaChoiceKind::Apply,
         0},
        {"a base elsewhere that was modded",
         Missing,
         {Delta(A, New)},
         {Is(B)},
         nullptr,
         DeltaChoiceKind::Refuse,
         0},
        {"a base elsewhere already gone, the temporary complete",
         Is(C),
         {Delta(A, New)},
         {Missing},
         &CompleteTemporary,
         DeltaChoiceKind::MoveTemporary,
         0},
        {"a half-written temporary",
         Is(C),
         {Delta(A, New)},
         {Missing},
         &HalfTemporary,
         DeltaChoiceKind::Refuse,
         0},
        {"a base still there wins over a complete temporary",
         Is(A),
         {Delta(A, New)},
         {},
         &CompleteTemporary,
         DeltaChoiceKind::Apply,
         0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<FileFacts> bases = row.bases;
        if (bases.empty())
            bases.assign(row.deltas.size(), row.target);
        DeltaChoice choice = ChooseDelta(row.target, row.deltas.data(), bases.data(),
                                         (uint32_t)row.deltas.size(), row.temporary);
        EXPECT_EQ(choice.kind, row.kind);
        if (row.kind == DeltaChoiceKind::Apply) {
            EXPECT_EQ(choice.delta, row.delta);
        }
    }
}

}  // namespace
