#include "tools/patchtool/builder/outputs.h"

#include <system_error>

#include "tools/patchtool/host/text.h"

// Outputs are never an input, never inside one, never hold one, and never lie inside each other.
bool CheckOutputs(const BuildOptions &o, const fs::path &stub, std::string *error)
{
    std::vector<std::pair<const char *, fs::path>> inputs = {{"--new", o.newFolder}};
    for (const OldVersion &old : o.olds) {
        inputs.push_back({"--old", old.folder});
    }
    if (!stub.empty()) {
        inputs.push_back({"--stub", stub});
    }
    if (!o.descriptionFile.empty()) {
        inputs.push_back({"--description-file", o.descriptionFile});
    }
    std::vector<std::pair<const char *, fs::path>> outputs = {{"--out", o.outFolder}};
    if (!o.installer.empty()) {
        outputs.push_back({"--installer", o.installer});
    }
    for (const auto &out : outputs) {
        for (const auto &in : inputs) {
            if (PathIsWithin(out.second, in.second) || PathIsWithin(in.second, out.second)) {
                *error = Format(
                    "%s %s and %s %s overlap: an output must lie outside every input, and no "
                    "input inside an output",
                    out.first, PathText(out.second).c_str(), in.first, PathText(in.second).c_str());
                return false;
            }
        }
    }
    if (outputs.size() == 2 &&
        (PathIsWithin(o.installer, o.outFolder) || PathIsWithin(o.outFolder, o.installer))) {
        *error =
            Format("--installer %s and --out %s must be apart: neither may be or hold the other",
                   PathText(o.installer).c_str(), PathText(o.outFolder).c_str());
        return false;
    }
    std::error_code ec;
    fs::file_status out = fs::symlink_status(o.outFolder, ec);
    if (fs::exists(out) && !o.force) {
        *error = Format("%s already exists (--force replaces it)", PathText(o.outFolder).c_str());
        return false;
    }
    fs::file_status installer = fs::status(o.installer, ec);
    if (!o.installer.empty() && fs::is_directory(installer)) {
        *error = Format("--installer %s is a folder; it is never replaced",
                        PathText(o.installer).c_str());
        return false;
    }
    if (!o.installer.empty() && fs::exists(fs::symlink_status(o.installer, ec)) && !o.force) {
        *error = Format("%s already exists (--force replaces it)", PathText(o.installer).c_str());
        return false;
    }
    return true;
}

// Moves the finished output into place; an existing one was allowed by CheckOutputs.
bool Publish(const fs::path &from, const fs::path &to, std::string *error)
{
    std::error_code ec;
    if (fs::exists(fs::symlink_status(to, ec))) {
        fs::remove_all(to, ec);
    }
    fs::rename(from, to, ec);
    if (ec) {
        *error = "cannot move the result to " + PathText(to) + ": " + ec.message();
        return false;
    }
    return true;
}
