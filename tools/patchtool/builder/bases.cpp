#include "tools/patchtool/builder/bases.h"

#include <algorithm>
#include <map>

#include "tools/patchtool/builder/scan.h"
#include "tools/patchtool/builder/similar.h"

namespace {

// Past this many old files of one size, a file's copy is not looked for by content.
const size_t MaxSameSizeCandidates = 8;

// Returns: the file name of a path, case folded, without its digits when digitless.
std::string FileNameKey(const std::string &name, bool digitless)
{
    std::string key = FoldCase(name.substr(name.rfind('/') + 1));
    if (digitless) {
        key.erase(
            std::remove_if(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; }),
            key.end());
    }
    return key;
}

// The old files that every old folder holds, as the first old folder has them.
struct Candidates {
    std::multimap<uint64_t, const TreeFile *> bySize;
    std::multimap<std::string, const TreeFile *> byName;
    std::multimap<std::string, const TreeFile *> byDigitless;
    std::map<const TreeFile *, FileIdentity> identities;  // read when first needed
    std::vector<const TreeFile *> all;
    SimilarityIndex similar;  // built when first needed
    bool indexed = false;
};

Candidates IndexOlds(const Plan &plan)
{
    Candidates c;
    for (const TreeFile &file : plan.olds[0].files) {
        bool everywhere = true;
        for (const OldTree &old : plan.olds) {
            everywhere = everywhere && old.byName.count(file.name) > 0;
        }
        if (everywhere) {
            c.bySize.insert({file.size, &file});
            c.byName.insert({FileNameKey(file.name, false), &file});
            c.byDigitless.insert({FileNameKey(file.name, true), &file});
            c.all.push_back(&file);
        }
    }
    return c;
}

// Returns: false with a reason; otherwise *copy is an old file of f's content, or null.
bool FindCopy(Candidates *c, const TreeFile &f, const TreeFile **copy, std::string *error)
{
    *copy = nullptr;
    auto range = c->bySize.equal_range(f.size);
    if (range.first == range.second ||
        (size_t)std::distance(range.first, range.second) > MaxSameSizeCandidates) {
        return true;
    }
    FileIdentity target;
    if (!IdentifyTreeFile(f, &target, error)) {
        return false;
    }
    for (auto it = range.first; it != range.second && !*copy; ++it) {
        auto known = c->identities.find(it->second);
        if (known == c->identities.end()) {
            FileIdentity id;
            if (!IdentifyTreeFile(*it->second, &id, error)) {
                return false;
            }
            known = c->identities.insert({it->second, id}).first;
        }
        *copy = SameIdentity(known->second, target) ? it->second : nullptr;
    }
    return true;
}

// Returns: the candidate under key closest in size to f, or null.
const TreeFile *Closest(const std::multimap<std::string, const TreeFile *> &index,
                        const std::string &key, const TreeFile &f)
{
    const TreeFile *best = nullptr;
    auto range = index.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
        uint64_t distance =
            it->second->size > f.size ? it->second->size - f.size : f.size - it->second->size;
        uint64_t bestDistance = !best                 ? UINT64_MAX
                                : best->size > f.size ? best->size - f.size
                                                      : f.size - best->size;
        best = distance < bestDistance ? it->second : best;
    }
    return best;
}

// Returns: false with a reason; otherwise *similar is the old file whose content f shares most,
// or null. The old files' fingerprints are read once, when first needed.
bool FindSimilar(Candidates *c, const TreeFile &f, const TreeFile **similar, std::string *error)
{
    *similar = nullptr;
    if (f.size < MinSimilarBytes) {
        return true;
    }
    for (size_t i = 0; !c->indexed && i < c->all.size(); ++i) {
        if (c->all[i]->size >= MinSimilarBytes &&
            !AddToSimilarityIndex(&c->similar, *c->all[i], error)) {
            return false;
        }
    }
    c->indexed = true;
    return MostSimilar(c->similar, f, similar, error);
}

}  // namespace

bool FindNamedBases(const Plan &plan, std::vector<FileWork> &files, std::string *error)
{
    if (plan.olds.empty() || !plan.rangesAllowed) {
        return true;
    }
    Candidates c = IndexOlds(plan);
    for (FileWork &f : files) {
        if (!f.olds.empty()) {
            continue;
        }
        const TreeFile *base = nullptr;
        if (!FindCopy(&c, *f.file, &base, error)) {
            return false;
        }
        base = base ? base : Closest(c.byName, FileNameKey(f.file->name, false), *f.file);
        base = base ? base : Closest(c.byDigitless, FileNameKey(f.file->name, true), *f.file);
        if (!base && !FindSimilar(&c, *f.file, &base, error)) {
            return false;
        }
        if (base) {
            for (const OldTree &old : plan.olds) {
                f.olds.push_back(old.byName.at(base->name));
            }
            Utf8ToUtf16(base->name, &f.baseName);
            f.rangesPossible = false;
        }
    }
    return true;
}
