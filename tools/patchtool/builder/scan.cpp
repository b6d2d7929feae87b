#include "tools/patchtool/builder/scan.h"

#include "delta/apply/delta_file_stdio.h"
#include "tools/patchtool/format/gate.h"

bool IdentifyTreeFile(const TreeFile &file, FileIdentity *id, std::string *error)
{
    if (!IdentifyFile(file.path, id)) {
        *error = "cannot read " + PathText(file.path) + ": " + SystemReason();
        return false;
    }
    return true;
}

namespace {

// The installer opens files with plain paths of at most this many characters (MAX_PATH less
// its terminating zero).
const size_t MaxPlainPathChars = 259;
// The shortest game folder it can run from ("C:\G\Update\..\") leaves this many for a name.
const size_t PlainPathNameLimit = MaxPlainPathChars - 15;
// Longer names leave less than 100 characters for the player's game folder path.
const size_t LongNameWarning = 159;

// Returns: false with a reason for a name no player could install.
bool CheckNewName(const TreeFile &file, const std::u16string &name, std::string *error)
{
    std::string reason;
    if (!CheckTargetName(name, &reason)) {
        *error = Format("the name %s cannot be installed: %s", file.name.c_str(), reason.c_str());
        return false;
    }
    if (name.size() > PlainPathNameLimit) {
        *error = Format("the name %s has %zu characters: the installer opens plain paths of at "
                        "most %zu characters "
                        "(MAX_PATH), game folder included, so no player could install it",
                        file.name.c_str(), name.size(), MaxPlainPathChars);
        return false;
    }
    return true;
}

bool CheckNewNames(const Plan &plan, Report &report, std::string *error)
{
    std::map<std::string, std::string> folded;
    size_t longest = 0;
    std::string longestName;
    for (const TreeFile &file : plan.newFiles) {
        std::u16string name;
        Utf8ToUtf16(file.name, &name);
        if (!CheckNewName(file, name, error)) {
            return false;
        }
        if (name.size() > longest) {
            longest = name.size(), longestName = file.name;
        }
        if (!folded.emplace(FoldCase(file.name), file.name).second) {
            *error = Format("%s and %s are one file on Windows",
                            folded[FoldCase(file.name)].c_str(), file.name.c_str());
            return false;
        }
    }
    if (longest > LongNameWarning) {
        report.Warning(Format(
            "%s has %zu characters; the installer fails where the game folder's path is longer "
            "than %zu characters (plain paths: %zu at most)",
            longestName.c_str(), longest, MaxPlainPathChars - longest, MaxPlainPathChars));
    }
    return true;
}

// Reads each old folder's version as the installer would and applies the installer's gate.
bool CheckOldVersions(const BuildOptions &o, std::string *error)
{
    for (const OldVersion &old : o.olds) {
        std::vector<uint8_t> ini;
        if (!ReadFileIfPresent(old.folder / PathFromUtf8(GameIniName), &ini, error)) {
            *error = "--old: " + *error;
            return false;
        }
        PackedVersion installed = GameIniVersion(ini);
        if (old.claimed && installed != old.version) {
            *error = Format("--old %s=%s: its %s says %s, and that is what the installer reads",
                            VersionText(old.version).c_str(), PathText(old.folder).c_str(),
                            GameIniName, VersionText(installed).c_str());
            return false;
        }
        *error = GateRefusal(old.folder, installed, GateTerms{o.target, o.op, o.base});
        if (!error->empty()) {
            return false;
        }
    }
    return true;
}

// Returns: what is wrong where the new file f meets old tree k, or null.
const char *KindChange(const std::set<std::string> &oldFiles,
                       const std::set<std::string> &oldFolders, const TreeFile &f,
                       std::string *where)
{
    std::string key = FoldCase(f.name);
    *where = f.name;
    if (oldFolders.count(key)) {
        return "is a folder in the old folder and a file in the new one";
    }
    for (size_t slash = key.find('/'); slash != std::string::npos;
         slash = key.find('/', slash + 1)) {
        if (oldFiles.count(key.substr(0, slash))) {
            *where = f.name.substr(0, slash);
            return "is a file in the old folder and a folder in the new one";
        }
    }
    return nullptr;
}

// A file that became a folder, or the reverse, cannot be installed: the installer removes what the
// new version dropped only after every write.
bool CheckKindChanges(const Plan &plan, const BuildOptions &o, std::string *error)
{
    for (size_t k = 0; k < plan.olds.size(); ++k) {
        std::set<std::string> oldFiles;
        std::set<std::string> oldFolders;
        for (const TreeFile &f : plan.olds[k].files) {
            oldFiles.insert(FoldCase(f.name));
        }
        for (const std::string &f : plan.olds[k].folders) {
            oldFolders.insert(FoldCase(f));
        }
        for (const TreeFile &f : plan.newFiles) {
            std::string where;
            if (const char *problem = KindChange(oldFiles, oldFolders, f, &where)) {
                *error =
                    Format("%s %s (%s): the installer removes only after every write, so every "
                           "player's installation would fail there",
                           where.c_str(), problem, PathText(o.olds[k].folder).c_str());
                return false;
            }
        }
    }
    return true;
}

bool ListOldTrees(const BuildOptions &o, Plan *plan, std::string *error)
{
    plan->olds.resize(o.olds.size());
    for (size_t k = 0; k < o.olds.size(); ++k) {
        OldTree &tree = plan->olds[k];
        std::vector<std::string> emptyFolders;
        if (!ListTree(o.olds[k].folder, &tree.files, &emptyFolders, error)) {
            *error = "--old: " + *error;
            return false;
        }
        tree.folders.insert(emptyFolders.begin(), emptyFolders.end());
        for (const TreeFile &file : tree.files) {
            tree.byName[file.name] = &file;
            for (size_t slash = file.name.find('/'); slash != std::string::npos;
                 slash = file.name.find('/', slash + 1)) {
                tree.folders.insert(file.name.substr(0, slash));
            }
        }
    }
    return true;
}

}  // namespace

bool CheckInputs(const BuildOptions &o, Plan *plan, Report &report, std::string *error)
{
    std::vector<std::string> emptyFolders;
    if (!ListTree(o.newFolder, &plan->newFiles, &emptyFolders, error)) {
        *error = "--new: " + *error;
        return false;
    }
    plan->newEmptyFolders = emptyFolders;
    for (const std::string &folder : emptyFolders) {
        report.Warning(Format("the empty folder %s cannot be part of a patch", folder.c_str()));
    }
    if (!CheckNewNames(*plan, report, error) || !CheckOldVersions(o, error) ||
        !ListOldTrees(o, plan, error) || !CheckKindChanges(*plan, o, error)) {
        return false;
    }
    if (!o.olds.empty() && o.op == GateOperator::UpTo && !o.allOldVersions) {
        plan->rangesAllowed = false;
        report.Note(Format(
            "with --op <= the installer accepts every version up to %s, and a player may hold one "
            "that no --old shows: every file goes in whole. Give every accepted version with --old "
            "and add --all-old-versions for range entries.",
            VersionText(o.base).c_str()));
    }
    return true;
}
