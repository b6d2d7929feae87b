#include "delta/common/delta_choice.h"

DeltaChoice ChooseDelta(bool present, const FileIdentity &installed, const DeltaHeader *headers,
                        uint32_t count)
{
    DeltaChoice refuse = {DeltaChoiceKind::Refuse, 0};
    if (!present)
        return refuse;
    for (uint32_t k = 0; k < count; ++k) {
        if (SameIdentity(installed, ResultIdentity(headers[k])))
            return DeltaChoice{DeltaChoiceKind::Skip, 0};
    }
    for (uint32_t k = 0; k < count; ++k) {
        if (SameIdentity(installed, BaseIdentity(headers[k])))
            return DeltaChoice{DeltaChoiceKind::Apply, k};
    }
    return refuse;
}
