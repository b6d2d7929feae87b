// Arbitrary descriptor bytes: the head parse and the gate must never fault, and the parse must
// leave the description inside the text.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include "format/descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > UINT32_MAX)
        return 0;
    // An exact-size copy, so that any read past the end is caught.
    uint8_t *text = (uint8_t *)malloc(size ? size : 1);
    if (!text)
        return 0;
    memcpy(text, data, size);
    DescriptorHead head = ParseDescriptorHead(text, (uint32_t)size);
    if (head.descriptionOffset > size)
        abort();
    uint32_t position = head.descriptionOffset;
    int32_t n = ReadDescriptorNumber(text, (uint32_t)size, &position);
    if (n < 0 || position > size || position < head.descriptionOffset)
        abort();
    PackedVersion installed =
        size >= 4 ? (uint32_t)text[0] << 24 | text[1] << 16 | text[2] << 8 | text[3] : 0;
    GateDecision d = DecideVersionGate(installed, head.target, head.gate, head.base);
    if (d.row < 1 || d.row > 6)
        abort();
    free(text);
    return 0;
}
