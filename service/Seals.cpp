#include "service/Seals.h"

#include "core/Error.h"
#include "core/LogTable.h"
#include "core/Schema.h"
#include "odbc/Dialect.h"
#include "odbc/Odbc.h"
#include "odbc/Utf8Rows.h"
#include "platform/FaultPoint.h"
#include "platform/Files.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <future>
#include <map>
#include <set>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyquill {
namespace seal {

namespace {

// The seal table's columns, once: the DDL, the INSERT and the SELECT are
// made from it. Hashes and MACs are lower-case hex.
struct SealColumn {
    const char* name;
    const char* type;
    bool integer;
};
constexpr std::array<SealColumn, 11> kSealColumns = {{
    {"seal_Table", "varchar(64) not null", false},
    {"seal_Seq", "bigint not null", true},
    {"seal_Day", "char(8) not null", false},
    {"seal_Rows", "bigint not null", true},
    {"seal_Digest", "varchar(64) not null", false},
    {"seal_Previous", "varchar(64) not null", false},
    {"seal_Epoch", "bigint not null", true},
    {"seal_SealedAt", "varchar(32) not null", false},
    {"seal_Reason", "varchar(1000) not null", false},
    {"seal_Replaces", "varchar(64) not null", false},
    {"seal_Mac", "varchar(64) not null", false},
}};
constexpr int kReasonWidth = 1000;

QString sealColumnList()
{
    QStringList names;
    for (const SealColumn& c : kSealColumns)
        names << QLatin1String(c.name);
    return names.join(QStringLiteral(", "));
}

void createSealTable(odbc::Connection& conn)
{
    QStringList defs;
    for (const SealColumn& c : kSealColumns)
        defs << QLatin1String(c.name) + QLatin1Char(' ') + QLatin1String(c.type);
    defs << QStringLiteral("primary key (seal_Table, seal_Seq)");
    try {
        conn.execute(QStringLiteral("CREATE TABLE ") + kSealTable + QStringLiteral(" (") + defs.join(QStringLiteral(", "))
                     + QLatin1Char(')'));
    } catch (const DatabaseError& e) {
        if (odbc::isExistingTable(e))
            return;
        // Another run may have made it at the same moment, which a server
        // can report as a duplicate of its catalog's row instead.
        try {
            conn.query(QStringLiteral("SELECT seal_Seq FROM ") + kSealTable + QStringLiteral(" WHERE 1 = 0"));
        } catch (const DatabaseError&) {
            throw e;
        }
    }
}

QString lit(odbc::Connection& conn, const QString& v) { return SqlLiteral(v, conn.backslashEscapes()); }

bool isStoredDay(const QString& day)
{
    return day.size() == 8 && std::all_of(day.begin(), day.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

QString checkedTable(const QString& table)
{
    if (!table.endsWith(QLatin1String("_logs"), Qt::CaseInsensitive) || !IsValidAppId(table.chopped(5)))
        throw Failure(ErrorCategory::InvalidInput, "Not a log table's name: " + table.toStdString());
    return table;
}

Failure ioFailure(const std::string& what, const QString& path, int error)
{
    return Failure(ErrorCategory::InputOutput, what + " " + path.toStdString() + ": " + std::strerror(error));
}

// Days that hold rows in (after, upTo], with their counts, by date.
// The days in (after, upTo] that hold rows, in order. With an index led by
// the date each is one seek into it; without, the table is read once.
std::vector<QString> daysWithRows(odbc::Connection& conn, const QString& table, const QString& after,
                                  const QString& upTo)
{
    std::vector<QString> days;
    const QString date = col::Date;
    const QString from =
        after.isEmpty() ? QString() : date + QStringLiteral(" > ") + lit(conn, after) + QStringLiteral(" AND ");
    const QString within = date + QStringLiteral(" <= ") + lit(conn, upTo);
    try {
        const QString sql =
            conn.indexLedBy(table, {date}).isEmpty()
                ? QStringLiteral("SELECT %1 FROM %2 WHERE %3%4 GROUP BY %1 ORDER BY %1").arg(date, table, from, within)
                : QStringLiteral("WITH RECURSIVE d(day) AS (SELECT (SELECT min(%1) FROM %2 WHERE %3%4) UNION ALL "
                                 "SELECT (SELECT min(%1) FROM %2 WHERE %1 > d.day AND %4) FROM d "
                                 "WHERE d.day IS NOT NULL) SELECT day FROM d WHERE day IS NOT NULL")
                      .arg(date, table, from, within);
        for (auto rs = conn.query(sql); !rs->eof(); rs->next()) {
            // A char value and the same with a blank after it are one day.
            const QString day = rs->text(0).trimmed();
            if (days.empty() || days.back() != day)
                days.push_back(day);
        }
    } catch (const DatabaseError& e) {
        if (odbc::isMissingTable(e))
            return {};
        throw;
    }
    return days;
}

// "log_Date IN (...)" for days [first, first + n) of `days`, each a stored date.
QString dateIn(odbc::Connection& conn, const std::vector<QString>& days, size_t first, size_t n)
{
    QStringList literals;
    for (size_t i = first; i < first + n; ++i)
        literals << lit(conn, days[i]);
    return QString(col::Date) + QStringLiteral(" IN (") + literals.join(QLatin1Char(',')) + QLatin1Char(')');
}

// How many rows each of `days`, none after `upTo`, holds now.
std::map<QString, int64_t> rowCounts(odbc::Connection& conn, const QString& table, const std::vector<QString>& days,
                                     const QString& upTo)
{
    std::map<QString, int64_t> counts;
    if (days.empty())
        return counts;
    const QString sql = QStringLiteral("SELECT %1, COUNT(*) FROM %2 WHERE %3 GROUP BY %1").arg(col::Date, table);
    auto add = [&](const QString& where) {
        for (auto rs = conn.query(sql.arg(where)); !rs->eof(); rs->next())
            counts[rs->text(0).trimmed()] += rs->text(1).toLongLong();
    };
    // A value that is no date (a NUL, say) is not sent back as a literal.
    if (!std::all_of(days.begin(), days.end(), isStoredDay)) {
        add(QString(col::Date) + QStringLiteral(" <= ") + lit(conn, upTo));
        return counts;
    }
    constexpr size_t kPerStatement = 256;
    for (size_t first = 0; first < days.size(); first += kPerStatement)
        add(dateIn(conn, days, first, std::min(kPerStatement, days.size() - first)));
    return counts;
}

int64_t nextSeq(odbc::Connection& conn, const QString& chain)
{
    auto rs = conn.query(QStringLiteral("SELECT MAX(seal_Seq) FROM ") + kSealTable + QStringLiteral(" WHERE seal_Table = ")
                         + lit(conn, chain));
    return (rs->eof() || rs->text(0).isEmpty() ? 0 : rs->text(0).toLongLong()) + 1;
}

// One statement for them all: on a server each costs a round trip or more.
void insertLinks(odbc::Connection& conn, int64_t seq, const std::vector<SealRecord>& links)
{
    QStringList marks;
    for (const SealColumn& c : kSealColumns)
        marks << (c.integer ? QStringLiteral("CAST(? AS BIGINT)") : QStringLiteral("?"));
    const QString row = QLatin1Char('(') + marks.join(QStringLiteral(", ")) + QLatin1Char(')');
    QStringList rows;
    std::vector<QString> values;
    for (size_t i = 0; i < links.size(); ++i) {
        const SealRecord& r = links[i];
        rows << row;
        for (QString v : {r.table, QString::number(seq + int64_t(i)), r.day, QString::number(r.rows), Hex(r.digest),
                          Hex(r.previous), QString::number(r.epoch), r.sealedAt, r.reason, Hex(r.replaces),
                          Hex(r.mac)})
            values.push_back(std::move(v));
    }
    odbc::Statement insert(conn, QStringLiteral("INSERT INTO ") + kSealTable + QStringLiteral(" (") + sealColumnList()
                                     + QStringLiteral(") VALUES ") + rows.join(QStringLiteral(", ")));
    insert.setParameters(std::move(values));
    insert.execute();
}

// Links made now with the key file's keys, one epoch each, then the key
// stepped past them before they are stored: a kill between the two loses
// epochs, never reuses one for another day.
struct NewLink {
    QString day;
    DayState state;
    QString reason;
    QByteArray replaces;
};
std::vector<SealRecord> storeLinks(odbc::Connection& conn, const QString& chain, QByteArray previous,
                                   const std::vector<NewLink>& made, KeyFile& key)
{
    std::vector<SealRecord> links;
    QByteArray k = key.current().key;
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    for (size_t i = 0; i < made.size(); ++i) {
        SealRecord r;
        r.table = chain;
        r.day = made[i].day;
        r.rows = made[i].state.rows;
        r.digest = made[i].state.digest;
        r.previous = previous;
        r.epoch = key.current().epoch + int64_t(i);
        r.sealedAt = now;
        r.reason = made[i].reason;
        r.replaces = made[i].replaces;
        r.mac = Mac(k, r);
        k = NextKey(k);
        previous = r.hash();
        links.push_back(std::move(r));
    }
    if (links.empty())
        return links;
    const int64_t seq = nextSeq(conn, chain);
    key.step(int64_t(links.size()));
    fault::point("seal-key-stepped");
    odbc::Transaction tx(conn);
    insertLinks(conn, seq, links);
    tx.commit();
    fault::point("seal-stored");
    return links;
}

// A key file restored from a backup, or made again, would seal with a key
// this chain has used already.
void checkKeyAhead(const std::vector<SealRecord>& links, const KeyFile& key)
{
    int64_t highest = -1;
    for (const SealRecord& l : links)
        highest = std::max(highest, l.epoch);
    if (key.current().epoch <= highest)
        throw Failure(ErrorCategory::CorruptFile,
                      "The key file " + key.path().toStdString() + " is at epoch "
                          + std::to_string(key.current().epoch) + ", but the chain holds a seal of epoch "
                          + std::to_string(highest) + ": it was restored or made again, and would seal with a key "
                          "already used; nothing was sealed");
}

} // namespace

QString ChainName(const QString& table) { return table.toLower(); }

namespace {

// Hands each row of `sql` to `take` as UTF-8 values in table order, read in
// bound blocks; false as soon as `take` refuses one.
template <class Take>
bool eachUtf8Row(odbc::Connection& conn, const QString& sql, Take&& take)
{
    std::vector<size_t> capacities;
    for (const ColumnSpec& c : kLogColumns)
        capacities.push_back(size_t(4) * size_t(c.width));
    odbc::Utf8Rows rows(conn, sql, capacities);
    std::array<std::string_view, 7> v;
    while (rows.fetch())
        for (size_t r = 0; r < rows.rows(); ++r) {
            for (size_t c = 0; c < 7; ++c)
                v[c] = rows.text(r, c);
            if (!take(v))
                return false;
        }
    return true;
}

DayState digestInOrder(odbc::Connection& conn, const QString& sql)
{
    if (conn.textCapabilities().utf8) {
        try {
            DayDigest digest;
            eachUtf8Row(conn, sql, [&](const std::array<std::string_view, 7>& v) {
                digest.add(v);
                return true;
            });
            const int64_t n = digest.rows();
            return {n, digest.finish()};
        } catch (const odbc::ValueTooLong&) {
            // A value longer than the column holds: read the day again whole.
        }
    }
    DayDigest digest;
    auto rs = conn.query(sql);
    std::array<int, 7> at;
    for (size_t c = 0; c < 7; ++c)
        at[c] = rs->column(QLatin1String(kLogColumns[c].name));
    std::array<QByteArray, 7> utf8;
    std::array<std::string_view, 7> v;
    for (; !rs->eof(); rs->next()) {
        for (size_t c = 0; c < 7; ++c) {
            utf8[c] = rs->text(at[c]).toUtf8();
            v[c] = std::string_view(utf8[c].constData(), size_t(utf8[c].size()));
        }
        digest.add(v);
    }
    const int64_t n = digest.rows();
    return {n, digest.finish()};
}

// The rows of days [first, first + n) of `days`, each a stored date.
QString daysSql(odbc::Connection& conn, const QString& table, const std::vector<QString>& days, size_t first,
                size_t n)
{
    checkedTable(table);
    for (size_t i = first; i < first + n; ++i)
        if (!isStoredDay(days[i]))
            throw Failure(ErrorCategory::InvalidInput, "Not a stored date (yyyymmdd): " + days[i].toStdString());
    return QStringLiteral("SELECT ") + TableColumnList() + QStringLiteral(" FROM ") + table + QStringLiteral(" WHERE ")
           + dateIn(conn, days, first, n);
}

QString daySql(odbc::Connection& conn, const QString& table, const QString& day)
{
    return daysSql(conn, table, {day}, 0, 1);
}

// The day in the database's canonical order.
DayState digestSorted(odbc::Connection& conn, const QString& sql)
{
    const odbc::Dialect& dialect = conn.dialect();
    if (dialect.charComparesUnpadded())
        return digestInOrder(conn, sql + CanonicalOrder(dialect.byteCollation(), false));
    // Sorting by the values as stored is the same order unless a char value
    // ends in a blank; DayDigest finds that, and rtrim() sorts the day again.
    try {
        return digestInOrder(conn, sql + CanonicalOrder(dialect.byteCollation(), false));
    } catch (const OutOfOrder&) {
        return digestInOrder(conn, sql + CanonicalOrder(dialect.byteCollation(), true));
    }
}

// The date of a row as the table hands it out, without a char's padding.
std::string_view storedDate(const std::array<std::string_view, 7>& v)
{
    std::string_view d = v[size_t(LogColumn::Date)];
    while (!d.empty() && d.back() == ' ')
        d.remove_suffix(1);
    return d;
}

// Days [first, first + n) of `days` in one statement, each row put with its
// own day; false when a day is too large to hold at `holdLimit` / n, a value
// too long for the bound buffers, or a row belongs to none of them.
bool readDaysUnordered(odbc::Connection& conn, const QString& table, const std::vector<QString>& days, size_t first,
                       size_t n, size_t holdLimit, std::vector<DayRows>& rows)
{
    if (!conn.textCapabilities().utf8)
        return false;
    const QString sql = daysSql(conn, table, days, first, n);
    std::vector<std::string> dates;
    for (size_t i = first; i < first + n; ++i)
        dates.push_back(days[i].toStdString());
    if (rows.size() < n)
        rows.resize(n);
    for (size_t i = 0; i < n; ++i)
        rows[i].clear(holdLimit / n, (size_t(16) << 20) / n);
    size_t at = 0;  // the day of the last row: a day's rows mostly come together
    try {
        return eachUtf8Row(conn, sql, [&](const std::array<std::string_view, 7>& v) {
            const std::string_view date = storedDate(v);
            if (date != dates[at]) {
                const auto it = std::find(dates.begin(), dates.end(), date);
                if (it == dates.end())
                    return false;
                at = size_t(it - dates.begin());
            }
            return rows[at].add(v);
        });
    } catch (const odbc::ValueTooLong&) {
        return false;
    }
}

} // namespace

DayState DigestDay(odbc::Connection& conn, const QString& table, const QString& day, size_t holdLimit)
{
    // One per thread, so that day after day fills memory already mapped.
    thread_local std::vector<DayRows> rows;
    if (readDaysUnordered(conn, table, {day}, 0, 1, holdLimit, rows))
        return {rows[0].rows(), rows[0].digest()};
    return digestSorted(conn, daySql(conn, table, day));
}

std::vector<DayState> DigestDays(odbc::Connection& conn, const QString& table, const std::vector<QString>& days,
                                 size_t holdLimit)
{
    std::vector<DayState> out(days.size());
    // Each statement costs a server a round trip and a plan, so small days
    // are read several to a statement, as many as fill a sixteenth of what
    // may be held. Each batch is sorted and hashed on a thread of its own
    // while the next one is read.
    const size_t target = std::max<size_t>(holdLimit / 16, 1);
    constexpr size_t kMostDays = 64;
    std::array<std::vector<DayRows>, 2> held;
    std::future<void> sorting;  // after `held`: ends before they do
    size_t sortingSlot = 0;
    auto finishSorting = [&] {
        if (sorting.valid())
            sorting.get();
    };
    size_t n = 1;
    size_t aloneUntil = 0;  // the days of a batch that failed are read one by one
    for (size_t first = 0; first < days.size();) {
        n = first < aloneUntil ? 1 : std::min(n, days.size() - first);
        const size_t slot = sorting.valid() ? 1 - sortingSlot : 0;  // not the one sorting
        std::vector<DayRows>& batch = held[slot];
        if (!readDaysUnordered(conn, table, days, first, n, holdLimit, batch)) {
            if (n > 1) {
                aloneUntil = first + n;
                continue;
            }
            out[first] = digestSorted(conn, daySql(conn, table, days[first]));
            ++first;
            continue;
        }
        finishSorting();
        size_t bytes = 0;
        for (size_t i = 0; i < n; ++i) {
            out[first + i].rows = batch[i].rows();
            bytes += batch[i].bytes();
        }
        sortingSlot = slot;
        sorting = std::async(std::launch::async, [&out, &batch, first, n] {
            for (size_t i = 0; i < n; ++i)
                out[first + i].digest = batch[i].digest();
        });
        first += n;
        n = std::clamp<size_t>(target / std::max<size_t>(bytes / n, 1), 1, kMostDays);
    }
    finishSorting();
    return out;
}

std::vector<SealRecord> Chain(odbc::Connection& conn, const QString& table)
{
    std::vector<SealRecord> links;
    std::unique_ptr<odbc::ResultSet> rs;
    try {
        rs = conn.query(QStringLiteral("SELECT ") + sealColumnList() + QStringLiteral(" FROM ") + kSealTable
                        + QStringLiteral(" WHERE seal_Table = ") + lit(conn, ChainName(checkedTable(table)))
                        + QStringLiteral(" ORDER BY seal_Seq"));
    } catch (const DatabaseError& e) {
        if (odbc::isMissingTable(e))
            return links;
        throw;
    }
    for (; !rs->eof(); rs->next()) {
        SealRecord r;
        r.table = rs->text(0);
        r.day = rs->text(2).trimmed();
        r.rows = rs->text(3).toLongLong();
        r.digest = FromHex(rs->text(4));
        r.previous = FromHex(rs->text(5));
        r.epoch = rs->text(6).toLongLong();
        r.sealedAt = rs->text(7);
        r.reason = rs->text(8);
        r.replaces = FromHex(rs->text(9));
        r.mac = FromHex(rs->text(10));
        links.push_back(std::move(r));
    }
    return links;
}

QByteArray KeyFileText(const SealingKey& k)
{
    return QByteArrayLiteral("tallyquill sealing key v1\nepoch ") + QByteArray::number(qlonglong(k.epoch))
           + QByteArrayLiteral("\nkey ") + k.key.toHex() + '\n';
}

SealingKey ParseKeyFile(const QByteArray& text, const QString& path)
{
    const QList<QByteArray> lines = text.split('\n');
    SealingKey k;
    bool ok = lines.size() == 4 && lines[0] == "tallyquill sealing key v1" && lines[1].startsWith("epoch ")
              && lines[2].startsWith("key ") && lines[3].isEmpty();
    if (ok) {
        k.epoch = lines[1].mid(6).toLongLong(&ok);
        k.key = FromHex(QString::fromLatin1(lines[2].mid(4)));
        ok = ok && k.epoch >= 0 && k.key.size() == 32;
    }
    if (!ok)
        throw Failure(ErrorCategory::CorruptFile, "The key file " + path.toStdString() + " is not a sealing key file");
    return k;
}

KeyFile::KeyFile(const QString& path) : path_(path)
{
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        throw Failure(ErrorCategory::InputOutput,
                      "No key file " + path.toStdString() + " (make one with tallyquill seal --init)");
    const QByteArray lockPath = QFile::encodeName(path + QStringLiteral(".lock"));
    lock_ = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock_ < 0)
        throw ioFailure("Cannot open the lock of the key file", path, errno);
    if (::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(lock_);
        lock_ = -1;
        if (e == EWOULDBLOCK)
            throw Failure(ErrorCategory::InputOutput,
                          "Another run is sealing with the key file " + path.toStdString() + "; nothing was sealed");
        throw ioFailure("Cannot lock the key file", path, e);
    }
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        ::close(lock_);
        lock_ = -1;
        if (e == ENOENT)
            throw Failure(ErrorCategory::InputOutput, "No key file " + path.toStdString()
                                                          + " (make one with tallyquill seal --init)");
        throw ioFailure("Cannot open the key file", path, e);
    }
    QByteArray text(4096, '\0');
    const ssize_t n = ::read(fd, text.data(), size_t(text.size()));
    const int e = errno;
    ::close(fd);
    if (n < 0) {
        ::close(lock_);
        lock_ = -1;
        throw ioFailure("Cannot read the key file", path, e);
    }
    text.truncate(n);
    try {
        key_ = ParseKeyFile(text, path);
    } catch (...) {
        ::close(lock_);
        lock_ = -1;
        throw;
    }
}

KeyFile::~KeyFile()
{
    if (lock_ >= 0)
        ::close(lock_);
}

void KeyFile::step(int64_t epochs)
{
    SealingKey next = key_;
    for (int64_t i = 0; i < epochs; ++i)
        next = {NextKey(next.key), next.epoch + 1};
    if (const int e = platform::ReplaceFile(path_, KeyFileText(next), 0600))
        throw ioFailure("Cannot step the key file on", path_, e);
    key_ = next;
}

QByteArray InitKeyFile(const QString& path, bool replace)
{
    if (!replace && (QFileInfo::exists(path) || QFileInfo(path).isSymLink()))
        throw Failure(ErrorCategory::CannotCreate,
                      "The key file " + path.toStdString()
                          + " exists: a new one would stop its seals from being continued (add --force to replace it)");
    if (const platform::DirectoryFault f = platform::MakePrivateDirectory(QFileInfo(path).absolutePath()))
        throw ioFailure("Cannot make the directory", f.path, f.error);
    QByteArray seed(32, '\0');
    QRandomGenerator::system()->generate(reinterpret_cast<quint32*>(seed.data()),
                                         reinterpret_cast<quint32*>(seed.data() + seed.size()));
    if (const int e = platform::ReplaceFile(path, KeyFileText({FirstKey(seed), 0}), 0600))
        throw Failure(ErrorCategory::CannotCreate,
                      "Cannot write the key file " + path.toStdString() + ": " + std::strerror(e));
    return seed;
}

std::vector<SealRecord> SealClosedDays(odbc::Connection& conn, const QString& table, const QString& lastClosedDay,
                                       KeyFile& key)
{
    checkedTable(table);
    const QString chain = ChainName(table);
    createSealTable(conn);
    const std::vector<SealRecord> links = Chain(conn, table);
    checkKeyAhead(links, key);
    QString lastDay;
    for (const SealRecord& l : links)
        lastDay = std::max(lastDay, l.day);
    QByteArray previous = links.empty() ? QByteArray() : links.back().hash();
    // A key file step and a commit per batch of days, not per day.
    constexpr size_t kBatch = 64;
    std::vector<SealRecord> made;
    std::vector<NewLink> batch;
    const auto days = daysWithRows(conn, table, lastDay, lastClosedDay);
    for (size_t first = 0; first < days.size(); first += kBatch) {
        std::vector<QString> names;
        for (size_t i = first; i < std::min(days.size(), first + kBatch); ++i)
            names.push_back(days[i]);
        const std::vector<DayState> states = DigestDays(conn, table, names);
        for (size_t i = 0; i < names.size(); ++i)
            batch.push_back({names[i], states[i], {}, {}});
        for (SealRecord& r : storeLinks(conn, chain, previous, batch, key))
            made.push_back(std::move(r));
        previous = made.back().hash();
        batch.clear();
    }
    return made;
}

SealRecord Reseal(odbc::Connection& conn, const QString& table, const QString& day, const QString& reason,
                  KeyFile& key)
{
    checkedTable(table);
    if (!isStoredDay(day))
        throw Failure(ErrorCategory::InvalidInput, "Not a stored date (yyyymmdd): " + day.toStdString());
    if (reason.trimmed().isEmpty())
        throw Failure(ErrorCategory::Usage, "A day is sealed again only with a reason");
    if (reason.size() > kReasonWidth || reason.contains(QChar(0)))
        throw Failure(ErrorCategory::InvalidInput,
                      "The reason must be at most " + std::to_string(kReasonWidth) + " characters, without NUL");
    createSealTable(conn);
    const std::vector<SealRecord> links = Chain(conn, table);
    checkKeyAhead(links, key);
    QByteArray replaces;
    for (const SealRecord& l : links)
        if (l.day == day)
            replaces = l.hash();
    return storeLinks(conn, ChainName(table), links.empty() ? QByteArray() : links.back().hash(),
                      {{day, DigestDay(conn, table, day), reason, replaces}}, key)
        .front();
}

QString StatusName(DayVerdict::Status s)
{
    switch (s) {
    case DayVerdict::Intact: return QStringLiteral("intact");
    case DayVerdict::Archived: return QStringLiteral("archived");
    case DayVerdict::Changed: return QStringLiteral("changed");
    case DayVerdict::Missing: return QStringLiteral("seal missing");
    case DayVerdict::Forged: return QStringLiteral("seal forged");
    case DayVerdict::Broken: return QStringLiteral("chain broken");
    case DayVerdict::Cut: return QStringLiteral("chain cut");
    }
    return {};
}

bool TableVerdict::intact() const
{
    return std::all_of(days.begin(), days.end(), [](const DayVerdict& d) {
        return d.status == DayVerdict::Intact || d.status == DayVerdict::Archived;
    });
}

TableVerdict VerifyTable(odbc::Connection& conn, const QString& table, const QString& lastClosedDay,
                         const VerifyKeys& keys)
{
    checkedTable(table);
    TableVerdict out;
    out.table = table;
    out.macsChecked = keys.seed.has_value();
    const std::vector<SealRecord> links = Chain(conn, table);
    std::optional<EpochKeys> epochKeys;
    if (keys.seed)
        epochKeys.emplace(*keys.seed);

    // Each link against the one before it; a day's last link is its seal.
    std::map<QString, DayVerdict> verdicts;
    std::map<QString, const SealRecord*> current;
    std::set<QByteArray> hashes;
    auto mark = [&](const QString& day, DayVerdict::Status s, const QString& detail) {
        DayVerdict& v = verdicts[day];
        v.day = day;
        if (v.status == DayVerdict::Intact || s > v.status) {
            v.status = s;
            v.detail = detail;
        }
    };
    QByteArray previous;
    QString lastFirstSealDay;
    std::vector<int64_t> laterMin(links.size(), INT64_MAX);
    for (size_t i = links.size(); i-- > 1;)
        laterMin[i - 1] = std::min(laterMin[i], links[i].epoch);
    for (size_t i = 0; i < links.size(); ++i) {
        const SealRecord& l = links[i];
        const QString at = QStringLiteral("link %1 of the chain").arg(i + 1);
        DayVerdict& v = verdicts[l.day];
        v.day = l.day;
        ++v.links;
        v.history.push_back(l);
        if (l.previous != previous)
            mark(l.day, DayVerdict::Broken,
                 at + QStringLiteral(" does not follow the link before it: a seal before it is gone or was replaced"));
        // Whoever holds key n makes only epochs n and later: a link that is
        // not before every later link's epoch was made with a later key.
        if (l.epoch >= laterMin[i])
            mark(l.day, DayVerdict::Forged,
                 at + QStringLiteral(" claims epoch %1, not before the epoch %2 of a seal after it: made with a later key")
                          .arg(l.epoch).arg(laterMin[i]));
        else if (keys.keyFileEpoch && l.epoch >= *keys.keyFileEpoch)
            mark(l.day, DayVerdict::Forged,
                 at + QStringLiteral(" claims epoch %1, which the key file has not passed yet (%2)")
                          .arg(l.epoch).arg(*keys.keyFileEpoch));
        else if (epochKeys && !MacValid(epochKeys->at(l.epoch), l))
            mark(l.day, DayVerdict::Forged, at + QStringLiteral(" has a MAC that the key of its epoch %1 did not make")
                                                     .arg(l.epoch));
        const auto was = current.find(l.day);
        if (l.reason.isEmpty()) {
            // A first seal comes after every day sealed before it.
            if (was != current.end() || (!lastFirstSealDay.isEmpty() && l.day <= lastFirstSealDay))
                mark(l.day, DayVerdict::Broken, at + QStringLiteral(" seals a day out of order without a reason"));
            lastFirstSealDay = std::max(lastFirstSealDay, l.day);
        } else if (was != current.end() ? l.replaces != was->second->hash() : !l.replaces.isEmpty()) {
            mark(l.day, DayVerdict::Broken, at + QStringLiteral(" names a seal it replaces that is not the day's"));
        }
        current[l.day] = &l;
        previous = l.hash();
    }
    out.lastHash = previous;
    for (const auto& [day, l] : current)
        out.lastSealedDay = std::max(out.lastSealedDay, day);

    // Every sealed day against its rows now; the oldest days may be gone to
    // the archive, as retention deletes them oldest first.
    bool prefix = true;
    std::vector<QString> sealedDays;
    for (const auto& [day, l] : current)
        sealedDays.push_back(day);
    const std::vector<DayState> states = DigestDays(conn, table, sealedDays);
    size_t at = 0;
    for (auto& [day, l] : current) {
        DayVerdict& v = verdicts[day];
        v.sealedRows = l->rows;
        const DayState& now = states[at++];
        v.rows = now.rows;
        if (now.rows == 0 && prefix && l->rows > 0) {
            if (v.status == DayVerdict::Intact) {
                v.status = DayVerdict::Archived;
                v.detail = QStringLiteral("no longer in the table (archived?): check it with verify --archive");
            }
            continue;
        }
        prefix = false;
        if (now.rows != l->rows || now.digest != l->digest)
            mark(day, DayVerdict::Changed,
                 QStringLiteral("%1 rows now, %2 sealed%3")
                     .arg(now.rows).arg(l->rows)
                     .arg(now.rows == l->rows ? QStringLiteral(", other values") : QString()));
    }
    // Closed days with rows and no seal: inside the chain a seal is gone (or
    // late rows came to an empty day); after it the chain stops short.
    const QString from = current.empty() ? QString() : current.begin()->first;
    std::vector<QString> unsealed;
    for (const QString& day : daysWithRows(conn, table, QString(), lastClosedDay))
        if (!current.count(day))
            unsealed.push_back(day);
    const std::map<QString, int64_t> counts = rowCounts(conn, table, unsealed, lastClosedDay);
    for (const QString& day : unsealed) {
        const auto found = counts.find(day);
        const int64_t count = found == counts.end() ? 0 : found->second;
        DayVerdict& v = verdicts[day];
        v.day = day;
        v.rows = count;
        if (!from.isEmpty() && day < out.lastSealedDay)
            mark(day, DayVerdict::Missing, QStringLiteral("%1 rows and no seal, inside the chain").arg(count));
        else
            mark(day, DayVerdict::Cut, QStringLiteral("%1 rows of a closed day that the chain does not reach").arg(count));
    }
    for (auto& [day, v] : verdicts)
        out.days.push_back(std::move(v));
    return out;
}

} // namespace seal

std::optional<seal::SealRecord> CurrentSeal(odbc::Connection& conn, const QString& table, const QString& day)
{
    std::optional<seal::SealRecord> found;
    for (seal::SealRecord& l : seal::Chain(conn, table))
        if (l.day == day)
            found = std::move(l);
    return found;
}

bool DayMatches(odbc::Connection& conn, const QString& table, const QString& day, const seal::SealRecord& sealed)
{
    const seal::DayState now = seal::DigestDay(conn, table, day);
    return now.rows == sealed.rows && now.digest == sealed.digest;
}

} // namespace tallyquill
