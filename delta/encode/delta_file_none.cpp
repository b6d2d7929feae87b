// The Windows build's stand-in for the delta encoder, which needs libdivsufsort (host-only).
#include "delta/encode/delta_file.h"

bool DeltaEncoderAvailable()
{
    return false;
}

bool EncodeFileDelta(const std::filesystem::path &, const std::filesystem::path &target, int,
                     unsigned, std::vector<uint8_t> *, std::string *error)
{
    *error = "this build of patchtool encodes no deltas: " + target.u8string();
    return false;
}
