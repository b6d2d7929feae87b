#pragma once
// The stub: this project's installer without a patch, to which the build adds the patch.
#include <stdint.h>

#include <string>
#include <vector>

#include "tools/patchtool/host/files.h"
#include "tools/patchtool/pe/pe_resources.h"

struct Stub {
    fs::path path;
    std::vector<uint8_t> image;
    std::vector<PeResource> items;
};

// Returns: given when not empty, else $QPATCH_STUB, else qpatch-stub.exe beside the tool, else
// where the windows build tree puts it.
fs::path ResolveStub(const fs::path &given);

// Reads stub->path into stub and checks that it is a payload-free installer.
// Returns: false with the reason, naming the stub.
bool LoadStub(Stub *stub, std::string *error);
