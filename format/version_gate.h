#pragma once
// The version gate: what the installer does with the installed version, given the descriptor's
// target, operator and base; free of any platform call.
#include <stdint.h>
#include "format/version_types.h"

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
    uint8_t row;  // 1 to 6, the first row of the gate that matched
    GateOutcome outcome;
    uint16_t textId;  // string id of the message; 0 when there is none
    uint32_t style;   // message box style; 0 when there is no message
};

// Decides the gate for installed version I against the descriptor's target T and base B; all
// comparisons are unsigned. Row 3's text is formatted with the base version by the caller.
// Returns: the deciding row, its message and outcome.
GateDecision DecideVersionGate(PackedVersion installed, PackedVersion target, GateOperator gate,
                               PackedVersion base);
