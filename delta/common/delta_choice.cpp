#include "delta/common/delta_choice.h"

DeltaChoice ChooseDelta(const FileFacts &target, const DeltaHeader *headers, const FileFacts *bases,
                        uint32_t count, const FileFacts *temporary)
{
    for (uint32_t k = 0; k < count; ++k) {
        if (target.present && SameIdentity(target.identity, ResultIdentity(headers[k])))
            return DeltaChoice{DeltaChoiceKind::Skip, 0};
    }
    for (uint32_t k = 0; k < count; ++k) {
        if (bases[k].present && SameIdentity(bases[k].identity, BaseIdentity(headers[k])))
            return DeltaChoice{DeltaChoiceKind::Apply, k};
    }
    for (uint32_t k = 0; k < count && temporary && temporary->present; ++k) {
        if (SameIdentity(temporary->identity, ResultIdentity(headers[k])))
            return DeltaChoice{DeltaChoiceKind::MoveTemporary, 0};
    }
    return DeltaChoice{DeltaChoiceKind::Refuse, 0};
}
