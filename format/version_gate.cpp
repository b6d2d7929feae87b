#include "format/version_gate.h"
#include "resources/resource.h"

GateDecision DecideVersionGate(PackedVersion installed, PackedVersion target, GateOperator gate,
                               PackedVersion base)
{
    if (installed >= target)
        return {1, GateOutcome::Ask, IDS_ALREADY_CURRENT, GateStyleQuestion};
    switch (gate) {
    case GateOperator::Exact:
        if (installed == base)
            return {2, GateOutcome::Proceed, 0, 0};
        return {3, GateOutcome::Refuse, IDS_NEED_BASE_VERSION, GateStyleWarning};
    case GateOperator::UpTo:
        if (installed <= base)
            return {4, GateOutcome::Proceed, 0, 0};
        return {5, GateOutcome::Ask, IDS_ALREADY_CURRENT, GateStyleQuestion};
    case GateOperator::None:
        break;
    }
    return {6, GateOutcome::Refuse, IDS_DESCRIPTOR_ERROR, GateStyleError};
}
