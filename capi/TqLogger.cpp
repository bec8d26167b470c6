// The C interface over MsgLogger: nothing escapes as an exception, and what
// the logger would have shown (a missing DSN, a connection that would not
// open) becomes the reason tq_error gives.

#include "tallyquill/tallyquill.h"

#include "msgbox/MessageBox.h"
#include "tallyquill/msg_logger.h"

#include <QStringList>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

struct tq_logger {
    tallyquill::MsgLogger log;
    // Why tq_open could not take a value: every write fails with it.
    std::string openError;
};

namespace {

// errno's way: per thread, so that threads sharing a logger each read their
// own reason.
thread_local const tq_logger* errorOwner = nullptr;
thread_local std::string errorText;

int fail(const tq_logger* log, std::string why)
{
    errorOwner = log;
    errorText = why.empty() ? std::string("the call failed without a reason") : std::move(why);
    return -1;
}

int succeed(const tq_logger* log)
{
    if (errorOwner == log)
        errorText.clear();
    return 0;
}

std::string text(const char* s) { return s ? s : ""; }

std::string shown(const tallyquill::ThreadMessageCapture& capture)
{
    QStringList texts;
    for (const tallyquill::Message& m : capture.messages())
        texts << m.text;
    return texts.join(QStringLiteral("; ")).toStdString();
}

// Runs `call` (true: done); what it throws or shows is the reason.
template <class Call>
int guarded(const tq_logger* log, Call&& call, const char* otherwise)
{
    if (!log)
        return fail(log, "no logger (NULL)");
    tallyquill::ThreadMessageCapture capture;
    try {
        if (call())
            return succeed(log);
        const std::string why = shown(capture);
        return fail(log, why.empty() ? std::string(otherwise) : why);
    } catch (const std::bad_alloc&) {
        return fail(log, "out of memory");
    } catch (const std::exception& e) {
        return fail(log, e.what());
    } catch (...) {
        return fail(log, "an unexpected failure");
    }
}

} // namespace

extern "C" {

tq_logger* tq_open(const char* dsn, const char* app, const char* ws, const char* login, const char* password)
{
    auto* log = new (std::nothrow) tq_logger;
    if (!log)
        return nullptr;
    try {
        log->log.setDSN(text(dsn));
        log->log.setAppID(text(app));
        log->log.setWorkstationID(text(ws));
        log->log.setLoginID(text(login));
        log->log.setPassword(text(password));
    } catch (const std::exception& e) {
        log->openError = e.what();
    } catch (...) {
        log->openError = "an unexpected failure";
    }
    return log;
}

int tq_spool(tq_logger* log, int on)
{
    return guarded(log, [&] { log->log.setSpooled(on != 0); return true; }, "the mode could not be changed");
}

int tq_write(tq_logger* log, const char* user, const char* event, const char* activity)
{
    if (log && !log->openError.empty())
        return fail(log, log->openError);
    return guarded(
        log, [&] { return log->log.WriteLog(text(user), text(event), text(activity)) == 0; },
        "nothing was written");
}

const char* tq_error(const tq_logger* log)
{
    if (log && !log->openError.empty())
        return log->openError.c_str();
    return errorOwner == log ? errorText.c_str() : "";
}

int tq_flush(tq_logger* log, int timeout_ms)
{
    std::string waiting = "records still wait in the spool";
    return guarded(
        log,
        [&] {
            if (log->log.flushSpool(timeout_ms))
                return true;
            const std::string why = log->log.lastDeliveryError();
            if (!why.empty())
                waiting += ": " + why;
            throw std::runtime_error(waiting);
        },
        "records still wait in the spool");
}

long long tq_pending(const tq_logger* log)
{
    if (!log)
        return -1;
    try {
        return log->log.pendingCount();
    } catch (...) {
        return -1;
    }
}

void tq_close(tq_logger* log)
{
    if (errorOwner == log)
        errorOwner = nullptr;
    delete log;
}

} // extern "C"
