#include "screens/frmPrint.h"

#include "localize/ShowError.h"
#include "localize/StringIds.h"
#include "localize/clsLocalize.h"
#include "screens/Choosers.h"
#include "screens/ScreenKit.h"
#include "core/LogFile.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPainter>
#include <QPrinter>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <cstdio>
#include <exception>

namespace tallyquill {

using namespace screenkit;

namespace {

// The box says only that it failed; the operator finds why here.
bool Failed(const char* what, const QString& path, const QString& why)
{
    std::fprintf(stderr, "Tallyquill: %s %s failed: %s\n", what, qUtf8Printable(path), qUtf8Printable(why));
    return false;
}

QString PrinterError(const QPrinter& printer)
{
    // QPrinter keeps no reason of its own beyond its state.
    if (printer.outputFormat() == QPrinter::PdfFormat)
        return QStringLiteral("cannot write %1").arg(printer.outputFileName());
    if (printer.printerName().isEmpty())
        return QStringLiteral("no printer is configured");
    if (printer.printerState() == QPrinter::Error)
        return QStringLiteral("the printer %1 reports an error").arg(printer.printerName());
    return QStringLiteral("the printer %1 did not take the job").arg(printer.printerName());
}

} // namespace

frmPrint::frmPrint(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmPrint"));
    setWindowTitle(QStringLiteral("Print Logs"));
    setTag(this, sid::PrintLogs);
    const Twips tw(FontScale(this));
    setFixedSize(tw.px(4110), tw.px(1785));
    auto place = [&tw](QWidget* w, int left, int top, int width, int height) {
        tw.place(w, left, top, width, height);
    };
    makePrinter = [] { return std::make_unique<QPrinter>(); };

    auto option = [this](const char* name, const char* text, int tag) {
        return control<QRadioButton>(this, name, text, tag);
    };
    auto button = [this](const char* name, const char* text, int tag) {
        return control<QPushButton>(this, name, text, tag);
    };
    optPrinter = option("optPrinter", "Print to Printer", sid::PrintToPrinter);
    place(optPrinter, 120, 120, 2055, 375);
    optFile = option("optFile", "Print to File", sid::PrintToFile);
    place(optFile, 120, 480, 2070, 375);
    txtFilename = new QLineEdit(this);
    txtFilename->setObjectName(QStringLiteral("txtFilename"));
    place(txtFilename, 360, 960, 3255, 285);
    cmdBrowse = button("cmdBrowse", "...", 0);
    place(cmdBrowse, 3720, 960, 255, 255);
    cmdPrint = button("cmdPrint", "OK", sid::PrintOK);
    place(cmdPrint, 1440, 1320, 1215, 330);
    cmdCancel = button("cmdCancel", "Cancel", sid::PrintCancel);
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
    // The file name has no label of its own: the option that enables it names it.
    nameAfter(txtFilename, {optFile});
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
                ShowError(sid::NoFileName, QStringLiteral("No file name"), MsgIcon::Warning);
            else if (!(printed = PrintToFile(txtFilename->text())))
                ShowError(sid::PrintToFileFailed, QStringLiteral("Error in print to file"), MsgIcon::None);
        } else if (optPrinter->isChecked()) {
            // Kept afterwards: it holds what was printed, and others read it.
            const QString copy = QStringLiteral("~loglist.log");
            if (!PrintToFile(copy))
                ShowError(sid::TempFileFailed, QStringLiteral("Error in create temp file"), MsgIcon::None);
            else if (!(printed = PrintToPrinter(copy)))
                ShowError(sid::PrintToPrinterFailed, QStringLiteral("Error in print to printer"), MsgIcon::Warning);
        }
    }
    if (printed)
        cmdCancel_Click();
}

bool frmPrint::PrintToFile(const QString& path)
{
    try {
        LogFile file(path, LogFile::Mode::Private);
        file.writeLine(HeaderLine(layout));
        int32_t total = 0, downloaded = 0;
        if (records) {
            total = records->total();
            downloaded = records->downloaded();
            // 32 bits: a retrieval may well download more than 32,767 records.
            const std::size_t held = std::min<std::size_t>(std::size_t(std::max(downloaded, 0)),
                                                           records->records().size());
            for (std::size_t i = 0; i < held; ++i)
                file.writeLine(BuildLogLine(records->records()[i], layout));
        }
        if ((total > downloaded || (records && records->counting())) && listener)
            listener->MoreLogForPrint(file, total, downloaded);
        file.close();
        return true;
    } catch (const std::exception& e) {
        return Failed("printing to", path, QString::fromUtf8(e.what()));
    } catch (...) {
        return Failed("printing to", path, QStringLiteral("unknown error"));
    }
}

bool frmPrint::PrintToPrinter(const QString& path)
{
    try {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return Failed("printing", path, file.errorString());
        std::unique_ptr<QPrinter> printer = makePrinter ? makePrinter() : nullptr;
        if (!printer)
            return Failed("printing", path, QStringLiteral("no printer is configured"));
        // One painter is one job: it ends, and prints, with end().
        QPainter painter;
        if (!painter.begin(printer.get()))
            return Failed("printing", path, PrinterError(*printer));
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
                    return Failed("printing", path, PrinterError(*printer));
                top = 0;
            }
            painter.drawText(0, top + metrics.ascent(), QString::fromUtf8(raw));
            top += metrics.lineSpacing();
        }
        if (!painter.end())
            return Failed("printing", path, PrinterError(*printer));
        return true;
    } catch (const std::exception& e) {
        return Failed("printing", path, QString::fromUtf8(e.what()));
    } catch (...) {
        return Failed("printing", path, QStringLiteral("unknown error"));
    }
}

} // namespace tallyquill
