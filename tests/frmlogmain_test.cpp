// The log viewer screen: layout, filter input, retrieval and paging, languages.

#include "ViewerFixture.h"

#include "localize/clsLocalize.h"
#include "screens/ScreenKit.h"
#include "screens/WindowMemory.h"
#include "screens/frmArchive.h"
#include "screens/frmGetDir.h"
#include "screens/frmLogDetail.h"
#include "screens/frmLogMain.h"
#include "screens/frmPrint.h"
#include "tallyquill/log_viewer.h"

#include <QApplication>
#include <QEventLoop>
#include <QCheckBox>
#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QTableWidget>
#include <QTextBlock>
#include <QTextDocumentFragment>
#include <QTextLayout>
#include <QThread>
#include <QTimer>
#include <QWindow>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

using namespace tallyquill;
using tallyquill::screenkit::SpokenText;

namespace {

constexpr int kTw = frmLogMain::kTwipsPerPixel;
const QColor kBlue(0, 0, 255), kRed(255, 0, 0);

// Also keeps what the screen remembers of its window in `dir`.
void UseLanguage(QTemporaryDir& dir, const char* value)
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("KESTREL"))
        .setValue(QStringLiteral("COMMON/Language"), QString::fromLatin1(value));
    ReplaceLocalizer();
}

double screen_dpi() { return QGuiApplication::primaryScreen()->logicalDotsPerInchY(); }
QPoint Twips(const QWidget* w) { return w->pos() * kTw; }
QColor Colour(const QLabel* l) { return l->palette().color(QPalette::WindowText); }
QString Cell(const frmLogMain& s, int row, int col) { return s.grdLogList->item(row - 1, col)->text(); }

void Press(QWidget* w, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QCoreApplication::sendEvent(w, &press);
}

void DoubleClick(QWidget* viewport, QPoint at)
{
    for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick}) {
        QMouseEvent click(type, at, viewport->mapToGlobal(at), Qt::LeftButton,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &click);
    }
}

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
    QStringList activities;  // of the first records; "r<k>" after them
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
                                    next <= activities.size() ? activities[next - 1] : activity.arg(next)});
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

// The wheel, the arrows at the window's edge, the page keys and
// Ctrl+Home/Ctrl+End move the window through the scroll bar: after each the
// scroll bar stands where the rows say, pages came as it fetches them, and
// the current and selected records move with the window.
TEST_F(LogMainScreen, KeysAndWheelPageAsTheScrollBarDoes)
{
    fake.total = 95;
    frmLogMain& s = open({}, &fake);
    s.show();
    s.cmdRetrieve->click();
    s.grdLogList->setCurrentCell(0, 0);
    QWidget* grid = s.grdLogList;
    auto wheel = [&s](int notches) {
        const QPointF at(20, 40);
        QWheelEvent e(at, s.grdLogList->viewport()->mapToGlobal(at), QPoint(), QPoint(0, 120 * notches), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(s.grdLogList->viewport(), &e);
    };
    struct Step {
        const char* what;
        std::function<void()> act;
        int top, current;
    };
    const Step steps[] = {
        {"Down to the last row", [&] { for (int i = 0; i < 9; ++i) Press(grid, Qt::Key_Down); }, 1, 10},
        {"Down at the edge", [&] { Press(grid, Qt::Key_Down); }, 2, 11},
        {"Page Down", [&] { Press(grid, Qt::Key_PageDown); }, 12, 21},
        {"wheel down two notches", [&] { wheel(-2); }, 18, 21},
        {"wheel up one", [&] { wheel(1); }, 15, 21},
        {"Up inside the window", [&] { Press(grid, Qt::Key_Up); }, 15, 20},
        {"Ctrl+End", [&] { Press(grid, Qt::Key_End, Qt::ControlModifier); }, 86, 95},
        {"Down with nothing below", [&] { Press(grid, Qt::Key_Down); }, 86, 95},
        {"Page Up", [&] { Press(grid, Qt::Key_PageUp); }, 76, 85},
        {"Ctrl+Home", [&] { Press(grid, Qt::Key_Home, Qt::ControlModifier); }, 1, 1},
        {"Up at the top", [&] { Press(grid, Qt::Key_Up); }, 1, 1},
    };
    for (const Step& step : steps) {
        step.act();
        SCOPED_TRACE(step.what);
        EXPECT_EQ(s.vscLogList->value(), step.top);
        for (int row = 1; row <= s.windowRows(); ++row)
            EXPECT_EQ(Cell(s, row, 6), QStringLiteral("r%1").arg(step.top + row - 1)) << row;
        EXPECT_EQ(s.grdLogList->currentRow(), step.current - step.top);
    }
    EXPECT_EQ(fake.mores, 9) << "every page once, as the scroll bar fetched them";
    EXPECT_EQ(s.pager().downloaded(), 95);

    // A selection made across moves of the window is copied whole.
    Press(grid, Qt::Key_PageDown, Qt::ShiftModifier);
    Press(grid, Qt::Key_Down, Qt::ShiftModifier);
    Press(grid, Qt::Key_C, Qt::ControlModifier);
    const QStringList lines = QGuiApplication::clipboard()->text().split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 12) << lines.join("\n").toStdString();
    EXPECT_TRUE(lines.first().endsWith(" r1") && lines.last().endsWith(" r12"));
}

// An activity of 250 Chinese characters is far wider than its column: its
// tooltip and the detail view hold all of it, and markup in a text shows as
// typed. Ctrl+C copies the selected records as print-file lines.
TEST_F(LogMainScreen, EveryRecordCanBeReadWhole)
{
    QString chinese;
    for (int i = 0; i < 250; ++i)
        chinese += QChar(0x4E00 + (i * 37) % 0x5000);
    const QString markup = QStringLiteral("<b>bold</b> &amp; <img src=\"x\"> two  spaces");
    fake.activities = {chinese, markup};
    fake.total = 3;
    frmLogMain& s = open({}, &fake);
    s.show();
    s.cmdRetrieve->click();
    auto tip = [&s](int row, int col) {
        return QTextDocumentFragment::fromHtml(s.grdLogList->item(row - 1, col)->toolTip()).toPlainText();
    };
    for (int col = 0; col < 6; ++col)
        EXPECT_EQ(tip(1, col), Cell(s, 1, col)) << col;
    EXPECT_EQ(tip(1, 6), chinese);
    EXPECT_EQ(tip(2, 6), markup);
    EXPECT_TRUE(s.grdLogList->item(3, 0)->toolTip().isEmpty()) << "no record, no tooltip";

    // Enter on a row opens it beside the screen; the detail follows the
    // current record; a double-click opens another.
    s.grdLogList->setCurrentCell(0, 3);
    Press(s.grdLogList, Qt::Key_Return);
    frmLogDetail* d = s.detailView();
    ASSERT_TRUE(d && d->isVisible());
    EXPECT_TRUE(messages.messages().empty());
    QStringList fields;
    for (int i = 0; i < frmLogDetail::kShortFields; ++i)
        fields << d->lblDetail[i]->text() + "=" + d->txtDetail[i]->text();
    EXPECT_EQ(fields, QStringList({"Date=05/03/2001", "Time=10:15:00", "App ID=APP", "WS ID=WS07", "User=OPERATOR",
                                   "Event Type=PRINT"}));
    EXPECT_EQ(d->lblDetailActivity->text(), "Activity");
    EXPECT_EQ(d->txtDetailActivity->toPlainText(), chinese);
    EXPECT_TRUE(d->txtDetailActivity->isReadOnly() && d->txtDetail[0]->isReadOnly());
    EXPECT_TRUE(d->txtDetailActivity->textInteractionFlags() & Qt::TextSelectableByKeyboard);
    QCoreApplication::processEvents();
    EXPECT_GT(d->txtDetailActivity->document()->firstBlock().layout()->lineCount(), 3) << "wrapped";
    Press(s.grdLogList, Qt::Key_Down);
    EXPECT_EQ(d->txtDetailActivity->toPlainText(), markup);
    d->close();
    DoubleClick(s.grdLogList->viewport(), s.grdLogList->visualItemRect(s.grdLogList->item(2, 1)).center());
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(d->txtDetailActivity->toPlainText(), "r3");

    s.grdLogList->clearSelection();
    s.grdLogList->selectionModel()->select(s.grdLogList->model()->index(0, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
    s.grdLogList->selectionModel()->select(s.grdLogList->model()->index(2, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
    Press(s.grdLogList, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(),
              BuildLogLine({"05/03/2001", "10:15:00", "APP", "WS07", "OPERATOR", "PRINT", chinese}, s.layout()) + "\n"
                  + BuildLogLine({"05/03/2001", "10:15:00", "APP", "WS07", "OPERATOR", "PRINT", "r3"}, s.layout())
                  + "\n");
}

// At one and a half times the design font every length grows by as much, so
// that no caption is cut and no two controls overlap, in any language.
TEST_F(LogMainScreen, GrowsWithTheFontInEveryLanguage)
{
    const QFont design = QApplication::font();
    QFont large = design;
    large.setPointSizeF(design.pixelSize() * 1.5 * 72 / screen_dpi());
    QApplication::setFont(large);
    for (const char* language : {"0", "1000", "2000"}) {
        UseLanguage(settings, language);
        frmLogMain& s = open({}, &fake);
        SCOPED_TRACE(language);
        EXPECT_EQ(s.lblActivity->font().pointSizeF(), large.pointSizeF()) << "the desktop's font";
        EXPECT_NEAR(s.fontScale(), 1.5, 1e-9);
        EXPECT_EQ(s.openingSize(), QSize(8895 / 10, 6225 / 10));
        frmArchive archive;
        archive.load();
        frmPrint print;
        print.load();
        frmGetDir::Shared().show();
        frmGetDir::Shared().close();  // discarded: made afresh in this font
        const std::pair<QWidget*, int> screens[] = {
            {&s, 8895}, {&archive, 5790}, {&print, 4110}, {&frmGetDir::Shared(), 4350}};  // design widths
        for (const auto& [screen, designWidth] : screens) {
            EXPECT_EQ(screen->minimumWidth(), designWidth / 10) << screen->objectName().toStdString();
            QList<QWidget*> containers = {screen};
            for (QGroupBox* frame : screen->findChildren<QGroupBox*>())
                containers << frame;
            for (const QWidget* parent : containers) {
                std::vector<const QWidget*> shown;
                for (const QWidget* w : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                    if (!w->isHidden() && !w->isWindow())
                        shown.push_back(w);
                for (const QWidget* w : shown) {
                    const std::string name = screen->objectName().toStdString() + "." + w->objectName().toStdString();
                    const QString text = SpokenText(w);
                    const QFontMetrics m(w->font());
                    const bool check = qobject_cast<const QCheckBox*>(w) || qobject_cast<const QRadioButton*>(w);
                    EXPECT_LE(check ? w->sizeHint().width() : m.horizontalAdvance(text), w->width()) << name;
                    EXPECT_LE(text.isEmpty() ? 0 : m.height(), w->height()) << name;
                    // The designs let some neighbours share a seam of 15 twips
                    // (the grid's border and its scroll bar, the counters and
                    // the grid): that may grow to two pixels, nothing more.
                    for (const QWidget* other : shown) {
                        const QRect both = w->geometry() & other->geometry();
                        if (w < other && !both.isEmpty())
                            EXPECT_LE(std::min(both.width(), both.height()), 2)
                                << name << " and " << other->objectName().toStdString();
                    }
                }
            }
        }
    }
    QApplication::setFont(design);
    // The dialogs keep their designed size.
    frmPrint print;
    EXPECT_EQ(print.minimumSize(), print.maximumSize());
}

// Enlarged, the grid and its activity column take the room, the rest keeps
// to its edges, and as many more rows as fit show records fetched ten at a
// time.
TEST_F(LogMainScreen, AnEnlargedWindowGivesItsRoomToTheGridAndTheActivity)
{
    frmLogMain& s = open({}, &fake);
    s.show();
    auto geometry = [&s](const char* name) { return s.findChild<QWidget*>(name)->geometry(); };
    std::map<std::string, QRect> was;
    for (const QWidget* w : s.findChildren<QWidget*>())
        was[w->objectName().toStdString()] = w->geometry();
    const int activity = s.grdLogList->columnWidth(6);
    fake.total = 40;
    s.cmdRetrieve->click();
    s.resize(s.size() + QSize(180, 150));
    const std::pair<const char*, QRect> moved[] = {
        {"grdLogList", was["grdLogList"].adjusted(0, 0, 180, 150)},
        {"vscLogList", was["vscLogList"].translated(180, 0).adjusted(0, 0, 0, 150)},
        {"cmdCancel", was["cmdCancel"].translated(180, 150)},
        {"fraFilter", was["fraFilter"].adjusted(0, 0, 180, 0)},
        {"cmdRetrieve", was["cmdRetrieve"].translated(180, 0)},
        {"txtActivity", was["txtActivity"].adjusted(0, 0, 180, 0)},
        {"txtEvent", was["txtEvent"]},
        {"lblDownload", was["lblDownload"]},
    };
    for (const auto& [name, rect] : moved)
        EXPECT_EQ(geometry(name), rect) << name;
    EXPECT_EQ(s.grdLogList->columnWidth(6), activity + 180);

    const int rows = 10 + 150 / s.grdLogList->verticalHeader()->defaultSectionSize();
    EXPECT_EQ(s.grdLogList->rowCount(), rows);
    QCoreApplication::processEvents();  // the pages the larger window shows
    EXPECT_EQ(s.pager().downloaded(), (rows / 10 + 1) * 10);
    EXPECT_EQ(Cell(s, rows, 6), QStringLiteral("r%1").arg(rows));
    EXPECT_EQ(s.vscLogList->maximum(), 40 - rows + 1);
    Press(s.grdLogList, Qt::Key_End);
    EXPECT_EQ(Cell(s, rows, 6), "r40");
    EXPECT_EQ(Cell(s, 1, 6), QStringLiteral("r%1").arg(40 - rows + 1));
}

// A double-click on a header edge fits the column; the activity gives what
// it takes.
TEST_F(LogMainScreen, ADoubleClickOnAHeaderEdgeFitsTheColumn)
{
    frmLogMain& s = open({}, &fake);
    s.show();
    const int activity = s.grdLogList->columnWidth(6);
    fake.total = 40;
    s.cmdRetrieve->click();
    QHeaderView* header = s.grdLogList->horizontalHeader();
    DoubleClick(header->viewport(), QPoint(header->sectionSize(0) - 1, header->height() / 2));
    const int fitted = s.grdLogList->columnWidth(0);
    EXPECT_GT(fitted, s.grdLogList->fontMetrics().horizontalAdvance("05/03/2001"));
    EXPECT_EQ(s.grdLogList->columnWidth(6), activity - (fitted - 67));
}

// The next opening comes back as the operator left it, and the file it is
// kept in, shared with the writer's settings, keeps those as written.
TEST_F(LogMainScreen, TheNextOpeningComesBackAsTheOperatorLeftIt)
{
    QDir().mkpath(QFileInfo(WindowMemory::filePath()).path());
    QFile shared(WindowMemory::filePath());
    ASSERT_TRUE(shared.open(QIODevice::WriteOnly));
    const QByteArray writer = "; the writer's own\n[Writer]\nSpool=1\nSpoolLimitMB=5\n";
    shared.write(writer);
    shared.close();
    frmLogMain& s = open({}, &fake);
    s.show();
    const QRect cancel = s.cmdCancel->geometry();
    fake.total = 40;
    s.cmdRetrieve->click();
    s.resize(s.size() + QSize(180, 150));
    QHeaderView* header = s.grdLogList->horizontalHeader();
    DoubleClick(header->viewport(), QPoint(header->sectionSize(0) - 1, header->height() / 2));
    const int fitted = s.grdLogList->columnWidth(0);
    s.move(40, 30);
    s.cmdCancel->click();
    ASSERT_TRUE(shared.open(QIODevice::ReadOnly));
    EXPECT_TRUE(shared.readAll().startsWith(writer + "\n[frmLogMain]\n"));
    shared.close();
    frmLogMain& again = open({}, &fake);
    again.show();
    EXPECT_EQ(again.size(), again.openingSize() + QSize(180, 150));
    EXPECT_EQ(again.pos(), QPoint(40, 30));
    EXPECT_EQ(again.grdLogList->columnWidth(0), fitted);
    EXPECT_EQ(again.cmdCancel->geometry(), cancel.translated(180, 150));
    again.close();

    // Another layout keeps the operator's extra room.
    frmLogMain& fewer = open({1, 1, 0, 0}, &fake);
    EXPECT_EQ(fewer.size(), fewer.openingSize() + QSize(180, 150));
}

// A file the screen cannot use leaves the design as it is, and one that
// would block the opening is not read.
TEST_F(LogMainScreen, AnUnusableWindowFileLeavesTheDesign)
{
    QDir().mkpath(QFileInfo(WindowMemory::filePath()).path());
    QFile garbage(WindowMemory::filePath());
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write("[frmLogMain]\nextraWidth=90000\nextraHeight=abc\nx=1e9\ny=0\ncolumnDate=0\n");
    garbage.close();
    frmLogMain& plain = open({}, &fake);
    const QSize desktop = QGuiApplication::primaryScreen()->availableSize();
    EXPECT_EQ(plain.size(), QSize(desktop.width(), plain.openingSize().height())) << "no larger than the desktop";
    EXPECT_EQ(plain.grdLogList->columnWidth(0), 67);
    plain.show();
    plain.close();
    QFile::remove(WindowMemory::filePath());
    ASSERT_EQ(::mkfifo(QFile::encodeName(WindowMemory::filePath()).constData(), 0600), 0);
    frmLogMain& piped = open({}, &fake);  // would wait for a writer forever
    piped.show();
    EXPECT_EQ(piped.size(), piped.openingSize());
    piped.close();
}

// Under a real X server (the frmlogmain_x11 test runs this one under Xvfb):
// the enlarged screen in the desktop's font, the detail view open beside it.
TEST_F(LogMainScreen, ScreenshotUnderXOfTheEnlargedScreenWithItsDetail)
{
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server";
    const QFont design = QApplication::font();
    QApplication::setFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont));
    QString chinese = QStringLiteral("仓库盘点完成，");
    while (chinese.size() < 250)
        chinese += QStringLiteral("第%1批货物已入库并核对数量与单据一致；").arg(chinese.size());
    fake.activities = {QStringLiteral("Signed on from the front desk"), QStringLiteral("Printed invoice 10422"),
                       chinese.left(250), QStringLiteral("Order 7781 shipped to Lyon, carrier notified")};
    fake.total = 60;
    frmLogMain& s = open({}, &fake);
    s.move(10, 10);
    s.resize(s.size() + QSize(360, 240));
    s.show();
    s.cmdRetrieve->click();
    s.grdLogList->setCurrentCell(2, 0);
    Press(s.grdLogList, Qt::Key_Return);
    ASSERT_TRUE(s.detailView());
    QWidget* detail = s.detailView();
    for (int i = 0; i < 100 && !(s.windowHandle()->isExposed() && detail->windowHandle()->isExposed()); ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(20);
    }
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const QRect both = s.frameGeometry().united(detail->frameGeometry()).adjusted(-10, -10, 10, 10);
    const QString shots = QCoreApplication::applicationDirPath() + QStringLiteral("/screenshots");
    QDir().mkpath(shots);
    const QString file = shots + QStringLiteral("/frmLogMain_enlarged_detail_x11.png");
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, both.x(), both.y(), both.width(), both.height());
    EXPECT_TRUE(shot.save(file)) << file.toStdString();
    EXPECT_GT(detail->frameGeometry().left(), s.frameGeometry().right()) << "beside the screen";
    QApplication::setFont(design);
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
    EXPECT_TRUE(messages.messages().back().text.startsWith("Error in retrieve record:0, Invalid AppID"));
    EXPECT_EQ(Cell(s, 1, 5), "");  // no rows of records nothing holds any more
}

// The viewer's failure report is the failure's one box: a warning, plain
// text, the project's own words in the operator's language.
TEST_P(LogMainDb, AFailedRetrievalGivesOneBoxInTheOperatorsLanguage)
{
    add(1, 3);
    const QString known = QString::fromStdString(dsn);
    struct Case {
        QString dsn, appId;
        const char* language;
        QString says;
    };
    const Case cases[] = {
        {"tq_no_such_dsn", app, "0", "Cannot connect to the data source: [IM002] "},
        {"tq_no_such_dsn", app, "0", "(register it with tallyquill setup, or list the data sources with odbcinst -q -s)"},
        {"tq_no_such_dsn", app, "1000", u"无法连接到数据源：[IM002] "_qs},
        {"tq_no_such_dsn", app, "2000", u"請用 tallyquill setup 登記"_qs},
        {known + ";Database=x", app, "0", "data source name"},
        {known, "NO-SUCH", "1000", u"无效的应用程序标识符“NO-SUCH”"_qs},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says.toStdString());
        UseLanguage(dir, c.language);
        service().disconnect();
        service().source.dsn = c.dsn;
        frmLogMain& s = open();
        s.txtAppID->setText(c.appId);
        messages.clear();
        s.cmdRetrieve->click();
        ASSERT_EQ(messages.messages().size(), 1u) << messages.texts().join(" | ").toStdString();
        const Message& m = messages.messages()[0];
        EXPECT_EQ(m.icon, MsgIcon::Warning);
        EXPECT_TRUE(m.text.startsWith(LookupString(855 + (c.language[0] - '0') * 1000) + "0, ")) << m.text.toStdString();
        EXPECT_TRUE(m.text.contains(c.says)) << m.text.toStdString();
        EXPECT_FALSE(m.text.contains('`')) << m.text.toStdString();
    }
}

TEST_P(LogMainDb, PartlyTypedTimesFindWhatTheCheckAccepted)
{
    for (const char* time : {"010259", "010300", "130000", "170000", "170001"})
        insert("19980601", time, "WS01", "JOHN", "LOGIN", QString::fromLatin1(time));
    struct Case {
        const char* start;
        const char* end;
        QStringList found;
    };
    const Case cases[] = {
        {"1_:3_:__", "17:__:__", {"010300", "130000", "170000"}},  // 01:03:00 to 17:00:00
        {"_1:_3:__", "_1:_3:__", {"010300"}},
        {"__:__:__", "__:__:__", {"010259", "010300", "130000", "170000", "170001"}},
        {"13:__:__", "17:__:_1", {"130000", "170000", "170001"}},
    };
    frmLogMain& s = open();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.start) + " to " + c.end);
        s.txtTimeRangeStart->setText(QString::fromLatin1(c.start));
        s.txtTimeRangeEnd->setText(QString::fromLatin1(c.end));
        ASSERT_EQ(s.txtTimeRangeStart->displayText(), c.start);
        s.cmdRetrieve->click();
        QStringList found;
        for (int row = 1; row <= s.lblTotalRecord->text().toInt(); ++row)
            found << Cell(s, row, 6);
        EXPECT_EQ(found, c.found);
        EXPECT_TRUE(messages.messages().empty()) << messages.texts().join(", ").toStdString();
        messages.clear();
    }
}

INSTANTIATE_TEST_SUITE_P(Db, LogMainDb, ::testing::Values("sqlite"), ::tqtest::backendName);

// A retrieval larger than its capped count shows its first page at once and
// its exact count when that ends, on a connection and thread of its own. The
// count waits on its thread until the test lets it go.
class CountingDb : public LogMainDb {
protected:
    void SetUp() override
    {
        LogMainDb::SetUp();
        if (IsSkipped())
            return;
        service().countCap = 12;
        service().countStarting = [held = gate_.get_future().share()] { held.wait(); };
        add(1, 25);
        open();
        viewer.mLogViewDlg = std::move(screen);  // where the viewer hands the count
    }
    void TearDown() override
    {
        letGo();
        viewer.mLogViewDlg.reset();
        LogMainDb::TearDown();
    }
    frmLogMain& s() { return *viewer.mLogViewDlg; }
    void letGo()
    {
        if (!released_.exchange(true))
            gate_.set_value();
    }
    // Runs the screen's events until `done` holds (or a minute passed).
    bool waitFor(const std::function<bool()>& done)
    {
        QEventLoop loop;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, &loop, [&] {
            if (done())
                loop.quit();
        });
        look.start(5);
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        if (!done())
            loop.exec();
        return done();
    }
    void expectList(const char* total, const char* downloaded, const QColor& colour, int maximum, int first, int last)
    {
        EXPECT_EQ(s().lblTotalRecord->text(), total);
        EXPECT_EQ(s().lblDownload->text(), downloaded);
        EXPECT_EQ(Colour(s().lblDownload), colour);
        EXPECT_EQ(s().vscLogList->maximum(), maximum);
        for (int row = 1, r = first; row <= 10; ++row, ++r)
            EXPECT_EQ(Cell(s(), row, 6), r <= last ? QStringLiteral("r%1").arg(r) : QString()) << row;
    }

private:
    std::promise<void> gate_;
    std::atomic<bool> released_{false};
};

TEST_P(CountingDb, TheFirstPageShowsBeforeASlowCountAndTheCountFollows)
{
    s().cmdRetrieve->click();
    // Held: blank for a moment, in case the count ends; then more than 12
    // are known, and the scroll range covers 13.
    EXPECT_EQ(s().lblTotalRecord->text(), "");
    ASSERT_TRUE(waitFor([&] { return !s().lblTotalRecord->text().isEmpty(); }));
    expectList("12+", "10", kRed, 4, 1, 10);
    s().vscLogList->setValue(4);  // paging goes on meanwhile
    expectList("12+", "20", kRed, 4, 4, 13);
    letGo();
    ASSERT_TRUE(waitFor([&] { return !s().pager().counting(); }));
    expectList("25", "20", kRed, 16, 4, 13);
    s().vscLogList->setValue(16);
    expectList("25", "25", kBlue, 16, 16, 25);
    EXPECT_TRUE(messages.messages().empty()) << messages.texts().join(" | ").toStdString();

    // A count that ends within the first page's patience shows as a plain count.
    service().countPatience = std::chrono::minutes(1);
    s().txtActivity->setText(QStringLiteral("r"));
    s().cmdRetrieve->click();
    EXPECT_FALSE(s().pager().counting());
    expectList("25", "10", kRed, 16, 1, 10);
}

TEST_P(CountingDb, ANewRetrievalDropsTheCountOfTheOneBefore)
{
    s().cmdRetrieve->click();
    ASSERT_TRUE(s().pager().counting());
    s().txtTimeRangeStart->setText(QStringLiteral("00:00:00"));
    s().txtTimeRangeEnd->setText(QStringLiteral("00:19:00"));
    s().cmdRetrieve->click();  // while the count of all 25 is held
    ASSERT_TRUE(waitFor([&] { return s().lblTotalRecord->text() == "12+"; }));
    letGo();
    ASSERT_TRUE(waitFor([&] { return !s().pager().counting(); }));
    expectList("20", "10", kRed, 11, 1, 10);
}

TEST_P(CountingDb, APrintWhileCountingPrintsEveryRecord)
{
    s().cmdRetrieve->click();
    s().vscLogList->setValue(4);
    ASSERT_TRUE(s().pager().counting());
    frmPrint print;
    print.listener = &viewer;
    print.records = &s().pager();
    print.layout = s().layout();
    std::thread countEnds([this] { letGo(); });  // while or before the print waits for it
    const QString path = dir.path() + QStringLiteral("/print.log");
    EXPECT_TRUE(print.PrintToFile(path));
    countEnds.join();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 26);  // the header and the 25
    EXPECT_TRUE(lines.back().endsWith(QStringLiteral(" r25")));
    ASSERT_TRUE(waitFor([&] { return !s().pager().counting(); }));
    EXPECT_EQ(s().lblTotalRecord->text(), "25");
}

// The count's own connection cannot open: the operator reads why, the first
// page stays, and paging goes on on the retrieval's connection.
TEST_P(CountingDb, AFailedCountIsReportedAndPagingGoesOn)
{
    ASSERT_TRUE(service().connect());
    service().source.dsn = QStringLiteral("tq_no_such_dsn");
    letGo();
    s().cmdRetrieve->click();
    ASSERT_TRUE(waitFor([&] { return !messages.messages().empty(); }));
    ASSERT_EQ(messages.messages().size(), 1u) << messages.texts().join(" | ").toStdString();
    EXPECT_TRUE(messages.messages()[0].text.startsWith("Error in retrieve record:")) << messages.texts()[0].toStdString();
    EXPECT_TRUE(messages.messages()[0].text.contains("IM002")) << messages.texts()[0].toStdString();
    EXPECT_EQ(messages.messages()[0].icon, MsgIcon::Warning);
    s().vscLogList->setValue(4);
    ASSERT_TRUE(waitFor([&] { return !s().lblTotalRecord->text().isEmpty(); }));
    expectList("12+", "20", kRed, 4, 4, 13);
}

TQ_INSTANTIATE_DB_TESTS(CountingDb);

TEST(ShowLog, ASecondCallKeepsTheOpenScreenAndOnlyAClosedOneOpensAfresh)
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
    frmLogMain* const first = shown()[0];
    first->txtActivity->setText(QStringLiteral("the operator's filter"));
    viewer.setEventVisible(-1);  // an open screen keeps what it was opened with

    viewer.ShowLog(0);
    ASSERT_EQ(shown(), std::vector<frmLogMain*>{first});
    bool modal = false;
    QTimer::singleShot(0, [&] {
        modal = QApplication::activeModalWidget() == first;
        EXPECT_EQ(first->txtActivity->text(), "the operator's filter");
        first->cmdCancel->click();
    });
    viewer.ShowLog(1);  // made modal, and waited for
    EXPECT_TRUE(modal);
    EXPECT_TRUE(shown().empty());
    EXPECT_FALSE(first->txtEvent->isHidden());

    viewer.ShowLog(0);  // closed: afresh, with the properties of now
    ASSERT_EQ(shown().size(), 1u);
    frmLogMain& again = *shown()[0];
    EXPECT_TRUE(again.txtActivity->text().isEmpty());
    EXPECT_TRUE(again.txtEvent->isHidden());
    again.cmdCancel->click();
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
