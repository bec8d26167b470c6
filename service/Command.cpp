// The command's calls into the rest of the library, each a thin hand-over to
// where the work is done.

#include "service/Command.h"

#include "core/LogLine.h"
#include "core/LogRecord.h"
#include "core/RecordCheck.h"
#include "localize/ShowError.h"
#include "localize/StringIds.h"
#include "localize/clsLocalize.h"
#include "msgbox/MessageBox.h"
#include "spool/Spool.h"
#include "writer/LogConnection.h"

namespace tallyquill::command {

static_assert(msg::InvalidDate == sid::InvalidDate && msg::ArchiveFailed == sid::ArchiveFailed
              && msg::NoRecordFound == sid::NoRecordFound && msg::RetrieveLogs == sid::RetrieveLogs
              && msg::NoStartTime == sid::NoStartTime && msg::NoEndTime == sid::NoEndTime
              && msg::InvalidDateRange == sid::InvalidDateRange && msg::InvalidTime == sid::InvalidTime
              && msg::InvalidTimeRange == sid::InvalidTimeRange);

QString PrintLine(const LogRecord& stored, const LineLayout& layout) { return BuildLogLine(DisplayForm(stored), layout); }

QString PrintHeader(const LineLayout& layout) { return HeaderLine(layout); }

QString Visible(const QString& text) { return VisibleText(text); }

QString ShownDate(const QString& stored) { return DisplayDate(stored); }

QString ShownTime(const QString& stored) { return DisplayTime(stored); }

void CheckRow(const LogRecord& r) { CheckRecord(r.AppID, r.WsID, r.UserName, r.EventType, r.Activity); }

void ShowError(int16_t id, const QString& english, const QString& detail)
{
    tallyquill::ShowError(id, english, MsgIcon::Warning, detail);
}

void ShowNotice(int16_t id, const QString& english, int16_t titleId, const QString& titleEnglish)
{
    ShowMessage(Tr(id, english), Tr(titleId, titleEnglish), MsgIcon::Information);
}

QString LastOpenFailure() { return tallyquill::LastOpenFailure(); }

int16_t WriteLogAt(MsgLogger& logger, const QDateTime& at, const std::string& user, const std::string& eventType,
                   const std::string& text)
{
    struct ClockReset {
        ~ClockReset() { SetClock({}); }
    } reset;
    SetClock([at] { return at; });
    return logger.WriteLog(user, eventType, text);
}

std::vector<SpoolState> ListSpools()
{
    std::vector<SpoolState> out;
    for (const spool::SpoolStatus& s : spool::ListSpools())
        out.push_back({s.path, s.dsn, s.table, s.pending, s.oldestDate, s.oldestTime, s.lastError, s.rejected,
                       spool::DamageNote(s), s.problem});
    return out;
}

SpoolFlush FlushSpool(const QString& path, const std::optional<QString>& login, const QString& password,
                      std::chrono::milliseconds timeout)
{
    const spool::FlushOutcome o = spool::FlushSpoolFile(path, login ? &*login : nullptr, password, timeout);
    return {o.remaining, o.error, o.databaseError, o.damageSetAside};
}

} // namespace tallyquill::command
