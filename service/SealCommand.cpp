// The command's door to the seals: a table named by its AppID, reports in
// the door's own values.

#include "service/Command.h"

#include "service/Seals.h"

#include "core/LogTable.h"
#include "odbc/Odbc.h"
#include "platform/Paths.h"
#include "writer/LogConnection.h"

#include <QFile>

#include <algorithm>

namespace tallyquill {

namespace {

QString tableOfApp(const QString& appId)
{
    if (!IsValidAppId(appId))
        throw InvalidAppIdError(appId.toStdString());
    return TableName(appId);
}

CommandService::SealReport reportOf(const seal::TableVerdict& v)
{
    CommandService::SealReport r;
    r.appId = v.table.chopped(5).toUpper();
    r.lastHash = seal::Hex(v.lastHash);
    r.lastSealedDay = v.lastSealedDay;
    r.intact = v.intact();
    r.macsChecked = v.macsChecked;
    for (const seal::DayVerdict& d : v.days) {
        CommandService::SealedDay day{d.day, seal::StatusName(d.status), d.detail, d.sealedRows, d.rows, {}};
        for (const seal::SealRecord& l : d.history)
            day.history.push_back({l.sealedAt, l.reason, l.epoch, l.rows});
        r.days.push_back(std::move(day));
    }
    return r;
}

// The log tables to work on: one, or every one the database lists.
std::vector<QString> tablesOf(odbc::Connection& conn, const QString& appId)
{
    if (!appId.isEmpty())
        return {tableOfApp(appId)};
    std::vector<QString> tables;
    for (auto rs = conn.tables(); !rs->eof(); rs->next()) {
        const QString name = rs->text(2);
        if (name.endsWith(QLatin1String("_logs"), Qt::CaseInsensitive) && IsValidAppId(name.chopped(5)))
            tables.push_back(name);
    }
    std::sort(tables.begin(), tables.end(),
              [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    return tables;
}

} // namespace

std::vector<CommandService::SealReport> CommandService::seal(const QString& appId, const QString& lastClosedDay,
                                                             const QString& keyFile)
{
    seal::KeyFile key(keyFile);
    try {
        odbc::Connection& conn = connection();
        std::vector<SealReport> out;
        for (const QString& table : tablesOf(conn, appId)) {
            SealReport r;
            r.appId = table.chopped(5).toUpper();
            try {
                for (const seal::SealRecord& l : seal::SealClosedDays(conn, table, lastClosedDay, key))
                    r.sealedNow.push_back(l.day);
            } catch (const DatabaseError& e) {
                // A table that only has a log table's name stops no other.
                if (link_->isGone(e) || !appId.isEmpty())
                    throw;
                r.problem = QString::fromStdString(e.what());
                r.intact = false;
                out.push_back(std::move(r));
                continue;
            }
            const std::vector<seal::SealRecord> chain = seal::Chain(conn, table);
            if (!chain.empty()) {
                r.lastHash = seal::Hex(chain.back().hash());
                for (const auto& l : chain)
                    r.lastSealedDay = std::max(r.lastSealedDay, l.day);
            }
            out.push_back(std::move(r));
        }
        return out;
    } catch (const DatabaseError& e) {
        link_->dropIfGone(e);
        throw;
    }
}

CommandService::SealReport CommandService::reseal(const QString& appId, const QString& day, const QString& reason,
                                                  const QString& keyFile)
{
    const QString table = tableOfApp(appId);
    seal::KeyFile key(keyFile);
    try {
        odbc::Connection& conn = connection();
        SealReport r;
        r.appId = appId.toUpper();
        const seal::SealRecord made = seal::Reseal(conn, table, day, reason, key);
        r.sealedNow.push_back(made.day);
        r.lastHash = seal::Hex(made.hash());
        return r;
    } catch (const DatabaseError& e) {
        link_->dropIfGone(e);
        throw;
    }
}

std::vector<CommandService::SealReport> CommandService::verifySeals(const QString& appId, const QString& lastClosedDay,
                                                                    const QString& seedHex, const QString& keyFile)
{
    seal::VerifyKeys keys;
    if (!seedHex.isEmpty()) {
        const QByteArray seed = seal::FromHex(seedHex.trimmed());
        if (seed.size() != 32)
            throw Failure(ErrorCategory::Usage, "The verification key is 64 hex digits, as seal --init printed it");
        keys.seed = seed;
    } else if (!keyFile.isEmpty()) {
        // Read only: a verifier never steps the key, nor waits for a sealer.
        QFile f(keyFile);
        if (!f.open(QIODevice::ReadOnly))
            throw Failure(ErrorCategory::InputOutput,
                          "Cannot read the key file " + keyFile.toStdString() + ": " + f.errorString().toStdString());
        keys.keyFileEpoch = seal::ParseKeyFile(f.read(4096), keyFile).epoch;
    }
    try {
        odbc::Connection& conn = connection();
        std::vector<SealReport> out;
        for (const QString& table : tablesOf(conn, appId)) {
            try {
                out.push_back(reportOf(seal::VerifyTable(conn, table, lastClosedDay, keys)));
            } catch (const DatabaseError& e) {
                // A table that only has a log table's name is named, not fatal.
                if (link_->isGone(e) || !appId.isEmpty())
                    throw;
                SealReport r;
                r.appId = table.chopped(5).toUpper();
                r.intact = false;
                r.problem = QString::fromStdString(e.what());
                out.push_back(std::move(r));
            }
        }
        return out;
    } catch (const DatabaseError& e) {
        link_->dropIfGone(e);
        throw;
    }
}

namespace command {

QString DefaultSealKeyFile() { return platform::SealKeyPath(); }

QString InitSealKey(const QString& keyFile, bool replace) { return seal::Hex(seal::InitKeyFile(keyFile, replace)); }

} // namespace command

} // namespace tallyquill
