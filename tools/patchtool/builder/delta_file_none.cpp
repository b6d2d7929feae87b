// The Windows build's stand-in for the delta encoder, which needs libdivsufsort (host-only).
#include "tools/patchtool/builder/delta_file.h"

bool DeltaEncoderAvailable()
{
    return false;
}

bool EncodeFileDelta(const fs::path &, const fs::path &target, int, unsigned,
                     std::vector<uint8_t> *, std::string *error)
{
    *error = "this build of patchtool encodes no deltas: " + PathText(target);
    return false;
}
