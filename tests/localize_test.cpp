#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>

#include "platform/SettingsStore.h"
#include "localize/StringIds.h"
#include "localize/clsLocalize.h"

#include <QRegularExpression>

using namespace tallyquill;

// Readable failure messages for Chinese texts.
static void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace {

// Points the per-user INI store at a fresh directory so no test sees the
// developer's own settings or those of another test.
class LocalizeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir_.path());
    }

    static void writeSetting(const QString& value, const QString& section = QStringLiteral("COMMON"),
                             const QString& app = QStringLiteral("KESTREL"))
    {
        QSettings settings(QSettings::IniFormat, QSettings::UserScope, app);
        settings.beginGroup(section);
        settings.setValue(QStringLiteral("Language"), value);
        settings.endGroup();
        settings.sync();
        ASSERT_EQ(settings.status(), QSettings::NoError);
    }

    void writeRawFile(const QString& fileName, const QByteArray& content)
    {
        QFile file(QDir(dir_.path()).filePath(fileName));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }

    QTemporaryDir dir_;
};

// ---------------------------------------------------------------------------
// Settings store

TEST_F(LocalizeTest, SettingsStoreReadsValuesBySection)
{
    SettingsStore store;
    store.SetAppName(QStringLiteral("KESTREL"));
    store.SetSection(QStringLiteral("COMMON"));
    EXPECT_EQ(store.ReadValue(QStringLiteral("Language")), SettingsStore::kNone) << "read before Open";

    EXPECT_TRUE(store.Open()) << "a missing file is an empty store, not an error";
    EXPECT_EQ(store.ReadValue(QStringLiteral("Language")), SettingsStore::kNone);

    writeSetting(QStringLiteral("2000"));
    writeSetting(QStringLiteral("1000"), QStringLiteral("OTHER"));
    ASSERT_TRUE(store.Open());
    EXPECT_EQ(store.ReadValue(QStringLiteral("Language")), QStringLiteral("2000"));
    EXPECT_EQ(store.ReadValue(QStringLiteral("Missing")), SettingsStore::kNone);

    store.SetSection(QStringLiteral("OTHER"));
    ASSERT_TRUE(store.Open());
    EXPECT_EQ(store.ReadValue(QStringLiteral("Language")), QStringLiteral("1000"));

    store.SetSection(QStringLiteral("NOSUCH"));
    ASSERT_TRUE(store.Open());
    EXPECT_EQ(store.ReadValue(QStringLiteral("Language")), SettingsStore::kNone);

    store.SetAppName(QStringLiteral("SOMEONEELSE"));
    store.SetSection(QStringLiteral("COMMON"));
    ASSERT_TRUE(store.Open());
    EXPECT_EQ(store.ReadValue(QStringLiteral("Language")), SettingsStore::kNone);
}

TEST_F(LocalizeTest, SettingsStoreKeepsTextAsWritten)
{
    writeRawFile(QStringLiteral("KESTREL.ini"),
                 "[COMMON]\nLanguage=\" 1000\"\nEmpty=\nList=1,2\n");
    SettingsStore store;
    store.SetAppName(QStringLiteral("KESTREL"));
    store.SetSection(QStringLiteral("COMMON"));
    ASSERT_TRUE(store.Open());
    EXPECT_EQ(store.ReadValue(QStringLiteral("Language")), QStringLiteral(" 1000"));
    EXPECT_EQ(store.ReadValue(QStringLiteral("Empty")), QString());
    EXPECT_EQ(store.ReadValue(QStringLiteral("List")), QStringLiteral("1,2"));
}

TEST_F(LocalizeTest, SettingsStoreRejectsUnparsableFile)
{
    writeRawFile(QStringLiteral("KESTREL.ini"), "[COMMON\nLanguage=1000\n");
    SettingsStore store;
    store.SetAppName(QStringLiteral("KESTREL"));
    store.SetSection(QStringLiteral("COMMON"));
    EXPECT_FALSE(store.Open());
    EXPECT_EQ(store.ReadValue(QStringLiteral("Language")), SettingsStore::kNone);

    SettingsStore unnamed;
    EXPECT_FALSE(unnamed.Open());
    EXPECT_EQ(unnamed.ReadValue(QStringLiteral("Language")), SettingsStore::kNone);
}

TEST_F(LocalizeTest, SettingsStoreReadsOnlyARegularFile)
{
    // A FIFO would hold the reader until someone writes to it.
    const QByteArray fifo = QFile::encodeName(QDir(dir_.path()).filePath(QStringLiteral("KESTREL.ini")));
    ASSERT_EQ(mkfifo(fifo.constData(), 0600), 0);
    auto opened = std::async(std::launch::async, [] {
        SettingsStore store;
        store.SetAppName(QStringLiteral("KESTREL"));
        return store.Open();
    });
    if (opened.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "Open() waits on the FIFO";
        ::close(::open(fifo.constData(), O_WRONLY | O_NONBLOCK));  // lets it go on
    }
    EXPECT_FALSE(opened.get());
}

// ---------------------------------------------------------------------------
// Choosing the language

TEST_F(LocalizeTest, NoSettingMeansEnglish)
{
    clsLocalize loc;
    EXPECT_EQ(loc.SystemName(), QStringLiteral("KESTREL"));
    EXPECT_EQ(loc.ModuleName(), QStringLiteral("COMMON"));
    EXPECT_EQ(loc.Language(), 0);
    EXPECT_EQ(loc.GetLocalizedString(807, QStringLiteral("x")), QStringLiteral("Archive Log Records"));
    EXPECT_EQ(loc.GetLocalizedString(832, QStringLiteral("x")), QStringLiteral("Error"));
}

TEST_F(LocalizeTest, SettingChoosesChinese)
{
    writeSetting(QStringLiteral("1000"));
    {
        clsLocalize loc;
        EXPECT_EQ(loc.Language(), 1);
        EXPECT_EQ(loc.GetLocalizedString(807, QStringLiteral("Archive Log Records")), u"存档日志记录");
        EXPECT_EQ(loc.GetLocalizedString(832, QStringLiteral("Error")), u"错误");
    }
    writeSetting(QStringLiteral("2000"));
    {
        clsLocalize loc;
        EXPECT_EQ(loc.Language(), 2);
        EXPECT_EQ(loc.GetLocalizedString(807, QStringLiteral("Archive Log Records")), u"存檔日志記錄");
    }
    writeSetting(QStringLiteral("0"));
    EXPECT_EQ(clsLocalize().Language(), 0);
}

TEST_F(LocalizeTest, SettingIsFoundInHandWrittenFile)
{
    // The storage location other tools rely on: <config dir>/KESTREL.ini, [COMMON].
    writeRawFile(QStringLiteral("KESTREL.ini"), "[COMMON]\nLanguage=2000\n");
    EXPECT_EQ(clsLocalize().Language(), 2);
}

TEST_F(LocalizeTest, OnlyExactOffsetTextsAreRecognised)
{
    for (const QString& setting : {QStringLiteral("1"), QStringLiteral("2"), QStringLiteral(" 1000"),
                                   QStringLiteral("1000 "), QStringLiteral("01000"), QStringLiteral("+1000"),
                                   QStringLiteral("1000.0"), QStringLiteral("abc"), QString()}) {
        writeSetting(setting);
        clsLocalize loc;
        EXPECT_EQ(loc.Language(), 0) << "setting '" << setting.toStdString() << "'";
        EXPECT_EQ(loc.GetLocalizedString(832, QStringLiteral("x")), QStringLiteral("Error"))
            << "setting '" << setting.toStdString() << "'";
    }
    // Blanks written around an unquoted value are part of it.
    for (const char* line : {"Language= 1000", "Language=1000 ", "Language=\t2000"}) {
        writeRawFile(QStringLiteral("KESTREL.ini"), QByteArray("[COMMON]\r\n") + line + "\r\n");
        EXPECT_EQ(clsLocalize().Language(), 0) << line;
    }
}

TEST_F(LocalizeTest, UnreadableStoreMeansEnglish)
{
    writeRawFile(QStringLiteral("KESTREL.ini"), "[COMMON\nLanguage=1000\n");
    EXPECT_EQ(clsLocalize().Language(), 0);
}

TEST_F(LocalizeTest, SwitchingSectionOrApplicationReadsAgain)
{
    writeSetting(QStringLiteral("1000"));
    writeSetting(QStringLiteral("junk"), QStringLiteral("ODD"));
    writeSetting(QStringLiteral("2000"), QStringLiteral("TRAD"));
    writeSetting(QStringLiteral("1000"), QStringLiteral("COMMON"), QStringLiteral("OTHERAPP"));

    clsLocalize loc;
    ASSERT_EQ(loc.Language(), 1);

    loc.setModuleName(QStringLiteral("ODD"));
    EXPECT_EQ(loc.ModuleName(), QStringLiteral("ODD"));
    EXPECT_EQ(loc.Language(), 1) << "an unrecognised setting keeps the language";

    loc.setModuleName(QStringLiteral("TRAD"));
    EXPECT_EQ(loc.Language(), 2);

    loc.setModuleName(QStringLiteral("ABSENT"));
    EXPECT_EQ(loc.Language(), 0) << "an absent value counts as \"0\"";

    loc.setModuleName(QStringLiteral("COMMON"));
    loc.setSystemName(QStringLiteral("NOFILE"));
    EXPECT_EQ(loc.SystemName(), QStringLiteral("NOFILE"));
    EXPECT_EQ(loc.Language(), 0);

    loc.setSystemName(QStringLiteral("OTHERAPP"));
    EXPECT_EQ(loc.Language(), 1);
}

TEST_F(LocalizeTest, EmptyNamesAreIgnoredAndNothingIsReadAgain)
{
    writeSetting(QStringLiteral("1000"));
    clsLocalize loc;
    ASSERT_EQ(loc.Language(), 1);

    // Were the setting read again, these would bring back Simplified Chinese.
    loc.setLanguage(0);
    loc.setModuleName(QString());
    EXPECT_EQ(loc.ModuleName(), QStringLiteral("COMMON"));
    EXPECT_EQ(loc.Language(), 0);
    loc.setSystemName(QStringLiteral(""));
    EXPECT_EQ(loc.SystemName(), QStringLiteral("KESTREL"));
    EXPECT_EQ(loc.Language(), 0);

    // A changed setting does not reach an existing localizer on its own.
    writeSetting(QStringLiteral("2000"));
    EXPECT_EQ(loc.Language(), 0);
    loc.setModuleName(QStringLiteral("COMMON"));
    EXPECT_EQ(loc.Language(), 2);
}

TEST_F(LocalizeTest, LanguagePropertyIsNotStored)
{
    clsLocalize loc;
    loc.setLanguage(2);
    EXPECT_EQ(loc.Language(), 2);
    EXPECT_EQ(loc.GetLocalizedString(832, QStringLiteral("x")), u"錯誤");

    for (int32_t ignored : {5, 3, -1, 1000, 2000}) {
        loc.setLanguage(ignored);
        EXPECT_EQ(loc.Language(), 2) << ignored;
    }

    loc.setLanguage(1);
    EXPECT_EQ(loc.GetLocalizedString(832, QStringLiteral("x")), u"错误");
    loc.setLanguage(0);
    EXPECT_EQ(loc.GetLocalizedString(832, QStringLiteral("x")), QStringLiteral("Error"));

    EXPECT_EQ(clsLocalize().Language(), 0) << "the choice lasts only for that localizer";
    EXPECT_FALSE(QFile::exists(QDir(dir_.path()).filePath(QStringLiteral("KESTREL.ini"))));
}

// ---------------------------------------------------------------------------
// Looking up texts

TEST_F(LocalizeTest, UnknownIdsAnswerTheDefault)
{
    clsLocalize loc;
    const QString fallback = QStringLiteral("caller's own text");
    for (int32_t language : {0, 1, 2}) {
        loc.setLanguage(language);
        EXPECT_EQ(loc.GetLocalizedString(999, fallback), fallback) << language;
        EXPECT_EQ(loc.GetLocalizedString(0, fallback), fallback) << language;
        EXPECT_EQ(loc.GetLocalizedString(sid::EndOfTable, fallback), fallback) << language;
        // Near the 16-bit limit the sum overflows; the answer still degrades.
        EXPECT_EQ(loc.GetLocalizedString(32767, fallback), fallback) << language;
        EXPECT_EQ(loc.GetLocalizedString(-32768, fallback), fallback) << language;
    }
    EXPECT_TRUE(loc.GetLocalizedString(999, QString()).isNull());
}

TEST_F(LocalizeTest, StringTableIsComplete)
{
    for (int id = 800; id <= 868; ++id) {
        const QString en = LookupString(id);
        const QString zhs = LookupString(id + 1000);
        const QString zht = LookupString(id + 2000);
        ASSERT_FALSE(en.isEmpty()) << id;
        ASSERT_FALSE(zhs.isEmpty()) << id + 1000;
        ASSERT_FALSE(zht.isEmpty()) << id + 2000;

        for (const QChar c : en)
            EXPECT_LT(c.unicode(), 0x80) << "English row " << id;
        // A shifted column would put English or the wrong block into a Chinese row.
        const auto hasCjk = [](const QString& text) {
            for (const QChar c : text) {
                if (c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF)
                    return true;
            }
            return false;
        };
        EXPECT_TRUE(hasCjk(zhs)) << id + 1000;
        EXPECT_TRUE(hasCjk(zht)) << id + 2000;
    }

    const int end = sid::EndOfTable;
    for (int id : {-1, 0, 799, end, 999, 1000, 1799, end + 1000, 2799, end + 2000, 3800, 32767})
        EXPECT_TRUE(LookupString(id).isNull()) << id;
}

// The library's own texts, after the 69: each in all three languages, with
// the same place holders, plain text for a message box.
TEST_F(LocalizeTest, TheLibrarysOwnTextsExistInEveryLanguage)
{
    static const QRegularExpression marker(QStringLiteral("%[1-9]"));
    auto markers = [](const QString& text) {
        QStringList found;
        for (const QRegularExpressionMatch& m : marker.globalMatch(text))
            found << m.captured();
        found.sort();
        return found;
    };
    ASSERT_GT(sid::EndOfTable, 869);
    for (int id = 869; id < sid::EndOfTable; ++id) {
        const QString en = LookupString(id);
        ASSERT_FALSE(en.isEmpty()) << id;
        EXPECT_FALSE(en.contains('`')) << id;
        for (int offset : {1000, 2000}) {
            const QString text = LookupString(id + offset);
            ASSERT_FALSE(text.isEmpty()) << id + offset;
            EXPECT_NE(text, en) << id + offset;
            EXPECT_EQ(markers(text), markers(en)) << id + offset;
            EXPECT_FALSE(text.contains('`')) << id + offset;
        }
    }
}

TEST_F(LocalizeTest, StringTableTexts)
{
    EXPECT_EQ(LookupString(800), QStringLiteral("Archive to File"));
    EXPECT_EQ(LookupString(802), QStringLiteral("Seperated Records in Daily Log File"));
    EXPECT_EQ(LookupString(820), QStringLiteral("No of Records Download:"));
    EXPECT_EQ(LookupString(843), QStringLiteral("Error in retrieve records!"));
    EXPECT_EQ(LookupString(853), QStringLiteral("You must provide AppID and WorkstationID"));
    EXPECT_EQ(LookupString(868), QStringLiteral("Archive..."));

    EXPECT_EQ(LookupString(1800), u"存档到文件");
    EXPECT_EQ(LookupString(1854), u"没有提供DSN");
    EXPECT_EQ(LookupString(1855), u"检索记录错误：");
    EXPECT_EQ(LookupString(1868), u"存档...");

    // Simplified characters kept in Traditional rows.
    EXPECT_EQ(LookupString(2802), u"分离在每天日志文件的記錄");
    EXPECT_EQ(LookupString(2804), u"确定");
    EXPECT_EQ(LookupString(2830), u"打印到打印机");
    EXPECT_EQ(LookupString(2834), u"必須選擇至少一种方式");
    EXPECT_EQ(LookupString(2853), u"你必須提供應用程序標識符和工作站標識符");

    // The invalid time range message says the same as its neighbours.
    EXPECT_EQ(LookupString(852), QStringLiteral("Invalid time range"));
    EXPECT_TRUE(LookupString(1852).contains(LookupString(1860)));
    EXPECT_TRUE(LookupString(1852).contains(u"无效"));
    EXPECT_TRUE(LookupString(2852).contains(LookupString(2860)));
    EXPECT_TRUE(LookupString(2852).contains(u"無效"));

    // Rows that repeat a text for another screen repeat it in every language.
    const std::vector<std::pair<int, int>> sameText = {
        {803, 826}, {804, 812}, {804, 827}, {808, 817}, {810, 814}, {810, 867}, {821, 864}, {843, 846}};
    for (const auto& [a, b] : sameText) {
        for (int offset : {0, 1000, 2000})
            EXPECT_EQ(LookupString(a + offset), LookupString(b + offset)) << a + offset << " vs " << b + offset;
    }
}

// ---------------------------------------------------------------------------
// Localizing a screen

namespace {

template <typename T>
T* tagged(T* object, const char* tag)
{
    object->setProperty("tag", QString::fromLatin1(tag));
    return object;
}

struct Form {
    QWidget window;
    QLabel* lblAppID;
    QGroupBox* fraAction;
    QGroupBox* fraInner;
    QLabel* lblNested;
    QRadioButton* optFile;
    QPushButton* cmdCancel;
    QToolButton* cmdTool;
    QCheckBox* chkArchiveFile;
    QAction* mnuPrint;
    QLabel* lblNoTag;
    QLabel* lblEmptyTag;
    QLabel* lblWord;
    QLabel* lblBlank;
    QLabel* lblTooLarge;
    QLabel* lblUnknownId;
    QLineEdit* txtAppID;
    QComboBox* cboEvent;

    Form()
    {
        tagged(&window, "807")->setWindowTitle(QStringLiteral("Design title"));
        auto* layout = new QVBoxLayout(&window);
        auto* menuBar = new QMenuBar(&window);
        QMenu* menu = menuBar->addMenu(QStringLiteral("File"));
        mnuPrint = tagged(menu->addAction(QStringLiteral("Print")), "856");

        lblAppID = tagged(new QLabel(QStringLiteral("App"), &window), "808");
        fraAction = tagged(new QGroupBox(QStringLiteral("Frame"), &window), "805");
        auto* inner = new QVBoxLayout(fraAction);
        optFile = tagged(new QRadioButton(QStringLiteral("File"), fraAction), "829");
        chkArchiveFile = tagged(new QCheckBox(QStringLiteral("Archive"), fraAction), "800");
        fraInner = tagged(new QGroupBox(QStringLiteral("Inner"), fraAction), "858");
        lblNested = tagged(new QLabel(QStringLiteral("Nested"), fraInner), "818");
        inner->addWidget(optFile);
        inner->addWidget(chkArchiveFile);
        inner->addWidget(fraInner);

        cmdCancel = tagged(new QPushButton(QStringLiteral("Close"), &window), "803");
        cmdTool = tagged(new QToolButton(&window), "857");
        cmdTool->setText(QStringLiteral("Go"));
        lblNoTag = new QLabel(QStringLiteral("no tag"), &window);
        lblEmptyTag = tagged(new QLabel(QStringLiteral("empty tag"), &window), "");
        lblWord = tagged(new QLabel(QStringLiteral("word tag"), &window), "abc");
        lblBlank = tagged(new QLabel(QStringLiteral("blank tag"), &window), " 808");
        lblTooLarge = tagged(new QLabel(QStringLiteral("large tag"), &window), "65616"); // 808 + 65536
        lblUnknownId = tagged(new QLabel(QStringLiteral("unknown id"), &window), "999");
        txtAppID = tagged(new QLineEdit(QStringLiteral("ORDERS"), &window), "808");
        cboEvent = tagged(new QComboBox(&window), "821");
        cboEvent->setEditable(true);
        cboEvent->setEditText(QStringLiteral("typed"));

        for (QWidget* w : std::initializer_list<QWidget*>{lblAppID, fraAction, cmdCancel, cmdTool, lblNoTag,
                                                          lblEmptyTag, lblWord, lblBlank, lblTooLarge,
                                                          lblUnknownId, txtAppID, cboEvent})
            layout->addWidget(w);
    }
};

} // namespace

TEST_F(LocalizeTest, FormInSimplifiedChinese)
{
    writeSetting(QStringLiteral("1000"));
    clsLocalize loc;
    Form form;
    loc.LocalizeFormControl(&form.window);

    EXPECT_EQ(form.window.windowTitle(), u"存档日志记录");
    EXPECT_EQ(form.lblAppID->text(), u"应用程序标识符");
    EXPECT_EQ(form.fraAction->title(), u"方式");
    EXPECT_EQ(form.fraInner->title(), u"日志过滤器");
    EXPECT_EQ(form.lblNested->text(), u"日期范围");
    EXPECT_EQ(form.optFile->text(), u"打印到文件");
    EXPECT_EQ(form.chkArchiveFile->text(), u"存档到文件");
    EXPECT_EQ(form.cmdCancel->text(), u"取消");
    EXPECT_EQ(form.cmdTool->text(), u"检索");
    EXPECT_EQ(form.mnuPrint->text(), u"打印...");

    EXPECT_EQ(form.lblNoTag->text(), QStringLiteral("no tag"));
    EXPECT_EQ(form.lblEmptyTag->text(), QStringLiteral("empty tag"));
    EXPECT_EQ(form.lblWord->text(), QStringLiteral("word tag"));
    EXPECT_EQ(form.lblBlank->text(), QStringLiteral("blank tag"));
    EXPECT_EQ(form.lblTooLarge->text(), QStringLiteral("large tag"));
    EXPECT_EQ(form.lblUnknownId->text(), QStringLiteral("unknown id"));
    EXPECT_EQ(form.txtAppID->text(), QStringLiteral("ORDERS"));
    EXPECT_EQ(form.cboEvent->currentText(), QStringLiteral("typed"));
}

TEST_F(LocalizeTest, FormInEnglishTakesTableText)
{
    clsLocalize loc;
    Form form;
    loc.LocalizeFormControl(&form.window);
    EXPECT_EQ(form.window.windowTitle(), QStringLiteral("Archive Log Records"));
    EXPECT_EQ(form.cmdCancel->text(), QStringLiteral("Cancel")) << "design text differs from the table";
    EXPECT_EQ(form.mnuPrint->text(), QStringLiteral("Print..."));
    EXPECT_EQ(form.txtAppID->text(), QStringLiteral("ORDERS"));
}

TEST_F(LocalizeTest, LanguageChosenLaterReachesScreensLoadedLater)
{
    clsLocalize loc;
    Form first;
    loc.LocalizeFormControl(&first.window);

    loc.setLanguage(2);
    Form second;
    loc.LocalizeFormControl(&second.window);

    EXPECT_EQ(first.window.windowTitle(), QStringLiteral("Archive Log Records"));
    EXPECT_EQ(second.window.windowTitle(), u"存檔日志記錄");
    EXPECT_EQ(second.optFile->text(), u"打印到文件");
    EXPECT_EQ(second.lblAppID->text(), u"應用程序標識符");

    loc.setLanguage(5);
    Form third;
    loc.LocalizeFormControl(&third.window);
    EXPECT_EQ(third.window.windowTitle(), u"存檔日志記錄");
}

TEST_F(LocalizeTest, FormTitleWithoutNumericTagStays)
{
    clsLocalize loc;
    loc.LocalizeFormControl(nullptr);

    QWidget untagged;
    untagged.setWindowTitle(QStringLiteral("Mine"));
    auto* label = tagged(new QLabel(QStringLiteral("x"), &untagged), "832");
    loc.LocalizeFormControl(&untagged);
    EXPECT_EQ(untagged.windowTitle(), QStringLiteral("Mine"));
    EXPECT_EQ(label->text(), QStringLiteral("Error")) << "fields are localized even when the title is not";

    QWidget worded;
    tagged(&worded, "title")->setWindowTitle(QStringLiteral("Mine"));
    loc.LocalizeFormControl(&worded);
    EXPECT_EQ(worded.windowTitle(), QStringLiteral("Mine"));
}

// ---------------------------------------------------------------------------
// The shared localizer

TEST_F(LocalizeTest, SharedLocalizerIsReplacedNotChanged)
{
    const auto first = Localizer();
    EXPECT_EQ(Localizer(), first);

    writeSetting(QStringLiteral("1000"));
    const auto second = ReplaceLocalizer();
    ASSERT_NE(second, first);
    EXPECT_EQ(Localizer(), second);
    EXPECT_EQ(Tr(832, QStringLiteral("Error")), u"错误");
    EXPECT_EQ(Tr(999, QStringLiteral("Fallback")), QStringLiteral("Fallback"));

    writeSetting(QStringLiteral("0"));
    ReplaceLocalizer();
    EXPECT_EQ(Tr(832, QStringLiteral("Error")), QStringLiteral("Error"));
    EXPECT_EQ(second->Language(), 1) << "a holder of the old localizer keeps its language";
}

} // namespace
