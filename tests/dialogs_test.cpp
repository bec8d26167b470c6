// The archive dialog, the directory chooser and the print dialog.

#include "ViewerFixture.h"

#include "screens/Choosers.h"
#include "localize/clsLocalize.h"
#include "screens/frmArchive.h"
#include "screens/frmGetDir.h"
#include "screens/frmLogMain.h"
#include "screens/frmPrint.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSettings>
#include <QTableWidget>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

using namespace tallyquill;

namespace {

constexpr int kTw = 15;

QRect Px(int left, int top, int width, int height) { return {left / kTw, top / kTw, width / kTw, height / kTw}; }

void UseLanguage(QTemporaryDir& dir, int offset)
{
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("KESTREL"))
        .setValue(QStringLiteral("COMMON/Language"), QString::number(offset));
    ReplaceLocalizer();
}

void Press(QWidget* w, int key)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &press);
}

QStringList Lines(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {QStringLiteral("<missing>")};
    QStringList l = QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"));
    l.removeLast();
    return l;
}

// Runs `step` once the modal loop that the next call starts is up.
void WhenModal(std::function<void()> step) { QTimer::singleShot(0, std::move(step)); }

// The process's chooser, made afresh in the current directory.
frmGetDir& FreshChooser()
{
    frmGetDir::Shared().show();  // a hidden one would not see the close box
    frmGetDir::Shared().close();  // the close box discards it
    return frmGetDir::Shared();
}

struct ArchiveSpy : ArchiveEvents {
    bool showAppId = true, answer = false, reported = false;
    std::vector<QStringList> runs;
    bool InitArchiveScreen() override { return showAppId; }
    ArchiveOutcome ArchiveLog(const ArchiveRequest& r) override
    {
        auto flag = [](bool b) { return QString::number(int(b)); };
        runs.push_back({r.AppID, r.ArchiveDate, flag(r.ToFile), flag(r.DelRecord), flag(r.MultiFile), r.FilePrefix,
                        r.Filename});
        ArchiveOutcome outcome{answer, {}, false};
        outcome.reported = reported;
        return outcome;
    }
};

class Dialogs : public ::testing::Test {
protected:
    void SetUp() override { UseLanguage(settings, 0); }
    void TearDown() override
    {
        SetFileDialog({});
        QDir::setCurrent(startDir);
    }
    frmArchive& openArchive(bool showAppId = true)
    {
        spy.showAppId = showAppId;
        archive = std::make_unique<frmArchive>();
        archive->listener = &spy;
        archive->show();
        return *archive;
    }

    QTemporaryDir settings, dir;
    QString startDir = QDir::currentPath();
    MessageRecorder messages;
    ArchiveSpy spy;
    std::unique_ptr<frmArchive> archive;
};

TEST_F(Dialogs, ArchiveStartsReadyForOneFileAndClosesUpWithoutTheApplicationRow)
{
    for (const bool show : {true, false}) {
        frmArchive& a = openArchive(show);
        const int up = show ? 0 : 360;
        EXPECT_EQ(a.txtAppID->isHidden() && a.lblAppID->isHidden(), !show);
        EXPECT_EQ(a.txtArchiveDate->y() * kTw, 480 - up);
        EXPECT_EQ(a.fraArchive->y() * kTw, 1800 - up);
        EXPECT_EQ(a.cmdCancel->pos() * kTw, QPoint(4440, 3360 - up));
        EXPECT_EQ(a.height() * kTw, 3825 - up);
        EXPECT_EQ(a.txtArchiveDate->displayText(), "__/__/____");
        EXPECT_TRUE(a.chkArchiveFile->isChecked() && a.fraArchive->isEnabled());
        EXPECT_FALSE(a.chkDeleteRecord->isChecked() || a.chkMultiFile->isChecked());
        EXPECT_FALSE(a.txtFilePrefix->isEnabled() || a.lblFilePrefix->isEnabled());
        EXPECT_EQ(a.lblFilename->text(), "File Name");
    }
    // Enter and Escape press nothing.
    frmArchive& a = *archive;
    Press(a.cmdOK, Qt::Key_Return);
    Press(a.txtArchiveDate, Qt::Key_Escape);
    EXPECT_TRUE(messages.messages().empty());
    EXPECT_TRUE(a.isVisible());

    a.chkMultiFile->setChecked(true);
    EXPECT_EQ(a.lblFilename->text(), "Directory");
    EXPECT_TRUE(a.txtFilePrefix->isEnabled());
    a.txtFilePrefix->setText("p_");
    a.txtFilename->setText("/tmp");
    a.chkArchiveFile->setChecked(false);
    EXPECT_FALSE(a.fraArchive->isEnabled());
    EXPECT_EQ(a.txtFilename->text(), "/tmp");  // disabling keeps the texts
    a.chkArchiveFile->setChecked(true);
    a.chkMultiFile->setChecked(false);
    EXPECT_EQ(a.lblFilename->text() + a.txtFilename->text() + a.txtFilePrefix->text(), "File Name");
}

TEST_F(Dialogs, ArchiveChecksItsInputInOrderAndSendsTheStoredDate)
{
    frmArchive& a = openArchive();
    auto expectRejected = [&](const char* text, QWidget* focus) {
        a.cmdOK->click();
        ASSERT_EQ(messages.messages().size(), 1u) << text;
        EXPECT_EQ(messages.messages()[0].text, text);
        EXPECT_EQ(messages.messages()[0].title, "Error");
        EXPECT_EQ(messages.messages()[0].icon, MsgIcon::Warning);
        EXPECT_EQ(a.focusWidget(), focus) << text;
        EXPECT_TRUE(spy.runs.empty());
        messages.clear();
    };
    a.txtAppID->setText("  ");
    expectRejected("Application ID is mandatory", a.txtAppID);
    a.txtAppID->setText(" APP ");
    expectRejected("Invalid date", a.txtArchiveDate);
    a.txtArchiveDate->setText("31022026");
    expectRejected("Invalid date", a.txtArchiveDate);
    a.txtArchiveDate->setText("05/01/2026");
    a.chkArchiveFile->setChecked(false);
    expectRejected("You must select at least one action", a.chkArchiveFile);
    a.chkArchiveFile->setChecked(true);
    a.chkMultiFile->setChecked(true);
    a.txtFilename->setText("/tmp");
    expectRejected("File prefix is mandatory", a.txtFilePrefix);
    a.txtFilePrefix->setText("p_");
    a.txtFilename->clear();
    expectRejected("Directory is mandatory", a.txtFilename);
    a.chkMultiFile->setChecked(false);
    expectRejected("Filename is mandatory", a.txtFilename);

    // Deleting alone needs no file; the daily box goes as it stands.
    a.chkArchiveFile->setChecked(false);
    a.chkDeleteRecord->setChecked(true);
    a.chkMultiFile->setChecked(true);
    a.cmdOK->click();
    ASSERT_EQ(spy.runs.size(), 1u);
    EXPECT_EQ(spy.runs[0], QStringList({" APP ", "20260105", "0", "1", "1", "", ""}));
    EXPECT_EQ(messages.texts(), QStringList({"Error in archive record"}));
    EXPECT_TRUE(a.isVisible());
    EXPECT_TRUE(a.chkDeleteRecord->isChecked());
    EXPECT_EQ(a.txtArchiveDate->displayText(), "05/01/2026");
    // A failure the operator was told of already gets no second box.
    spy.reported = true;
    messages.clear();
    a.cmdOK->click();
    EXPECT_TRUE(messages.messages().empty());
    EXPECT_TRUE(a.isVisible());

    spy.answer = true;
    messages.clear();
    a.cmdOK->click();
    EXPECT_FALSE(a.isVisible());
    EXPECT_TRUE(messages.messages().empty());
}

TEST_F(Dialogs, BrowseFillsTheNameAndACancelKeepsTheLastOne)
{
    std::optional<QString> answer = QStringLiteral("/x/a.log");
    QStringList filters;
    SetFileDialog([&](QWidget*, const QStringList& f) {
        filters = f;
        return answer;
    });
    frmArchive& a = openArchive();
    a.cmdBrowse->click();
    EXPECT_EQ(filters, QStringList({"Log Files (*.log)", "All Files (*)"}));
    answer.reset();
    a.txtFilename->setText("typed");
    a.cmdBrowse->click();
    EXPECT_EQ(a.txtFilename->text(), "/x/a.log");
    openArchive().cmdBrowse->click();
    EXPECT_EQ(archive->txtFilename->text(), "");  // nothing chosen yet in this dialog
}

TEST_F(Dialogs, ChooserAnswersItsDirectoryAndKeepsItBetweenUses)
{
    QDir(dir.path()).mkpath("sub");
    QDir::setCurrent(dir.path());
    const QString cwd = QDir::currentPath();
    frmGetDir& c = FreshChooser();
    frmArchive& a = openArchive();
    a.chkMultiFile->setChecked(true);
    auto browse = [&](std::function<void(frmGetDir&)> step) {
        WhenModal([step] {
            frmGetDir& shown = frmGetDir::Shared();
            EXPECT_TRUE(shown.isVisible());
            step(shown);
        });
        a.cmdBrowse->click();
        return a.txtFilename->text();
    };
    EXPECT_EQ(browse([](frmGetDir& g) { g.cmdOK->click(); }), cwd);
    EXPECT_EQ(browse([&](frmGetDir& g) {
                  g.txtDirectory->setText("typed");
                  g.Dir1->setCurrentItem(g.Dir1->findItems("sub", Qt::MatchEndsWith).value(0));
                  Press(g.Dir1, Qt::Key_Return);  // opens it
                  EXPECT_EQ(g.txtDirectory->text(), cwd + "/sub");
                  g.txtDirectory->setText("/typed/path");
                  g.cmdOK->click();
              }),
              "/typed/path");
    EXPECT_EQ(&frmGetDir::Shared(), &c);
    EXPECT_EQ(browse([](frmGetDir& g) {
                  // A volume that cannot be read changes nothing but the drive list.
                  g.Drive1->addItem("/no/such/volume", "/no/such/volume");
                  g.Drive1->setCurrentIndex(g.Drive1->count() - 1);
                  EXPECT_EQ(g.Dir1->path(), QDir::currentPath() + "/sub");
                  g.cmdOK->click();
              }),
              "/typed/path");
    // The close box discards it: the answer is a fresh chooser's.
    EXPECT_EQ(browse([](frmGetDir& g) { g.close(); }), cwd);
    EXPECT_EQ(frmGetDir::Shared().Drive1->itemData(0).toString(), "/");
}

TEST_F(Dialogs, EnterOnTheDirectoryListOpensTheDirectoryOnly)
{
    QDir(dir.path()).mkpath("a/b");
    QDir::setCurrent(dir.path());
    const QString top = QDir::currentPath();
    frmGetDir& c = FreshChooser();
    struct Step {
        const char* entry;  // the list entry of that name
        QString opened;
    };
    const Step steps[] = {{"a", top + "/a"}, {"b", top + "/a/b"}, {"a", top + "/a"}, {"b", top + "/a/b"}};
    bool stillOpen = true;
    WhenModal([&] {
        for (const Step& s : steps) {
            for (int i = 0; i < c.Dir1->count(); ++i)
                if (c.Dir1->item(i)->text().trimmed() == QLatin1String(s.entry))
                    c.Dir1->setCurrentRow(i);
            Press(c.Dir1, Qt::Key_Return);
            EXPECT_EQ(c.txtDirectory->text(), s.opened);
            stillOpen = stillOpen && c.isVisible();
        }
        c.cmdOK->click();
    });
    c.exec();
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(c.txtDirectory->text(), top + "/a/b");
}

TEST_F(Dialogs, PrintDialogOptionsAndFailures)
{
    frmPrint p;
    p.show();
    EXPECT_TRUE(p.optPrinter->isChecked());
    EXPECT_FALSE(p.txtFilename->isEnabled() || p.cmdBrowse->isEnabled());
    EXPECT_EQ(p.txtFilename->text(), "");
    EXPECT_EQ(p.cmdBrowse->geometry(), Px(3720, 960, 255, 255));
    p.optFile->click();
    EXPECT_TRUE(p.txtFilename->isEnabled() && p.cmdBrowse->isEnabled());

    p.cmdPrint->click();
    ASSERT_EQ(messages.texts(), QStringList({"No file name"}));
    EXPECT_EQ(messages.messages()[0].icon, MsgIcon::Warning);
    messages.clear();
    p.txtFilename->setText(dir.path() + "/no/such/dir/p.log");
    p.cmdPrint->click();
    ASSERT_EQ(messages.texts(), QStringList({"Error in print to file"}));
    EXPECT_EQ(messages.messages()[0].icon, MsgIcon::None);
    EXPECT_TRUE(p.isVisible());

    p.optPrinter->click();
    EXPECT_FALSE(p.txtFilename->isEnabled() || p.cmdBrowse->isEnabled());
    EXPECT_TRUE(p.txtFilename->text().endsWith("/p.log"));
}

// Far more downloaded records than a 16-bit count holds.
TEST_F(Dialogs, PrintsEveryDownloadedRecordOfALargeRetrieval)
{
    constexpr int32_t n = 40000;
    LogPager downloaded;
    downloaded.start(n, {});
    for (int32_t k = 1; k <= n; k += 10) {
        Page page{true, std::vector<LogRecord>(10)};
        page.records.back().Activity = QStringLiteral("r%1").arg(k + 9);
        downloaded.append(page);
    }
    frmPrint p;
    p.records = &downloaded;
    ASSERT_TRUE(p.PrintToFile(dir.path() + "/big.log"));
    const QStringList l = Lines(dir.path() + "/big.log");
    ASSERT_EQ(l.size(), n + 1);
    EXPECT_TRUE(l[n].endsWith(" r40000"));
}

// A name at a fixed place in the current directory that anyone may have
// planted: only a regular file of this user's is written, and emptied first.
TEST_F(Dialogs, ThePrintFileIsOnlyARegularFileOfThisUsers)
{
    const QString copy = dir.path() + "/~loglist.log", victim = dir.path() + "/victim";
    const QByteArray native = QFile::encodeName(copy);
    auto plantFile = [&](const QString& path) {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(QByteArray(5000, 'k')) == 5000;
    };
    struct Case {
        const char* name;
        std::function<bool()> plant;
        bool refused;
        bool rootOnly = false;
    };
    const std::vector<Case> cases = {
        {"stale own file", [&] { return plantFile(copy); }, false},
        {"symlink", [&] { return plantFile(victim) && QFile::link(victim, copy); }, true},
        {"dangling symlink", [&] { return QFile::link(victim, copy); }, true},
        {"directory", [&] { return QDir().mkdir(copy); }, true},
        {"fifo", [&] { return ::mkfifo(native.constData(), 0600) == 0; }, true},
        {"another user's file", [&] { return plantFile(copy) && ::chown(native.constData(), 4242, 4242) == 0; },
         true, true},
    };
    QDir::setCurrent(dir.path());
    for (const bool toFile : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (toFile ? " (to file)" : " (to printer)"));
            if (c.rootOnly && ::geteuid() != 0)
                continue;
            QFile::remove(victim);
            QFile::remove(copy);
            QDir().rmdir(copy);
            ASSERT_TRUE(c.plant());
            struct stat before {};
            ASSERT_EQ(::lstat(native.constData(), &before), 0);
            messages.clear();
            bool asked = false;
            frmPrint p;
            p.makePrinter = [&] {
                asked = true;
                auto printer = std::make_unique<QPrinter>();
                printer->setOutputFormat(QPrinter::PdfFormat);
                printer->setOutputFileName(dir.path() + "/out.pdf");
                return printer;
            };
            p.show();
            if (toFile) {
                p.optFile->click();
                p.txtFilename->setText(copy);
            }
            ::testing::internal::CaptureStderr();
            p.cmdPrint->click();
            const std::string err = ::testing::internal::GetCapturedStderr();
            struct stat after {};
            ASSERT_EQ(::lstat(native.constData(), &after), 0);
            if (c.refused) {
                EXPECT_EQ(messages.texts(),
                          QStringList({toFile ? "Error in print to file" : "Error in create temp file"}));
                EXPECT_FALSE(asked);
                EXPECT_NE(err.find("~loglist.log"), std::string::npos) << err;
                EXPECT_EQ(after.st_mode, before.st_mode);
                EXPECT_EQ(after.st_size, before.st_size);
                EXPECT_EQ(after.st_uid, before.st_uid);
                if (QFileInfo::exists(victim)) {
                    EXPECT_EQ(QFileInfo(victim).size(), 5000);
                }
            } else {
                EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
                EXPECT_EQ(Lines(copy), QStringList({HeaderLine(p.layout)}));
            }
        }
    }
    QFile::remove(copy);
}

// The box says only that printing failed; the reason goes to stderr.
TEST_F(Dialogs, APrinterThatCannotPrintSaysWhyOnStderr)
{
    QDir::setCurrent(dir.path());
    struct Case {
        const char* name;
        std::function<std::unique_ptr<QPrinter>()> make;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"no printer", [] { return std::unique_ptr<QPrinter>(); }, "no printer is configured"},
        {"cannot begin",
         [&] {
             auto printer = std::make_unique<QPrinter>();
             printer->setOutputFormat(QPrinter::PdfFormat);
             printer->setOutputFileName(dir.path() + "/no/such/dir/out.pdf");
             return printer;
         },
         "/no/such/dir/out.pdf"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        messages.clear();
        frmPrint p;
        p.makePrinter = c.make;
        p.show();
        ::testing::internal::CaptureStderr();
        p.cmdPrint->click();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(messages.texts(), QStringList({"Error in print to printer"}));
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
    }
}

class DialogsDb : public tqtest::ViewerDb {
protected:
    void TearDown() override
    {
        QDir::setCurrent(startDir);
        ViewerDb::TearDown();
    }
    QString startDir = QDir::currentPath();
};

TEST_P(DialogsDb, ArchiveFromTheViewerFailsThenSucceeds)
{
    insert("20010101", "080000");
    insert("20010105", "080000");
    insert("20010106", "080000");
    viewer.appIdVisible = 1;  // the viewer's own AppID names the table
    auto& s = viewer;
    const QString file = dir.path() + "/archive.log";
    WhenModal([&] {
        frmArchive& a = *s.mArchiveDlg;
        EXPECT_TRUE(a.txtAppID->isHidden());
        a.txtArchiveDate->setText("05/01/2001");
        a.chkDeleteRecord->setChecked(true);
        a.txtFilename->setText(dir.path() + "/no/such/dir/a.log");
        a.cmdOK->click();
        EXPECT_EQ(messages.texts(), QStringList({"Error in archive record"}));
        EXPECT_TRUE(a.isVisible());
        a.txtFilename->setText(file);
        a.cmdOK->click();
    });
    s.PopUpArchiveDlg();
    EXPECT_FALSE(s.mArchiveDlg->isVisible());
    EXPECT_EQ(messages.messages().size(), 1u);
    const QStringList l = Lines(file);
    ASSERT_EQ(l.size(), 2);
    // The viewer's hidden columns stay out of the archive lines.
    EXPECT_TRUE(l[1].startsWith("20010105   080000   WS01 ")) << l[1].toStdString();
    EXPECT_EQ(rows("SELECT log_Date FROM " + table), (std::vector<std::vector<QString>>{{"20010106"}}));
}

TEST_P(DialogsDb, PrintsTheRetrievalToAFileAndToThePrinter)
{
    fill(250);
    QDir::setCurrent(dir.path());
    viewer.showLog(false);
    frmLogMain& screen = *viewer.mLogViewDlg;
    screen.txtDateRangeStart->setText("01/06/1998");
    screen.txtDateRangeEnd->setText("01/06/1998");
    screen.txtAppID->setText(app);
    screen.cmdRetrieve->click();
    screen.vscLogList->setValue(90);
    ASSERT_EQ(screen.pager().downloaded(), 100);

    const QString path = dir.path() + "/print.log";
    WhenModal([&] {
        frmPrint& p = *viewer.mPrintDlg;
        p.optFile->click();
        p.txtFilename->setText(path);
        p.cmdPrint->click();
    });
    screen.cmdPrint->click();
    EXPECT_FALSE(viewer.mPrintDlg->isVisible());
    const QStringList l = Lines(path);
    ASSERT_EQ(l.size(), 251);
    EXPECT_EQ(l[0], BuildLogLine({"Date", "Time", "App ID", "Ws ID", "User", "Event Type", "Activity"}));
    EXPECT_EQ(l[1], BuildLogLine({"01/06/1998", "00:00:00", app, "WS01", "JOHN", "LOGIN", "r1"}));
    for (int k : {100, 101, 250})
        EXPECT_TRUE(l[k].endsWith(QStringLiteral(" r%1").arg(k))) << k;
    // The screen pages on from where it was.
    screen.vscLogList->setValue(101);
    EXPECT_EQ(screen.grdLogList->item(0, 6)->text(), "r101");

    // The printer's copy stays in the current directory, owner-only,
    // holding what was printed.
    const QString copy = dir.path() + "/~loglist.log";
    QStringList spooled;
    const QString pdf = dir.path() + "/out.pdf";
    WhenModal([&] {
        viewer.mPrintDlg->makePrinter = [&] {
            spooled = Lines(copy);
            auto printer = std::make_unique<QPrinter>();
            printer->setOutputFormat(QPrinter::PdfFormat);
            printer->setOutputFileName(pdf);
            return printer;
        };
        viewer.mPrintDlg->cmdPrint->click();
    });
    screen.cmdPrint->click();
    EXPECT_TRUE(messages.messages().empty());
    EXPECT_EQ(spooled, l);
    EXPECT_EQ(Lines(copy), l) << "kept after printing";
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(copy).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    QProcess text;
    text.start("pdftotext", {"-layout", pdf, "-"});
    ASSERT_TRUE(text.waitForFinished(30000));
    const QString printed = QString::fromUtf8(text.readAllStandardOutput());
    EXPECT_GT(printed.count('\f'), 1) << "several pages";
    qsizetype at = 0;
    for (const QString& line : l) {
        at = printed.simplified().indexOf(line.simplified(), at);
        ASSERT_GE(at, 0) << line.toStdString();
    }
    screen.close();
}

// The print file and the archive lines keep the columns and titles the open
// screen received, whatever the host changes meanwhile.
TEST_P(DialogsDb, PrintAndArchiveFollowTheColumnsTheScreenOpenedWith)
{
    insert("20010105", "080000");
    viewer.showLog(false);
    frmLogMain& screen = *viewer.mLogViewDlg;
    screen.txtDateRangeStart->setText("01/01/2001");
    screen.txtDateRangeEnd->setText("31/01/2001");
    screen.txtAppID->setText(app);
    screen.cmdRetrieve->click();
    viewer.userDesc = "Operator";
    viewer.appIdVisible = 1;
    const QString printed = dir.path() + "/print.log", archived = dir.path() + "/archive.log";
    WhenModal([&] {
        viewer.mPrintDlg->optFile->click();
        viewer.mPrintDlg->txtFilename->setText(printed);
        viewer.mPrintDlg->cmdPrint->click();
        viewer.mPrintDlg->close();
    });
    screen.cmdPrint->click();
    WhenModal([&] {
        frmArchive& a = *viewer.mArchiveDlg;
        EXPECT_FALSE(a.txtAppID->isHidden());
        a.txtAppID->setText(app);
        a.txtArchiveDate->setText("05/01/2001");
        a.txtFilename->setText(archived);
        a.cmdOK->click();
        a.close();
    });
    viewer.PopUpArchiveDlg();
    EXPECT_EQ(Lines(printed).value(0), BuildLogLine({"Date", "Time", "App ID", "Ws ID", "User", "Event Type", "Activity"}));
    EXPECT_EQ(Lines(archived), QStringList({BuildLogLine({"20010105", "080000", app, "WS01", "JOHN", "LOGIN", "text"})}));
    EXPECT_EQ(messages.texts(), QStringList());
    screen.close();
}

INSTANTIATE_TEST_SUITE_P(Db, DialogsDb, ::testing::Values("sqlite"), ::tqtest::backendName);

// A screen reader announces every input by its caption in the language
// shown, and Alt with a caption's mnemonic reaches its input.
TEST_F(Dialogs, EveryInputIsNamedAfterItsCaptionInEachLanguage)
{
    struct Named {
        const char* screen;
        const char* input;
        const char* label;          // whose buddy the input is (none: an option names it)
        std::vector<int> captions;  // text ids, joined by a space
    };
    const Named named[] = {
        {"frmLogMain", "txtDateRangeStart", "lblDateRange", {818}}, {"frmLogMain", "txtDateRangeEnd", "lblDateRangeSep", {818, 819}},
        {"frmLogMain", "txtTimeRangeStart", "lblTimeRange", {822}}, {"frmLogMain", "txtTimeRangeEnd", "lblTimeRangeSep", {822, 819}},
        {"frmLogMain", "txtAppID", "lblAppID", {817}},              {"frmLogMain", "txtWsID", "lblWsID", {825}},
        {"frmLogMain", "txtUserName", "lblUserName", {824}},        {"frmLogMain", "txtEvent", "lblEvent", {821}},
        {"frmLogMain", "txtActivity", "lblActivity", {816}},        {"frmArchive", "txtAppID", "lblAppID", {808}},
        {"frmArchive", "txtArchiveDate", "lblArchiveDate", {809}},  {"frmArchive", "txtFilePrefix", "lblFilePrefix", {811}},
        {"frmArchive", "txtFilename", "lblFilename", {866}},        {"frmPrint", "txtFilename", nullptr, {829}},
        {"frmGetDir", "txtDirectory", "lblDir", {814}},
    };
    for (const int offset : {0, 1000, 2000}) {
        UseLanguage(settings, offset);
        frmLogMain main;
        main.load();
        frmPrint print;
        print.load();
        QWidget* screens[] = {&main, &openArchive(), &FreshChooser(), &print};
        for (const Named& n : named) {
            QWidget* screen = *std::find_if(std::begin(screens), std::end(screens),
                                            [&n](QWidget* s) { return s->objectName() == n.screen; });
            auto* input = screen->findChild<QLineEdit*>(n.input);
            QStringList words;
            for (const int id : n.captions)
                words << LookupString(id + offset);
            EXPECT_EQ(input->accessibleName(), words.join(' ')) << n.screen << "." << n.input << " " << offset;
            if (n.label)
                EXPECT_EQ(screen->findChild<QLabel*>(n.label)->buddy(), input) << n.screen << "." << n.label;
        }
        for (QWidget* screen : screens)
            for (const QLineEdit* input : screen->findChildren<QLineEdit*>())
                EXPECT_FALSE(input->accessibleName().isEmpty()) << input->objectName().toStdString();
    }
}

// Also leaves screenshots in the build tree for a look at each language.
TEST_F(Dialogs, EveryCaptionInEachLanguage)
{
    const QString shots = QCoreApplication::applicationDirPath() + QStringLiteral("/screenshots");
    QDir().mkpath(shots);
    for (const int offset : {0, 1000, 2000}) {
        UseLanguage(settings, offset);
        frmPrint print;
        print.show();
        QWidget* dialogs[] = {&openArchive(), &FreshChooser(), &print};
        for (QWidget* d : dialogs) {
            d->show();
            const QString name = d->objectName();
            EXPECT_EQ(d->windowTitle(), LookupString(d->property("tag").toInt() + offset)) << name.toStdString();
            for (QObject* o : d->findChildren<QObject*>()) {
                const int id = o->property("tag").toInt();
                auto l = qobject_cast<QLabel*>(o);
                auto b = qobject_cast<QAbstractButton*>(o);
                auto g = qobject_cast<QGroupBox*>(o);
                if (id) {
                    EXPECT_EQ(l ? l->text() : b ? b->text() : g ? g->title() : QString(), LookupString(id + offset))
                        << o->objectName().toStdString() << " " << offset;
                }
            }
            const QString file = QStringLiteral("%1/%2_%3.png").arg(shots, name, QString::number(offset / 1000));
            EXPECT_TRUE(d->grab().save(file)) << file.toStdString();
            d->hide();
        }
        EXPECT_EQ(archive->lblFilename->text(), LookupString(866 + offset));
    }
}

} // namespace
