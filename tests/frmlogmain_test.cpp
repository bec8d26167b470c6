// The log viewer screen: layout, filter input, retrieval and paging, languages.

#include "ViewerFixture.h"

#include "localize/clsLocalize.h"
#include "screens/frmLogMain.h"
#include "tallyquill/log_viewer.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTableWidget>
#include <QTimer>

using namespace tallyquill;

namespace {

constexpr int kTw = frmLogMain::kTwipsPerPixel;
const QColor kBlue(0, 0, 255), kRed(255, 0, 0);

void UseLanguage(QTemporaryDir& dir, const char* value)
{
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("KESTREL"))
        .setValue(QStringLiteral("COMMON/Language"), QString::fromLatin1(value));
    ReplaceLocalizer();
}

QPoint Twips(const QWidget* w) { return w->pos() * kTw; }
QColor Colour(const QLabel* l) { return l->palette().color(QPalette::WindowText); }
QString Cell(const frmLogMain& s, int row, int col) { return s.grdLogList->item(row - 1, col)->text(); }

void Type(QWidget* w, const QString& text)
{
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(w, &press);
    }
}

// A listener with made-up pages: `total` found, `available` delivered.
struct FakeLog : LogMainEvents {
    int32_t total = 0, available = -1, next = 1;
    bool failMore = false;
    int mores = 0;
    QString activity = QStringLiteral("r%1");
    LineLayout layout;
    ScreenSetup InitScreen() override { return {QStringLiteral("Log Viewer"), layout}; }
    void PopUpArchiveDlg() override {}
    void PopUpPrintDlg() override {}
    Retrieval RetrieveLog(const LogFilter&) override
    {
        next = 1;
        return {true, total, fill()};
    }
    Page MoreLog() override
    {
        ++mores;
        return failMore ? Page{} : fill();
    }
    Page fill()
    {
        Page page{true, {}};
        for (; page.records.size() < 10 && next <= (available < 0 ? total : available); ++next)
            page.records.push_back({"20010305", "101500", "APP ", "WS07  ", "OPERATOR", "PRINT",
                                    activity.arg(next)});
        return page;
    }
};

class LogMainScreen : public ::testing::Test {
protected:
    void SetUp() override { UseLanguage(settings, "0"); }
    void TearDown() override { SetClock({}); }
    frmLogMain& open(std::array<int16_t, 4> hide = {}, LogMainEvents* listener = nullptr)
    {
        viewer.appIdVisible = hide[0], viewer.wsIdVisible = hide[1];
        viewer.userVisible = hide[2], viewer.eventVisible = hide[3];
        fake.layout = viewer.layout();
        screen = std::make_unique<frmLogMain>();
        screen->listener = listener ? listener : &viewer;
        screen->load();
        screen->txtDateRangeStart->setText(QStringLiteral("05/03/2001"));
        screen->txtDateRangeEnd->setText(QStringLiteral("05/03/2001"));
        screen->txtAppID->setText(QStringLiteral("APP"));
        return *screen;
    }

    QTemporaryDir settings;
    ViewerAdapter viewer;
    FakeLog fake;
    MessageRecorder messages;
    std::unique_ptr<frmLogMain> screen;
};

TEST_F(LogMainScreen, OptionalFieldsCloseUpAndTheScreenShrinks)
{
    struct Layout {
        std::array<int16_t, 4> hide;
        int shrink;
        std::vector<std::pair<const char*, QPoint>> at;  // twips inside the frame
        QStringList headers;
        std::vector<int> widths;
    };
    const Layout layouts[] = {
        {{0, 0, 0, 0}, 0, {{"lblAppID", {360, 1080}}, {"txtWsID", {6120, 1080}}, {"txtUserName", {1680, 1440}},
                           {"lblEvent", {4680, 1440}}},
         {"Date", "Time", "App ID", "WS ID", "User", "Event Type", "Activity"}, {1000, 800, 1000, 1200, 900, 1000, 2410}},
        {{1, -1, 7, 1}, 720, {}, {"Date", "Time", "Activity"}, {1000, 800, 6510}},  // any non-zero hides
        {{1, 1, 1, 0}, 360, {{"lblEvent", {360, 1080}}, {"txtEvent", {1680, 1080}}},
         {"Date", "Time", "Event Type", "Activity"}, {1000, 800, 1000, 5510}},
        {{1, 0, 0, 0}, 0, {{"txtWsID", {1680, 1080}}, {"lblUserName", {4680, 1080}}, {"txtUserName", {6120, 1080}},
                           {"lblEvent", {360, 1440}}, {"txtEvent", {1680, 1440}}},
         {"Date", "Time", "WS ID", "User", "Event Type", "Activity"}, {1000, 800, 1200, 900, 1000, 3410}},
    };
    for (const Layout& l : layouts) {
        frmLogMain& s = open(l.hide);
        SCOPED_TRACE(l.headers.join(',').toStdString());
        const QWidget* optional[][2] = {{s.lblAppID, s.txtAppID}, {s.lblWsID, s.txtWsID},
                                        {s.lblUserName, s.txtUserName}, {s.lblEvent, s.txtEvent}};
        for (int i = 0; i < 4; ++i)
            for (const QWidget* w : optional[i])
                EXPECT_EQ(w->isHidden(), l.hide[i] != 0);
        for (const auto& [name, pos] : l.at)
            EXPECT_EQ(Twips(s.fraFilter->findChild<QWidget*>(name)), pos) << name;

        EXPECT_EQ(s.lblActivity->y() * kTw, 1800 - l.shrink);
        EXPECT_EQ(s.txtActivity->y() * kTw, 1800 - l.shrink);
        EXPECT_EQ(s.fraFilter->height() * kTw, 2295 - l.shrink);
        for (const QLabel* w : {s.lblTotalRecordDesc, s.lblTotalRecord, s.lblDownloadDesc, s.lblDownload})
            EXPECT_EQ(w->y() * kTw, 2640 - l.shrink);
        EXPECT_EQ(s.grdLogList->y() * kTw, 2880 - l.shrink);
        EXPECT_EQ(s.vscLogList->y(), s.grdLogList->y());
        for (const QWidget* w : {s.cmdPrint, s.cmdArchive, s.cmdCancel})
            EXPECT_EQ(w->y() * kTw, 5760 - l.shrink);
        EXPECT_EQ(s.outerHeightTwips(), 6600 - l.shrink);
        EXPECT_EQ(s.height() * kTw, 6225 - l.shrink);

        QStringList headers;
        std::vector<int> widths;
        for (int c = 0; c < s.grdLogList->columnCount(); ++c) {
            headers << s.grdLogList->horizontalHeaderItem(c)->text();
            widths.push_back(s.columnWidthTwips(c));
            EXPECT_EQ(s.grdLogList->columnWidth(c), qRound(widths.back() / double(kTw)));
            EXPECT_EQ(s.grdLogList->item(9, c)->textAlignment(), int(Qt::AlignLeft | Qt::AlignTop));
        }
        EXPECT_EQ(headers, l.headers);
        EXPECT_EQ(widths, l.widths);
        EXPECT_EQ(s.grdLogList->rowCount(), 10);
    }
}

TEST_F(LogMainScreen, LoadsWithTodayAndEmptyTimes)
{
    SetClock([] { return QDateTime(QDate(2001, 3, 5), QTime(23, 59, 59)); });
    screen = std::make_unique<frmLogMain>();
    screen->listener = &viewer;
    screen->load();
    frmLogMain& s = *screen;
    for (const QLineEdit* date : {s.txtDateRangeStart, s.txtDateRangeEnd})
        EXPECT_EQ(date->displayText(), "05/03/2001");
    for (const QLineEdit* time : {s.txtTimeRangeStart, s.txtTimeRangeEnd})
        EXPECT_EQ(time->displayText(), "__:__:__");
    EXPECT_EQ(s.lblTotalRecord->text() + s.lblDownload->text(), "00");
    EXPECT_EQ(Colour(s.lblDownload), kBlue);
    EXPECT_FALSE(s.cmdPrint->isEnabled());
    EXPECT_TRUE(s.cmdRetrieve->isEnabled() && s.cmdRetrieve->isDefault());
}

TEST_F(LogMainScreen, RejectedFilterTellsWhyAndFocusesTheField)
{
    frmLogMain& s = open();
    auto expectRejected = [&](const char* text, QWidget* focus) {
        s.cmdRetrieve->click();
        ASSERT_EQ(messages.messages().size(), 1u) << "no retrieval may follow";
        EXPECT_EQ(messages.messages()[0].text, text);
        EXPECT_EQ(messages.messages()[0].title, "Error");
        EXPECT_EQ(messages.messages()[0].icon, MsgIcon::Warning);
        EXPECT_EQ(s.focusWidget(), focus) << text;
        messages.clear();
    };
    s.txtTimeRangeEnd->setText(QStringLiteral("10:00:00"));
    expectRejected("No start time", s.txtTimeRangeStart);
    s.txtTimeRangeEnd->clear();
    s.txtAppID->setText(QStringLiteral("  "));
    s.txtDateRangeStart->setText(QStringLiteral("31/04/2001"));
    expectRejected("Application ID is mandatory", s.txtAppID);
    s.txtAppID->setText(QStringLiteral("APP"));
    expectRejected("Invalid date", s.txtDateRangeStart);
    EXPECT_EQ(s.txtDateRangeStart->displayText(), "31/04/2001");  // left as typed
    s.txtDateRangeStart->setText(QStringLiteral("29/02/2000"));
    s.txtDateRangeEnd->setText(QStringLiteral("1"));  // one digit typed: not empty, not a date
    expectRejected("Invalid date", s.txtDateRangeEnd);
    s.txtDateRangeEnd->clear();
    expectRejected("Date range is mandatory", s.txtDateRangeEnd);

    // A hidden application field is not asked for: the retrieval goes ahead.
    open({1, 0, 0, 0}, &fake);
    screen->txtAppID->clear();
    screen->cmdRetrieve->click();
    EXPECT_EQ(messages.texts(), QStringList({"No Record Found"}));
}

TEST_F(LogMainScreen, IdentifierFieldsTypeInCapitalsAndReArmRetrieve)
{
    frmLogMain& s = open();
    s.cmdRetrieve->setEnabled(false);
    Type(s.txtWsID, QStringLiteral("ab"));
    s.txtWsID->setCursorPosition(1);
    Type(s.txtWsID, QStringLiteral("c"));
    EXPECT_EQ(s.txtWsID->text(), "ACB");
    EXPECT_EQ(s.txtWsID->cursorPosition(), 2);
    EXPECT_TRUE(s.cmdRetrieve->isEnabled());
    s.cmdRetrieve->setEnabled(false);
    Type(s.txtActivity, QStringLiteral("Mixed"));
    EXPECT_EQ(s.txtActivity->text(), "Mixed");
    EXPECT_TRUE(s.cmdRetrieve->isEnabled());
}

TEST_F(LogMainScreen, PagesToTheLastOfManyAndStopsOnShortOrFailedPages)
{
    frmLogMain& s = open({}, &fake);
    fake.total = 100000;
    s.cmdRetrieve->click();
    EXPECT_EQ(s.vscLogList->maximum(), 99991);
    s.vscLogList->setValue(s.vscLogList->maximum());
    EXPECT_EQ(s.pager().downloaded(), 100000);
    EXPECT_EQ(s.lblDownload->text(), "100000");
    EXPECT_EQ(Cell(s, 10, 6), "r100000");
    EXPECT_EQ(Cell(s, 1, 3), "WS07");

    fake.total = 25;
    fake.available = 13;  // the table lost records between count and fetch
    fake.mores = 0;
    s.txtActivity->setText(QStringLiteral("x"));
    s.cmdRetrieve->click();
    s.vscLogList->setValue(16);
    EXPECT_EQ(fake.mores, 2);  // the empty page ends the loop
    EXPECT_EQ(s.pager().downloaded(), 13);
    EXPECT_EQ(Colour(s.lblDownload), kRed);
    EXPECT_EQ(Cell(s, 1, 0), "");  // record 16 never came

    fake.failMore = true;
    s.vscLogList->setValue(4);
    EXPECT_EQ(messages.texts(), QStringList({"Error in retrieve records!"}));
    EXPECT_EQ(Cell(s, 10, 6), "r13");
}

TEST_F(LogMainScreen, ControlCharactersShowAsStandInsInTheGrid)
{
    fake.total = 1;
    fake.activity = QStringLiteral("r%1\r\nFORGED\x1b[2J\u2028.");
    frmLogMain& s = open({}, &fake);
    s.cmdRetrieve->click();
    EXPECT_EQ(Cell(s, 1, 6), QStringLiteral("r1\u240d\u240aFORGED\u241b[2J\ufffd."));
}

// Through the viewer on a real log table.
class LogMainDb : public tqtest::ViewerDb {
protected:
    void SetUp() override
    {
        ViewerDb::SetUp();
        UseLanguage(dir, "0");
    }
    void TearDown() override
    {
        screen.reset();
        ViewerDb::TearDown();
    }
    frmLogMain& open()
    {
        screen = std::make_unique<frmLogMain>();
        screen->listener = &viewer;
        screen->load();
        screen->txtDateRangeStart->setText(QStringLiteral("01/06/1998"));
        screen->txtDateRangeEnd->setText(QStringLiteral("01/06/1998"));
        screen->txtAppID->setText(app);
        return *screen;
    }
    void add(int from, int to)  // records "r<k>", one a minute from 00:00
    {
        for (int k = from; k <= to; ++k)
            insert("19980601", QTime(0, 0).addSecs(60 * (k - 1)).toString("HHmmss"), "WS01  ", "JOHN", "LOGIN",
                   QStringLiteral("r%1").arg(k));
    }
    void expectList(const char* total, const char* downloaded, const QColor& colour, int maximum, int first)
    {
        EXPECT_EQ(screen->lblTotalRecord->text(), total);
        EXPECT_EQ(screen->lblDownload->text(), downloaded);
        EXPECT_EQ(Colour(screen->lblDownload), colour);
        EXPECT_EQ(screen->vscLogList->maximum(), maximum);
        const int last = QString::fromLatin1(total).toInt();
        for (int row = 1, r = first; row <= 10; ++row, ++r)
            EXPECT_EQ(Cell(*screen, row, 6), r <= last ? QStringLiteral("r%1").arg(r) : QString()) << row;
    }
    std::unique_ptr<frmLogMain> screen;
};

TEST_P(LogMainDb, RetrievesAndPagesTenAtATime)
{
    frmLogMain& s = open();
    s.cmdRetrieve->click();
    ASSERT_EQ(messages.texts(), QStringList({"No Record Found"}));
    EXPECT_EQ(messages.messages()[0].title, "Retrieve Logs");
    EXPECT_EQ(messages.messages()[0].icon, MsgIcon::Information);
    expectList("0", "0", kBlue, 1, 1);
    EXPECT_FALSE(s.cmdPrint->isEnabled());
    EXPECT_TRUE(s.cmdRetrieve->isEnabled());
    messages.clear();

    add(1, 7);
    s.cmdRetrieve->click();
    expectList("7", "7", kBlue, 1, 1);
    EXPECT_EQ(QStringList({Cell(s, 7, 0), Cell(s, 7, 1), Cell(s, 7, 2), Cell(s, 7, 3), Cell(s, 7, 4), Cell(s, 7, 5)}),
              QStringList({"01/06/1998", "00:06:00", app, "WS01", "JOHN", "LOGIN"}));
    EXPECT_TRUE(s.cmdPrint->isEnabled());
    EXPECT_FALSE(s.cmdRetrieve->isEnabled());  // the same filter again needs a change first

    add(8, 10);
    s.txtActivity->setText(QStringLiteral("r"));
    s.cmdRetrieve->click();
    expectList("10", "10", kBlue, 1, 1);

    add(11, 11);
    s.txtActivity->clear();
    s.cmdRetrieve->click();
    expectList("11", "10", kRed, 2, 1);
    s.vscLogList->setValue(2);
    expectList("11", "11", kBlue, 2, 2);

    add(12, 25);
    s.txtActivity->setText(QStringLiteral("r"));
    s.cmdRetrieve->click();  // back at the top without asking for a page
    EXPECT_EQ(s.vscLogList->value(), 1);
    expectList("25", "10", kRed, 16, 1);
    s.vscLogList->setValue(2);
    expectList("25", "20", kRed, 16, 2);
    s.vscLogList->setSliderDown(true);  // a drag pages before the thumb is let go
    s.vscLogList->setSliderPosition(16);
    expectList("25", "25", kBlue, 16, 16);
    s.vscLogList->setSliderDown(false);
    EXPECT_TRUE(messages.messages().empty());

    // Closing empties the lists but keeps the counters; a reload shows 0.
    s.cmdCancel->click();
    EXPECT_TRUE(s.pager().records().empty());
    EXPECT_EQ(s.pager().total(), 25);
    s.load();
    expectList("0", "0", kBlue, 1, 1);
    EXPECT_FALSE(s.cmdPrint->isEnabled());
}

TEST_P(LogMainDb, HiddenApplicationFieldAndAFailedRetrieval)
{
    add(1, 3);
    viewer.appIdVisible = 1;  // the viewer's own AppID names the table
    frmLogMain& s = open();
    s.cmdRetrieve->click();
    EXPECT_EQ(QStringList({Cell(s, 2, 0), Cell(s, 2, 2), Cell(s, 2, 5)}), QStringList({"01/06/1998", "WS01", "r2"}));

    service().source.appId = "NO-SUCH";
    s.txtActivity->setText(QStringLiteral("r"));
    s.cmdRetrieve->click();
    ASSERT_FALSE(messages.messages().empty());
    EXPECT_EQ(messages.messages().back().text, "Error in retrieve records!");
    EXPECT_EQ(Cell(s, 1, 5), "");  // no rows of records nothing holds any more
}

INSTANTIATE_TEST_SUITE_P(Db, LogMainDb, ::testing::Values("sqlite"), ::tqtest::backendName);

TEST(ShowLog, OpensAfreshModelessOrModal)
{
    QTemporaryDir dir;
    UseLanguage(dir, "0");
    // The public class, found by the screen's name among the windows.
    auto shown = [] {
        std::vector<frmLogMain*> screens;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == "frmLogMain" && w->isVisible())
                screens.push_back(static_cast<frmLogMain*>(w));
        return screens;
    };
    LogViewer viewer;
    viewer.ShowLog(0);
    ASSERT_EQ(shown().size(), 1u);
    viewer.setEventVisible(-1);
    frmLogMain* modal = nullptr;
    QTimer::singleShot(0, [&] {
        ASSERT_EQ(shown().size(), 1u);  // the earlier screen gave way
        modal = shown()[0];
        modal->cmdCancel->click();
    });
    viewer.ShowLog(1);
    ASSERT_TRUE(modal);
    EXPECT_TRUE(shown().empty());
    EXPECT_TRUE(modal->txtEvent->isHidden());
}

// Also leaves screenshots in the build tree for a look at each language.
TEST_F(LogMainScreen, EveryCaptionInEachLanguage)
{
    const QString shots = QCoreApplication::applicationDirPath() + QStringLiteral("/screenshots");
    QDir().mkpath(shots);
    for (const int offset : {0, 1000, 2000}) {
        UseLanguage(settings, QByteArray::number(offset).constData());
        for (const bool hidden : {false, true}) {
            frmLogMain& s = hidden ? open({1, 0, 1, 0}, &fake) : open({}, &fake);
            EXPECT_EQ(s.windowTitle(), LookupString(815 + offset));
            for (QObject* o : s.findChildren<QObject*>()) {
                const int id = o->property("tag").toInt();
                auto l = qobject_cast<QLabel*>(o);
                auto b = qobject_cast<QPushButton*>(o);
                auto g = qobject_cast<QGroupBox*>(o);
                if (id) {
                    EXPECT_EQ(l ? l->text() : b ? b->text() : g ? g->title() : QString(), LookupString(id + offset))
                        << o->objectName().toStdString() << " " << offset;
                }
            }
            EXPECT_EQ(s.grdLogList->horizontalHeaderItem(2)->text(), LookupString((hidden ? 862 : 861) + offset));
            fake.total = 25;
            s.cmdRetrieve->click();
            const QString file = QStringLiteral("%1/frmLogMain_%2_%3.png")
                                     .arg(shots, QString::number(offset / 1000), hidden ? "hidden" : "all");
            EXPECT_TRUE(s.grab().save(file)) << file.toStdString();
        }
    }
}

} // namespace
