#include "core/Error.h"

namespace tallyquill {

ErrorCategory Error::categoryOf(const std::exception& e) noexcept
{
    if (const auto* own = dynamic_cast<const ErrorContext*>(&e))
        return own->category();
    if (const auto* db = dynamic_cast<const DatabaseError*>(&e))
        return db->connectionLost() || db->sqlstate() == "HYT00" ? ErrorCategory::OutcomeUnknown
                                                                  : ErrorCategory::Refused;
    if (dynamic_cast<const InvalidAppIdError*>(&e) || dynamic_cast<const InvalidTextError*>(&e))
        return ErrorCategory::InvalidInput;
    return ErrorCategory::Internal;
}

} // namespace tallyquill
