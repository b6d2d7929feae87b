#pragma once
// The patch descriptor (UTF-8 text: target version, operator, base version, description) and the
// version gate's decision, free of any platform call.
#include <stdint.h>
#include "app/state.h"

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

enum class GateOutcome : uint8_t {
    Proceed,  // no message
    Ask,      // proceed only when the user answers OK to the question
    Refuse,   // show the message, then refuse
};

// Message box styles of the gate.
enum : uint32_t {
    GateStyleQuestion = 0x31,  // MB_ICONWARNING | MB_OKCANCEL
    GateStyleWarning = 0x30,   // MB_ICONWARNING | MB_OK
    GateStyleError = 0x10,     // MB_ICONERROR | MB_OK
};

struct GateDecision {
    uint8_t row;         // 1 to 6, the first row of the gate that matched
    GateOutcome outcome;
    uint16_t textId;     // string id of the message; 0 when there is none
    uint32_t style;      // message box style; 0 when there is no message
};

// Decides the gate for installed version I against the descriptor's target T and base B; all
// comparisons are unsigned. Row 3's text is formatted with the base version by the caller.
// Returns: the deciding row, its message and outcome.
GateDecision DecideVersionGate(PackedVersion installed, PackedVersion target, GateOperator gate,
                               PackedVersion base);
