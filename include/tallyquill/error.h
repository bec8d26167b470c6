#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "tallyquill/export.h"

namespace tallyquill {

// Base of every exception the library throws at its host.
class TQ_API Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A statement or connection that the database rejected, with the driver's
// diagnostic record: SQLSTATE, native error number and description (UTF-8).
class TQ_API DatabaseError : public Error {
public:
    DatabaseError(std::string sqlstate, int32_t number, std::string description,
                  bool connectionLost = false);

    const std::string& sqlstate() const noexcept { return sqlstate_; }
    int32_t number() const noexcept { return number_; }
    const std::string& description() const noexcept { return description_; }
    // True when the failure broke the connection (SQLSTATE class 08, or the
    // server went away); its owner then opens a fresh one at the next call.
    bool connectionLost() const noexcept { return connectionLost_; }

private:
    std::string sqlstate_;
    int32_t number_;
    std::string description_;
    bool connectionLost_;
};

// An application ID that cannot name a table: only letters, digits and '_'.
class TQ_API InvalidAppIdError : public Error {
public:
    explicit InvalidAppIdError(const std::string& appId);
};

// A text that cannot be stored as it was given: not valid UTF-8 (or UTF-16
// through the component), or holding a NUL character. Nothing was written.
class TQ_API InvalidTextError : public Error {
public:
    using Error::Error;
};

} // namespace tallyquill
