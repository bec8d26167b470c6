#include "screens/frmPrint.h"

#include "screens/Choosers.h"
#include "writer/Constant.h"
#include "screens/DownloadedRecords.h"
#include "writer/Global.h"
#include "msgbox/MessageBox.h"
#include "screens/ScreenKit.h"
#include "writer/TextFiles.h"
#include "localize/clsLocalize.h"

#include <QFile>
#include <QLineEdit>
#include <QPainter>
#include <QPrinter>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>

namespace tallyquill {

using namespace screenkit;

const QString frmPrint::kTempFile = QStringLiteral("~loglist.log");

namespace {

void report(int16_t id, const char* english, MsgIcon icon)
{
    ShowMessage(Tr(id, QString::fromLatin1(english)), Tr(sid::Error, QStringLiteral("Error")), icon);
}

} // namespace

frmPrint::frmPrint(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmPrint"));
    setWindowTitle(QStringLiteral("Print Logs"));
    setTag(this, 828);
    setFixedSize(px(4110), px(1785));
    useDesignFont(this);
    makePrinter = [] { return std::make_unique<QPrinter>(); };

    auto option = [this](const char* name, const char* text, int tag) {
        return control<QRadioButton>(this, name, text, tag);
    };
    auto button = [this](const char* name, const char* text, int tag) {
        return control<QPushButton>(this, name, text, tag);
    };
    optPrinter = option("optPrinter", "Print to Printer", 830);
    place(optPrinter, 120, 120, 2055, 375);
    optFile = option("optFile", "Print to File", 829);
    place(optFile, 120, 480, 2070, 375);
    txtFilename = new QLineEdit(this);
    txtFilename->setObjectName(QStringLiteral("txtFilename"));
    place(txtFilename, 360, 960, 3255, 285);
    cmdBrowse = button("cmdBrowse", "...", 0);
    place(cmdBrowse, 3720, 960, 255, 255);
    cmdPrint = button("cmdPrint", "OK", 827);
    place(cmdPrint, 1440, 1320, 1215, 330);
    cmdCancel = button("cmdCancel", "Cancel", 826);
    place(cmdCancel, 2760, 1320, 1215, 330);

    QWidget* const order[] = {optPrinter, optFile, txtFilename, cmdBrowse, cmdPrint, cmdCancel};
    tabOrder(order);

    connect(optFile, &QRadioButton::toggled, this, [this] { optFile_Click(); });
    connect(optPrinter, &QRadioButton::toggled, this, [this] { optPrinter_Click(); });
    connect(cmdBrowse, &QPushButton::clicked, this, [this] { cmdBrowse_Click(); });
    connect(cmdPrint, &QPushButton::clicked, this, [this] { cmdPrint_Click(); });
    connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
}

frmPrint::~frmPrint() = default;

void frmPrint::load()
{
    if (!loaded_)
        Form_Load();
}

void frmPrint::showEvent(QShowEvent* event)
{
    load();
    QDialog::showEvent(event);
}

void frmPrint::Form_Load()
{
    loaded_ = true;
    txtFilename->clear();
    optPrinter->setChecked(true);
    optPrinter_Click();
    Localizer()->LocalizeFormControl(this);
}

void frmPrint::optFile_Click()
{
    if (!optFile->isChecked())
        return;
    txtFilename->setEnabled(true);
    cmdBrowse->setEnabled(true);
}

void frmPrint::optPrinter_Click()
{
    if (!optPrinter->isChecked())
        return;
    txtFilename->setEnabled(false);
    cmdBrowse->setEnabled(false);
}

void frmPrint::cmdBrowse_Click()
{
    // A cancelled file dialog still answers the name it was left with.
    if (const auto chosen = AskFileName(this, LogFileFilters()))
        lastFileName_ = *chosen;
    txtFilename->setText(lastFileName_);
}

void frmPrint::cmdCancel_Click() { close(); }

void frmPrint::cmdPrint_Click()
{
    bool printed = false;
    {
        BusyScope busy(this);
        if (optFile->isChecked()) {
            if (txtFilename->text().isEmpty())
                report(839, "No file name", MsgIcon::Warning);
            else if (!(printed = PrintToFile(txtFilename->text())))
                report(840, "Error in print to file", MsgIcon::None);
        } else if (optPrinter->isChecked()) {
            if (!PrintToFile(kTempFile))
                report(842, "Error in create temp file", MsgIcon::None);
            else if (!(printed = PrintToPrinter(kTempFile)))
                report(841, "Error in print to printer", MsgIcon::Warning);
        }
    }
    if (printed)
        cmdCancel_Click();
}

bool frmPrint::PrintToFile(const QString& path)
{
    try {
        const int16_t fileNo = FreeFile();
        OpenForOutput(fileNo, path);
        FileGuard guard(fileNo);
        const ViewSettings& view = View();
        PrintLine(fileNo, BuildLogLine(QStringLiteral("Date"), QStringLiteral("Time"), QStringLiteral("App ID"),
                                       QStringLiteral("Ws ID"), view.UserDesc, view.EventDesc, view.ActivityDesc));
        const DownloadedRecords& d = Downloaded();
        // 32 bits: a retrieval may well download more than 32,767 records.
        const int32_t held = std::min<int32_t>(d.DownloadRecord, int32_t(d.Date.size()) - 1);
        for (int32_t i = 1; i <= held; ++i)
            PrintLine(fileNo, BuildLogLine(d.Date[i], d.Time[i], d.AppID[i], d.WsID[i], d.UserName[i],
                                           d.EventType[i], d.Activity[i]));
        if (d.TotalRecord > d.DownloadRecord && listener)
            listener->MoreLogForPrint(fileNo, d.TotalRecord, d.DownloadRecord);
        CloseFile(fileNo);
        return true;
    } catch (...) {
        return false;
    }
}

bool frmPrint::PrintToPrinter(const QString& path)
{
    try {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        std::unique_ptr<QPrinter> printer = makePrinter();
        if (!printer)
            return false;
        // One painter is one job: it ends, and prints, with end().
        QPainter painter;
        if (!painter.begin(printer.get()))
            return false;
        const QFontMetrics metrics = painter.fontMetrics();
        const int pageHeight = painter.viewport().height();
        int top = 0;
        while (!file.atEnd()) {
            QByteArray raw = file.readLine();
            if (raw.endsWith('\n'))
                raw.chop(1);
            if (raw.endsWith('\r'))
                raw.chop(1);
            if (top > 0 && top + metrics.height() > pageHeight) {
                if (!printer->newPage())
                    return false;
                top = 0;
            }
            painter.drawText(0, top + metrics.ascent(), QString::fromUtf8(raw));
            top += metrics.lineSpacing();
        }
        return painter.end();
    } catch (...) {
        return false;
    }
}

} // namespace tallyquill
