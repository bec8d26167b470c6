#pragma once

// The command's exit status of a failure, chosen from its category.

#include "tool/Output.h"

#include "tallyquill/error.h"

#include <sysexits.h>

namespace tallyquill::cli {

constexpr int ExitCodeFor(ErrorCategory category)
{
    switch (category) {
    case ErrorCategory::Usage:
    case ErrorCategory::InvalidInput:
        return EX_USAGE;
    case ErrorCategory::Unavailable:
        return EX_UNAVAILABLE;
    case ErrorCategory::Refused:
    case ErrorCategory::OutcomeUnknown:
        return kDatabaseError;
    case ErrorCategory::InputOutput:
        return EX_IOERR;
    case ErrorCategory::CannotCreate:
        return EX_CANTCREAT;
    case ErrorCategory::CorruptFile:
        return EX_DATAERR;
    case ErrorCategory::Internal:
        break;
    }
    return kNothingDone;
}

} // namespace tallyquill::cli
