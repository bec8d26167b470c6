#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "tallyquill/export.h"

namespace tallyquill {

// What kind of failure an exception is; the command's exit status and the
// component's HRESULT are chosen from it.
enum class ErrorCategory {
    Usage,           // the call or command line cannot run as given
    InvalidInput,    // a value that cannot be stored or named; nothing was written
    Unavailable,     // the data source cannot be reached
    Refused,         // the database refused the statement
    OutcomeUnknown,  // the server went away or timed out: it may or may not have done it
    InputOutput,     // a file could not be read or written
    CannotCreate,    // a file could not be made: input/output, told apart by the command
    CorruptFile,     // a file the library owns is damaged
    Internal,        // a fault of the library itself, or an exception it does not know
};

// Base of every exception the library throws at its host.
class TQ_API Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;

    // The category of any exception: the library's own carry it, a
    // DatabaseError is refused (outcome unknown when the connection broke or
    // the call timed out), the two invalid-value errors are invalid input,
    // and anything else is internal.
    static ErrorCategory categoryOf(const std::exception& e) noexcept;
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
