#pragma once
// The patch descriptor (UTF-8 text: target version, operator, base version, description), free of
// any platform call. The gate that its versions drive is in format/version_gate.h.
#include <stdint.h>
#include "format/version_types.h"
#include "format/version_gate.h"

// The descriptor's fields before the description is decoded.
struct DescriptorHead {
    PackedVersion target;
    GateOperator gate;
    PackedVersion base;
    uint32_t descriptionOffset;  // first byte of the description; equals length when it is empty
};

// Skips separators (white space and "."), then reads a run of digits, which may be empty.
// A byte that is neither stops the reader without moving past it.
// Returns: the run's decimal value, 0 when empty, 2,147,483,647 for any larger run;
// *position is left on the first byte after the run.
int32_t ReadDescriptorNumber(const uint8_t *text, uint32_t length, uint32_t *position);

// Reads the two versions and the operator; nothing in the text is ever rejected.
// Returns: the fields and where the description starts.
DescriptorHead ParseDescriptorHead(const uint8_t *text, uint32_t length);
