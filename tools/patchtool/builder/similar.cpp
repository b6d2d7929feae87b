#include "tools/patchtool/builder/similar.h"

#include <map>
#include <vector>

namespace {

const uint64_t AnchorMask = 0xFFFull << 52;  // top 12 bits: one place in 4096
const size_t MinSharedAnchors = 4;
const size_t SharedFraction = 4;  // a quarter of the file's anchors
const size_t PieceBytes = 1 << 20;

// A fixed table of 256 random 64-bit values (splitmix64 from a fixed seed), the rolling hash's.
struct Gear {
    uint64_t values[256];
    Gear()
    {
        uint64_t state = 0x51A7C0DEull;
        for (uint64_t &v : values) {
            uint64_t z = (state += 0x9E3779B97F4A7C15ull);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            v = z ^ (z >> 31);
        }
    }
};

// Calls add(context, fingerprint) at each anchor of the file.
// Returns: false with a reason when it cannot be read.
template <typename Add> bool ForEachAnchor(const TreeFile &file, Add add, std::string *error)
{
    static const Gear gear;
    FILE *in = OpenFile(file.path, "rb");
    if (!in) {
        *error = "cannot open " + PathText(file.path) + ": " + SystemReason();
        return false;
    }
    std::vector<uint8_t> piece(PieceBytes);
    uint64_t hash = 0;
    size_t n;
    while ((n = fread(piece.data(), 1, piece.size(), in)) > 0) {
        for (size_t i = 0; i < n; ++i) {
            hash = (hash << 1) + gear.values[piece[i]];
            if ((hash & AnchorMask) == 0) {
                add(hash);
            }
        }
    }
    bool ok = !ferror(in);
    fclose(in);
    if (!ok) {
        *error = "cannot read " + PathText(file.path) + ": " + SystemReason();
    }
    return ok;
}

}  // namespace

bool AddToSimilarityIndex(SimilarityIndex *index, const TreeFile &file, std::string *error)
{
    return ForEachAnchor(
        file,
        [&](uint64_t fingerprint) {
            index->owners.insert({fingerprint, &file});
        },
        error);
}

bool MostSimilar(const SimilarityIndex &index, const TreeFile &f, const TreeFile **best,
                 std::string *error)
{
    std::map<const TreeFile *, size_t> shared;
    size_t anchors = 0;
    bool ok = ForEachAnchor(
        f,
        [&](uint64_t fingerprint) {
            ++anchors;
            auto owner = index.owners.find(fingerprint);
            if (owner != index.owners.end()) {
                ++shared[owner->second];
            }
        },
        error);
    *best = nullptr;
    size_t most = 0;
    for (const auto &s : shared) {
        if (s.second > most) {
            most = s.second;
            *best = s.first;
        }
    }
    if (most < MinSharedAnchors || most * SharedFraction < anchors) {
        *best = nullptr;
    }
    return ok;
}
