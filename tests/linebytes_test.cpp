// Lines written as bytes must be the lines BuildLogLine builds, byte for
// byte, whatever the values hold.

#include "core/LineBytes.h"
#include "core/LogLine.h"

#include <QStringDecoder>

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace tallyquill;

namespace {

// Valid UTF-8 decodes to its characters (a leading U+FEFF is one of them);
// invalid bytes as Qt's decoder takes them.
QString decoded(std::string_view bytes)
{
    QStringDecoder d(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    return d(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
}

std::string viaBytes(const RecordBytes& r, const LineLayout& layout)
{
    ByteBuffer out(16);  // grows as lines need
    AppendLogLine(out, r, layout);
    return std::string(out.data(), out.size());
}

std::string viaQString(const RecordBytes& r, const LineLayout& layout, bool display)
{
    LogRecord record{decoded(r.date), decoded(r.time),      decoded(r.appId),   decoded(r.wsId),
                     decoded(r.user), decoded(r.eventType), decoded(r.activity)};
    if (display)
        record = DisplayForm(record);
    return BuildLogLine(record, layout).toUtf8().toStdString() + "\r\n";
}

// Stored and display form (as the listing writes it), under every layout.
void expectSameUnderEveryLayout(const RecordBytes& r)
{
    std::string scratch;
    const RecordBytes display = DisplayFormBytes(r, scratch);
    for (int mask = 0; mask < 64; ++mask) {
        LineLayout c;
        c.keepBidi = mask & 32;
        c.hideAppID = mask & 1;
        c.hideWsID = mask & 2;
        c.hideUser = mask & 4;
        c.hideEvent = mask & 8;
        const bool inDisplayForm = mask & 16;
        ASSERT_EQ(viaBytes(inDisplayForm ? display : r, c), viaQString(r, c, inDisplayForm))
            << "mask " << mask << " activity " << testing::PrintToString(std::string(r.activity)) << " user "
            << testing::PrintToString(std::string(r.user));
    }
}

TEST(LineBytes, SameBytesAsBuildLogLine)
{
    const std::string user20 = "ABCDEFGHIJKLMNOPQRST", user25 = user20 + "UVWXY";
    const RecordBytes cases[] = {
        {"19980607", "094200", "ORDERS", "WS01", "JOHN", "LOGIN", "Signed on"},
        {"19980607", "094200", "", "", "", "", ""},
        // PostgreSQL pads char(n) columns; values at, under and over widths.
        {"20010101", "000001", "ORDERS    ", "WS01            ", "JOHN           ", "LOGIN   ", "x"},
        {"2001010100000", "0000011111", "ABCDEFGHIJKL", "0123456789ABCDEFGH", user25, "EVENTTYPE", "y"},
        {"d", "t", "A", "W", user20, "E", "x"},
        // Characters of two, three and four bytes, where widths cut them.
        {"19980607", "094200", "应用应用应用应用应用应用", "工作站工作站工作站工作站工作站工作站", "张三李四王五赵六钱七孙八周九吴十郑一王二",
         "登录登录登录登录登录", "打印 發票 ✓ 😀 é"},
        {"19980607", "094200", "😀😀😀😀😀😀😀😀😀😀😀", "ééééééééééééééééé", "a😀b😀c😀d😀e😀f😀g😀h😀i😀j😀k", "😀", "😀"},
        // Control characters, a byte order mark, a NUL, C1 and line separators.
        {"19980607", "094200", "\t\x1b[31m", "\r\n", std::string_view("a\0b", 3), "\xC2\x85", "\xEF\xBB\xBFline\xE2\x80\xA8two\x7f"},
        {"\xEF\xBB\xBF" "1998", "094200", "\xEF\xBB\xBF", "W", "U", "E", "\xEF\xBB\xBF"},
        // Invalid UTF-8: stray continuations, cut sequences, overlong forms,
        // surrogates, past U+10FFFF, bytes that never start a character.
        {"19980607", "094200", "\x80\x80", "\xE4\xB8", "\xC0\xAF\xC1\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80 \xF5\xFF\xFE"},
        {"1998\xE4", "09\xF0\x9F\x98", "\xE4\xB8" "A", "\xF0\x9F" "AB", "\xE0\x80\x80", "\xC3", "ends cut \xE4\xB8"},
        {"19980607", "094200", "APP", "WS", "USER", "EV", "\xEF\xBF\xBE\xEF\xBF\xBF nonchars \xF4\x8F\xBF\xBF"},
        // Bidirectional controls: U+202E, U+2066, U+200F, U+061C.
        {"19980607", "094200", "\xE2\x80\xAE" "APP", "\xE2\x81\xA6W", "\xE2\x80\x8FU", "\xD8\x9C", "a\xE2\x80\xAE" "b\xE2\x81\xA9"},
        // White space at the ends, as the listing trims it: blanks, tabs, the
        // ideographic space, no-break spaces, line separators; not U+FEFF
        // nor U+180E; a cut character after a blank.
        {"2001", "9", "\t ORD \r\n", "\xE3\x80\x80WS\xE3\x80\x80", "\xC2\xA0\xE2\x80\xA8u\xE2\x80\xA9", "\xEF\xBB\xBF",
         "\xE1\xA0\x8E x \xE2\x80\x8B"},
        {"200101011", "12345678", " \xE4\xB8", "\xC2\x85 \x0B", "       ", " \xE2\x80\x83" "e\xE2\x80\xAF", " a \xE4"},
    };
    for (const RecordBytes& r : cases)
        expectSameUnderEveryLayout(r);
}

TEST(LineBytes, SameBytesOnRandomValues)
{
    // Bytes drawn mostly from the edges of the UTF-8 classes.
    std::mt19937 rng(20240611);
    const unsigned char pool[] = {'a', ' ', ' ', 0x00, 0x09, 0x0A, 0x1F, 0x7F, 0x80, 0x85, 0x8F, 0x9F, 0xA0, 0xBF,
                                  0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE2, 0xE3, 0xE4, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0xBB};
    auto value = [&](size_t maxLen) {
        std::string s(rng() % (maxLen + 1), ' ');
        for (char& ch : s)
            ch = char(pool[rng() % std::size(pool)]);
        return s;
    };
    for (int i = 0; i < 3000; ++i) {
        const std::string d = value(12), t = value(10), a = value(14), w = value(20), u = value(24), e = value(12),
                          x = value(40);
        expectSameUnderEveryLayout({d, t, a, w, u, e, x});
        if (HasFatalFailure())
            return;
    }
}

} // namespace
