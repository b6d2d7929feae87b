#pragma once
// The stub: this project's installer without a patch, to which the build adds the patch.
#include <string>

#include "tools/patchtool/builder/plan.h"

// Returns: --stub, else $QPATCH_STUB, else qpatch-stub.exe beside the tool, else where the
// windows build tree puts it.
fs::path ResolveStub(const BuildOptions &options);

// Reads plan->stubPath into the plan and checks that it is a payload-free installer.
// Returns: false with the reason, naming the stub.
bool LoadStub(Plan *plan, std::string *error);
