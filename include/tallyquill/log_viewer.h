#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tallyquill/error.h"
#include "tallyquill/export.h"

namespace tallyquill {

// Lets an operator filter, page, archive and print the log of an application
// in the table <AppID>_logs. Texts are UTF-8: a text setter given bytes that
// are not UTF-8, or a NUL character, throws InvalidTextError and keeps the
// value it had. The hide flags are named
// ...Visible, but a non-zero value hides the field and its column.
// Not thread-safe: use a viewer from one thread, the one that runs the
// application's screens. Called from another, every member except the
// constructor and destructor throws Error ("The log viewer must be used on
// the thread that runs the application's screens") and changes nothing.
class TQ_API LogViewer {
public:
    LogViewer();
    ~LogViewer();
    LogViewer(const LogViewer&) = delete;
    LogViewer& operator=(const LogViewer&) = delete;

    std::string Caption() const;
    void setCaption(const std::string& value);
    std::string AppID() const;  // used as written, not in capitals
    void setAppID(const std::string& value);
    std::string WorkstationID() const;
    void setWorkstationID(const std::string& value);
    std::string UserProgDesc() const;
    void setUserProgDesc(const std::string& value);
    std::string EventDesc() const;
    void setEventDesc(const std::string& value);
    std::string ActivityDesc() const;
    void setActivityDesc(const std::string& value);
    int16_t AppIDVisible() const;
    void setAppIDVisible(int16_t value);
    int16_t WorkstationIDVisible() const;
    void setWorkstationIDVisible(int16_t value);
    int16_t UserProgVisible() const;
    void setUserProgVisible(int16_t value);
    int16_t EventVisible() const;
    void setEventVisible(int16_t value);
    std::string DSN() const;
    void setDSN(const std::string& value);
    std::string LoginID() const;
    void setLoginID(const std::string& value);
    std::string Password() const;
    void setPassword(const std::string& value);

    // Opens the log viewer screen: 0 returns at once and leaves it open, any
    // other value returns when the operator has closed it. A closed screen
    // opens afresh; one still open keeps the operator's work and comes to the
    // front (made modal for a non-zero value).
    //
    // Creates the process's QApplication when the host has none. With 0 the
    // screen then lives on the host's Qt event loop: a host that runs none
    // (QApplication::exec or regular processEvents on this thread) gets a
    // screen that does not respond, and calls ShowLog(1) to hand the operator
    // the open screen until it is closed.
    void ShowLog(int16_t popupStatus);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace tallyquill
