#include "tools/patchtool/builder/removals.h"

#include <algorithm>
#include <map>

#include "format/removal_list.h"
#include "tools/patchtool/builder/scan.h"
#include "tools/patchtool/format/gate.h"

namespace {

// One removed file and its old contents, each once.
struct RemovedFile {
    std::vector<uint64_t> sizes;
    std::vector<uint32_t> crcs;
};

// Adds the identity of old to removed unless it is there already.
bool AddContent(const TreeFile &old, RemovedFile *removed, std::string *error)
{
    FileIdentity id;
    if (!IdentifyTreeFile(old, &id, error)) {
        return false;
    }
    for (size_t i = 0; i < removed->sizes.size(); ++i) {
        if (removed->sizes[i] == id.size && removed->crcs[i] == id.crc) {
            return true;
        }
    }
    removed->sizes.push_back(id.size);
    removed->crcs.push_back(id.crc);
    return true;
}

// Returns: the folders of the new tree, case folded: those that hold its files and its empty ones.
std::set<std::string> NewFolders(const Plan &plan)
{
    std::set<std::string> folders;
    for (const std::string &folder : plan.newEmptyFolders) {
        folders.insert(FoldCase(folder));
    }
    for (const TreeFile &file : plan.newFiles) {
        std::string key = FoldCase(file.name);
        for (size_t slash = key.find('/'); slash != std::string::npos;
             slash = key.find('/', slash + 1)) {
            folders.insert(key.substr(0, slash));
        }
    }
    return folders;
}

// Appends a record for name, which Windows must be able to name as the installer gives it.
void Append(std::vector<uint8_t> *list, uint8_t kind, const std::string &name,
            const RemovedFile *contents, Report &report, uint32_t *count)
{
    std::u16string units;
    Utf8ToUtf16(name, &units);
    if (units.size() > MaxRemovalNameLength) {
        report.Warning(
            Format("%s has a name too long for the removal list; it stays", name.c_str()));
        return;
    }
    uint32_t identities = contents ? (uint32_t)contents->sizes.size() : 0;
    size_t at = list->size();
    list->resize(at + RemovalRecordSize((uint32_t)units.size(), identities));
    PutRemoval(list->data() + at, kind, units.data(), (uint32_t)units.size(),
               contents ? contents->sizes.data() : nullptr,
               contents ? contents->crcs.data() : nullptr, identities);
    ++*count;
}

}  // namespace

bool ComposeRemovals(const BuildOptions &o, const Plan &plan, Report &report,
                     std::vector<uint8_t> *list, std::string *error)
{
    std::set<std::string> newFiles;
    for (const TreeFile &file : plan.newFiles) {
        newFiles.insert(FoldCase(file.name));
    }
    std::set<std::string> newFolders = NewFolders(plan);
    std::map<std::string, RemovedFile> files;
    std::set<std::string> folders;
    // game.ini is the installer's own: it records the version there last, keeping the other keys.
    newFiles.insert(FoldCase(GameIniName));
    for (const OldTree &old : plan.olds) {
        for (const TreeFile &file : old.files) {
            if (!newFiles.count(FoldCase(file.name)) &&
                !AddContent(file, &files[file.name], error)) {
                return false;
            }
        }
        for (const std::string &folder : old.folders) {
            if (!newFolders.count(FoldCase(folder))) {
                folders.insert(folder);
            }
        }
    }
    std::vector<uint8_t> records;
    uint32_t count = 0;
    for (const auto &file : files) {
        Append(&records, RemoveFile, file.first, &file.second, report, &count);
        if (o.dryRun) {
            report.Listing(Format("remove %-48s %zu content(s)", file.first.c_str(),
                                  file.second.sizes.size()));
        }
    }
    // Reverse order puts "a/b" before "a".
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        Append(&records, RemoveFolder, *folder, nullptr, report, &count);
        if (o.dryRun) {
            report.Listing(Format("remove %s/ (when empty)", folder->c_str()));
        }
    }
    list->clear();
    if (count > 0) {
        list->resize(RemovalHeaderSize);
        PutRemovalHeader(list->data(), count);
        list->insert(list->end(), records.begin(), records.end());
    }
    return true;
}
