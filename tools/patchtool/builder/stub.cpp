#include "tools/patchtool/builder/stub.h"

#include <stdlib.h>

#include <system_error>

#include "resources/resource.h"
#include "tools/patchtool/format/patch_format.h"
#include "tools/patchtool/host/process.h"
#include "tools/patchtool/pe/resource_types.h"

namespace {

const char StubFileName[] = "qpatch-stub.exe";

// Returns: true when string id is present and not empty in the string tables of language.
bool HasString(const std::vector<uint8_t> &image, const std::vector<PeResource> &items, uint16_t id,
               uint16_t language)
{
    for (const PeResource &r : items) {
        if (r.type.named || r.type.id != ResourceTypeString || r.name.named ||
            r.name.id != (id >> 4) + 1 || r.language != language) {
            continue;
        }
        uint64_t at = r.imageOffset;
        uint64_t end = r.imageOffset + r.size;
        for (unsigned index = 0; at + 2 <= end; ++index) {
            uint16_t length = GetU16(&image[at]);
            if (index == (id & 15u)) {
                return length > 0 && at + 2 + 2ull * length <= end;
            }
            at += 2 + 2ull * length;
        }
    }
    return false;
}

// The stub must be this project's installer without a patch: its dialog, icon and both
// languages' texts, and no QPATCH or QPATCHDELTA resource.
bool RecognisesStub(const std::vector<uint8_t> &image, const std::vector<PeResource> &items,
                    std::string *reason)
{
    if (!FindPeResource(items, IdKey(ResourceTypeDialog), IdKey(IDD_UPDATE)) ||
        !FindPeResource(items, IdKey(ResourceTypeGroupIcon), IdKey(IDI_APP))) {
        *reason = "it lacks the installer's dialog or icon";
        return false;
    }
    for (uint16_t language : {2052, 1028}) {
        for (uint16_t id = IDS_TITLE; id <= IDS_LAST_TEXT; ++id) {
            if (!HasString(image, items, id, language)) {
                *reason = "it lacks the installer's text " + std::to_string(id) + " in language " +
                          std::to_string(language);
                return false;
            }
        }
    }
    for (const PeResource &r : items) {
        if (r.type.named &&
            (r.type.name == PatchResourceType || r.type.name == DeltaResourceType)) {
            *reason = "it already carries a patch (QPATCH or QPATCHDELTA resources)";
            return false;
        }
    }
    return true;
}

}  // namespace

fs::path ResolveStub(const fs::path &given)
{
    if (!given.empty()) {
        return given;
    }
    if (const char *env = getenv("QPATCH_STUB")) {
        return PathFromUtf8(env);
    }
    // Next to the tool, as shipped, or where the windows build tree puts it.
    fs::path here = OwnExecutable().parent_path();
    fs::path beside = here / StubFileName;
    std::error_code ec;
    if (fs::exists(beside, ec)) {
        return beside;
    }
    return here / ".." / ".." / "resources" / StubFileName;
}

bool LoadStub(Stub *stub, std::string *error)
{
    if (!ReadWholeFile(stub->path, &stub->image, error) ||
        !ReadPeResources(stub->image, &stub->items, error) ||
        !RecognisesStub(stub->image, stub->items, error)) {
        *error = "installer stub " + PathText(stub->path) + ": " + *error +
                 " (pass --stub PATH to the payload-free " + StubFileName + ")";
        return false;
    }
    return true;
}
