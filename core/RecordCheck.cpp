#include "core/RecordCheck.h"

#include "core/LogLine.h"
#include "core/LogTable.h"
#include "core/Schema.h"
#include "tallyquill/error.h"

#include <string_view>

namespace tallyquill {

namespace {

bool isUtf8(std::string_view s)
{
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        char32_t cp, least;
        if ((c & 0xE0) == 0xC0) {
            length = 2, cp = c & 0x1F, least = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3, cp = c & 0x0F, least = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4, cp = c & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (s.size() - i < length)
            return false;
        for (size_t k = 1; k < length; ++k) {
            const unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

// Characters of a text, or -1 when it holds a surrogate without its partner.
qsizetype characters(const QString& text)
{
    qsizetype count = 0;
    for (qsizetype i = 0; i < text.size(); ++i, ++count) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            return -1;
    }
    return count;
}

} // namespace

QString HostText(const std::string& utf8, const char* field)
{
    if (!isUtf8(utf8))
        throw InvalidTextError(std::string("The ") + field + " is not valid UTF-8");
    return QString::fromStdString(utf8);
}

void CheckRecord(const QString& appId, const QString& wsId, const QString& user, const QString& eventType,
                 const QString& data)
{
    if (!IsValidAppId(appId))
        throw InvalidAppIdError(appId.toStdString());
    struct Field {
        const QString& value;
        const char* name;
        LogColumn column;
    };
    const Field fields[] = {
        {appId, "application ID", LogColumn::AppID}, {wsId, "workstation ID", LogColumn::WsID},
        {user, "user name", LogColumn::User},        {eventType, "event type", LogColumn::EventType},
        {data, "activity text", LogColumn::Data},
    };
    for (const Field& f : fields) {
        if (f.value.contains(QChar(u'\0')))
            throw InvalidTextError(std::string("The ") + f.name + " holds a NUL character");
        const qsizetype count = characters(f.value);
        if (count < 0)
            throw InvalidTextError(std::string("The ") + f.name + " holds a lone surrogate (not valid UTF-16)");
        const ColumnSpec& column = Spec(f.column);
        if (count > column.width)
            throw DatabaseError("22001", 0,
                                std::string("value too long for type ") + column.typeName + "("
                                    + std::to_string(column.width) + "): the " + f.name + " (" + column.name
                                    + ") has " + std::to_string(count) + " characters");
    }
}

} // namespace tallyquill
