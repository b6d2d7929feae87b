#pragma once
// The installer's result for the delta applier's, for the installer and the publisher's verify.
#include "delta/apply/delta_apply.h"
#include "payload/install_result.h"

// The package is checked before anything is applied, so a base or a result that does not match
// means the installed file is not the delta's base.
inline InstallResult InstallResultOfDelta(DeltaResult result)
{
    switch (result) {
    case DeltaResult::Done:
        return InstallResult::Ok;
    case DeltaResult::BaseMismatch:
    case DeltaResult::ResultMismatch:
        return InstallResult::WrongBase;
    case DeltaResult::ReadFailed:
    case DeltaResult::CannotCreate:
        return InstallResult::CannotCreate;
    case DeltaResult::WriteFailed:
        return InstallResult::WriteFailed;
    case DeltaResult::InProgress:
        return InstallResult::Cancelled;  // stopped between two pieces
    default:
        return InstallResult::Corrupt;
    }
}
