#include "screens/frmLogMain.h"

#include "localize/ShowError.h"
#include "localize/StringIds.h"
#include "localize/clsLocalize.h"
#include "screens/FilterCheck.h"
#include "screens/ScreenKit.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>

#include <algorithm>

namespace tallyquill {

using namespace screenkit;

namespace {

const QString kDateMask = QStringLiteral("00/00/0000;_");
const QString kTimeMask = QStringLiteral("00:00:00;_");
const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);

void setTop(QWidget* w, int top) { w->move(w->x(), px(top)); }

void setTextColour(QLabel* label, const QColor& colour)
{
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, colour);
    label->setPalette(p);
}

// The four slots of the optional filter fields: label Left, field Left, Top.
struct Slot {
    int labelLeft, fieldLeft, top;
};
constexpr Slot kSlots[] = {{360, 1680, 1080}, {4680, 6120, 1080}, {360, 1680, 1440}, {4680, 6120, 1440}};

constexpr int kActivitySlack = 105;  // what the activity column leaves free

} // namespace

frmLogMain::frmLogMain(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmLogMain"));
    setWindowTitle(QStringLiteral("Log Viewer"));
    setTag(this, sid::LogViewer);
    buildControls();
    connectHandlers();
}

frmLogMain::~frmLogMain() = default;

void frmLogMain::buildControls()
{
    setFixedSize(px(8895), px(6225));
    useDesignFont(this);

    auto label = [](QWidget* parent, const char* name, const char* text, int tag) {
        auto* l = control<QLabel>(parent, name, text, tag);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return l;
    };
    auto field = [](QWidget* parent, const char* name, const QString& mask = {}) {
        auto* t = control<QLineEdit>(parent, name);
        if (!mask.isEmpty())
            t->setInputMask(mask);
        return t;
    };
    auto button = control<QPushButton>;

    fraFilter = control<QGroupBox>(this, "fraFilter", "Log Filter", sid::LogFilter);
    place(fraFilter, 120, 120, 8655, 2295);

    QWidget* f = fraFilter;
    lblDateRange = label(f, "lblDateRange", "Date Range", sid::DateRange);
    place(lblDateRange, 360, 360, 975, 255);
    txtDateRangeStart = field(f, "txtDateRangeStart", kDateMask);
    place(txtDateRangeStart, 1680, 360, 1095, 285);
    lblDateRangeSep = label(f, "lblDateRangeSep", "to", sid::To);
    place(lblDateRangeSep, 3000, 360, 240, 255);
    txtDateRangeEnd = field(f, "txtDateRangeEnd", kDateMask);
    place(txtDateRangeEnd, 3360, 360, 1095, 285);
    cmdRetrieve = button(f, "cmdRetrieve", "&Retrieve", sid::Retrieve);
    place(cmdRetrieve, 7200, 360, 1095, 330);
    cmdRetrieve->setDefault(true);
    lblTimeRange = label(f, "lblTimeRange", "Time Range", sid::TimeRange);
    place(lblTimeRange, 360, 720, 975, 255);
    txtTimeRangeStart = field(f, "txtTimeRangeStart", kTimeMask);
    place(txtTimeRangeStart, 1680, 720, 1095, 285);
    lblTimeRangeSep = label(f, "lblTimeRangeSep", "to", sid::To);
    place(lblTimeRangeSep, 3000, 720, 240, 255);
    txtTimeRangeEnd = field(f, "txtTimeRangeEnd", kTimeMask);
    place(txtTimeRangeEnd, 3360, 720, 1095, 285);
    lblAppID = label(f, "lblAppID", "Application ID", sid::ApplicationID);
    place(lblAppID, 360, 1080, 1260, 255);
    txtAppID = field(f, "txtAppID");
    place(txtAppID, 1680, 1080, 2175, 285);
    lblWsID = label(f, "lblWsID", "WorkStation ID", sid::WorkStationID);
    place(lblWsID, 4680, 1080, 1350, 255);
    txtWsID = field(f, "txtWsID");
    place(txtWsID, 6120, 1080, 2175, 285);
    lblUserName = label(f, "lblUserName", "User Name", sid::UserName);
    place(lblUserName, 360, 1440, 975, 255);
    txtUserName = field(f, "txtUserName");
    place(txtUserName, 1680, 1440, 2175, 285);
    lblEvent = label(f, "lblEvent", "Event Type", sid::EventType);
    place(lblEvent, 4680, 1440, 975, 255);
    txtEvent = field(f, "txtEvent");
    place(txtEvent, 6120, 1440, 2175, 285);
    lblActivity = label(f, "lblActivity", "Activity", sid::Activity);
    place(lblActivity, 360, 1800, 1095, 255);
    txtActivity = field(f, "txtActivity");
    place(txtActivity, 1680, 1800, 6615, 285);

    lblTotalRecordDesc = label(this, "lblTotalRecordDesc", "Total Records Found:", sid::TotalRecordsFound);
    place(lblTotalRecordDesc, 120, 2640, 2010, 255);
    lblTotalRecord = label(this, "lblTotalRecord", "0", 0);
    place(lblTotalRecord, 2325, 2640, 615, 255);
    setTextColour(lblTotalRecord, kBlue);
    lblDownloadDesc = label(this, "lblDownloadDesc", "No of Records Download:", sid::RecordsDownloaded);
    place(lblDownloadDesc, 3135, 2640, 2100, 255);
    lblDownload = label(this, "lblDownload", "0", 0);
    place(lblDownload, 5460, 2640, 615, 255);
    setTextColour(lblDownload, kBlue);

    grdLogList = new QTableWidget(kGridRows, 0, this);
    grdLogList->setObjectName(QStringLiteral("grdLogList"));
    place(grdLogList, 120, 2880, 8415, 2750);
    grdLogList->verticalHeader()->hide();
    grdLogList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdLogList->setSelectionBehavior(QAbstractItemView::SelectRows);
    grdLogList->setSelectionMode(QAbstractItemView::SingleSelection);
    // The grid is a fixed window of ten rows; vscLogList does the scrolling.
    grdLogList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    grdLogList->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    grdLogList->setWordWrap(false);
    // Narrow design widths: clip like a plain grid instead of eliding.
    grdLogList->setTextElideMode(Qt::ElideNone);
    grdLogList->setStyleSheet(QStringLiteral("QTableWidget::item { padding: 0px; }"));
    grdLogList->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grdLogList->horizontalHeader()->setHighlightSections(false);
    grdLogList->verticalHeader()->setMinimumSectionSize(1);
    grdLogList->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    const int rowHeight = 16;
    grdLogList->verticalHeader()->setDefaultSectionSize(rowHeight);
    grdLogList->horizontalHeader()->setFixedHeight(grdLogList->height() - 2 * grdLogList->frameWidth()
                                                   - kGridRows * rowHeight);

    vscLogList = new QScrollBar(Qt::Vertical, this);
    vscLogList->setObjectName(QStringLiteral("vscLogList"));
    place(vscLogList, 8520, 2880, 255, 2775);
    vscLogList->setRange(1, 1);
    vscLogList->setSingleStep(1);
    vscLogList->setPageStep(kGridRows);
    vscLogList->setFocusPolicy(Qt::StrongFocus);
    // Dragging reports through sliderMoved; the value follows on release.
    vscLogList->setTracking(false);

    cmdPrint = button(this, "cmdPrint", "&Print...", sid::Print);
    place(cmdPrint, 4920, 5760, 1215, 330);
    cmdArchive = button(this, "cmdArchive", "&Archive...", sid::Archive);
    place(cmdArchive, 6240, 5760, 1215, 330);
    cmdCancel = button(this, "cmdCancel", "Close", sid::Cancel);
    place(cmdCancel, 7560, 5760, 1215, 330);

    // Keyboard order; labels and the frame take no focus and drop out.
    const QWidget* order[] = {fraFilter,         txtDateRangeStart, txtDateRangeEnd,    txtTimeRangeStart,
                              txtTimeRangeEnd,   txtAppID,          txtWsID,            txtUserName,
                              txtEvent,          txtActivity,       cmdRetrieve,        cmdPrint,
                              cmdArchive,        cmdCancel,         lblDateRange,       lblTimeRange,
                              lblDateRangeSep,   lblTimeRangeSep,   lblUserName,        lblActivity,
                              lblTotalRecordDesc, lblTotalRecord,   lblDownloadDesc,    lblDownload,
                              lblEvent,          lblAppID,          lblWsID,            vscLogList,
                              grdLogList};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(const_cast<QWidget*>(order[i - 1]), const_cast<QWidget*>(order[i]));
}

void frmLogMain::connectHandlers()
{
    for (QLineEdit* t : {txtAppID, txtWsID, txtUserName, txtEvent})
        connect(t, &QLineEdit::textChanged, this, [this, t] {
            upperCaseChange(t);
            filterChange();
        });
    for (QLineEdit* t : {txtActivity, txtDateRangeStart, txtDateRangeEnd, txtTimeRangeStart, txtTimeRangeEnd})
        connect(t, &QLineEdit::textChanged, this, [this] { filterChange(); });

    connect(cmdRetrieve, &QPushButton::clicked, this, [this] { cmdRetrieve_Click(); });
    connect(cmdPrint, &QPushButton::clicked, this, [this] { cmdPrint_Click(); });
    connect(cmdArchive, &QPushButton::clicked, this, [this] { cmdArchive_Click(); });
    connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
    connect(vscLogList, &QScrollBar::valueChanged, this, [this] { vscLogList_Change(); });
    connect(vscLogList, &QScrollBar::sliderMoved, this, [this] { vscLogList_Scroll(); });
}

void frmLogMain::load()
{
    if (!loaded_)
        Form_Load();
}

int frmLogMain::columnWidthTwips(int col) const
{
    return col >= 0 && std::size_t(col) < columnTwips_.size() ? columnTwips_[std::size_t(col)] : 0;
}

// --- Load and unload -----------------------------------------------------------

void frmLogMain::Form_Load()
{
    loaded_ = true;
    ScreenSetup setup;
    if (listener)
        setup = listener->InitScreen();
    layout_ = setup.Layout;
    const LineLayout& view = layout_;
    setWindowTitle(setup.Caption);

    lblUserName->setText(view.userTitle);
    lblEvent->setText(view.eventTitle);
    lblActivity->setText(view.activityTitle);
    txtUserName->clear();
    txtEvent->clear();
    txtActivity->clear();

    // Unmasked, a field can be emptied; masked again it shows its prompts.
    const QString mask = txtTimeRangeStart->inputMask();
    txtTimeRangeStart->setInputMask(QString());
    txtTimeRangeEnd->setInputMask(QString());
    txtTimeRangeStart->setText(QString());
    txtTimeRangeEnd->setText(QString());
    txtTimeRangeStart->setInputMask(mask);
    txtTimeRangeEnd->setInputMask(mask);

    txtAppID->clear();
    txtWsID->clear();
    lblTotalRecord->setText(QStringLiteral("0"));
    lblDownload->setText(QStringLiteral("0"));
    setTextColour(lblDownload, kBlue);
    cmdPrint->setEnabled(false);

    txtDateRangeStart->setText(DisplayDate(CurrentStamp().date));
    txtDateRangeEnd->setText(txtDateRangeStart->displayText());
    if (!setup.StartDate.isEmpty())
        txtDateRangeStart->setText(setup.StartDate);
    if (!setup.EndDate.isEmpty())
        txtDateRangeEnd->setText(setup.EndDate);
    if (!view.hideAppID)
        txtAppID->setText(setup.AppID);

    // A screen loaded again after closing starts as a fresh one would.
    cmdRetrieve->setEnabled(true);
    cmdRetrieve->setDefault(true);
    suppressScroll_ = true;
    vscLogList->setRange(1, 1);
    vscLogList->setValue(1);
    suppressScroll_ = false;

    columnTwips_.clear();
    grdLogList->setColumnCount(2);
    setColumn(0, Tr(sid::DateColumn, QStringLiteral("Date")), 1000);
    setColumn(1, Tr(sid::TimeColumn, QStringLiteral("Time")), 800);
    int runningWidth = 1800;
    int FilterCount = 0;

    struct Optional {
        bool hidden;
        QLabel* label;
        QLineEdit* field;
        int16_t headerId;
        QString fallback;
        int width;
    };
    const Optional optionals[] = {
        {view.hideAppID, lblAppID, txtAppID, sid::AppIDColumn, QStringLiteral("App ID"), 1000},
        {view.hideWsID, lblWsID, txtWsID, sid::WsIDColumn, QStringLiteral("WS ID"), 1200},
        {view.hideUser, lblUserName, txtUserName, sid::UserColumn, view.userTitle, 900},
        {view.hideEvent, lblEvent, txtEvent, sid::EventColumn, view.eventTitle, 1000},
    };
    for (const Optional& o : optionals) {
        if (o.hidden) {
            o.label->hide();
            o.field->hide();
            continue;
        }
        o.label->show();
        o.field->show();
        ++FilterCount;
        MoveFilterField(o.label, o.field, FilterCount);
        grdLogList->setColumnCount(grdLogList->columnCount() + 1);
        setColumn(FilterCount + 1, Tr(o.headerId, o.fallback), o.width);
        runningWidth += o.width;
    }
    grdLogList->setColumnCount(grdLogList->columnCount() + 1);
    setColumn(FilterCount + 2, Tr(sid::Activity, view.activityTitle),
              grdLogList->width() * kTwipsPerPixel - runningWidth - kActivitySlack);

    for (int col = 0; col < grdLogList->columnCount(); ++col) {
        const Qt::Alignment left = Qt::AlignLeft | Qt::AlignTop;
        grdLogList->horizontalHeaderItem(col)->setTextAlignment(left);
        for (int row = 0; row < kGridRows; ++row)
            grdLogList->item(row, col)->setTextAlignment(left);
    }

    ResetScreenSize(FilterCount);
    Localizer()->LocalizeFormControl(this);
}

void frmLogMain::Form_Unload()
{
    pager_.dropRecords();
    loaded_ = false;
}

void frmLogMain::unload() { Form_Unload(); }

void frmLogMain::showEvent(QShowEvent* event)
{
    load();
    QDialog::showEvent(event);
}

void frmLogMain::closeEvent(QCloseEvent* event)
{
    QDialog::closeEvent(event);
    if (event->isAccepted())
        unload();
}

void frmLogMain::done(int r)
{
    unload();
    QDialog::done(r);
}

void frmLogMain::setColumn(int col, const QString& header, int widthTwips)
{
    if (columnTwips_.size() <= std::size_t(col))
        columnTwips_.resize(std::size_t(col) + 1);
    columnTwips_[std::size_t(col)] = widthTwips;
    grdLogList->setHorizontalHeaderItem(col, new QTableWidgetItem(header));
    grdLogList->setColumnWidth(col, qRound(double(widthTwips) / kTwipsPerPixel));
    for (int row = 0; row < kGridRows; ++row)
        if (!grdLogList->item(row, col))
            grdLogList->setItem(row, col, new QTableWidgetItem);
}

void frmLogMain::MoveFilterField(QLabel* FieldDesc, QLineEdit* FieldContent, int Position)
{
    if (Position < 1 || Position > 4)
        return;
    const Slot& slot = kSlots[Position - 1];
    FieldDesc->move(px(slot.labelLeft), px(slot.top));
    FieldContent->move(px(slot.fieldLeft), px(slot.top));
}

void frmLogMain::ResetScreenSize(int FilterCount)
{
    const int shrink = FilterCount <= 0 ? 720 : FilterCount <= 2 ? 360 : 0;
    setTop(lblActivity, 1800 - shrink);
    setTop(txtActivity, 1800 - shrink);
    fraFilter->resize(fraFilter->width(), px(2295 - shrink));
    for (QWidget* w : {static_cast<QWidget*>(lblTotalRecordDesc), static_cast<QWidget*>(lblTotalRecord),
                       static_cast<QWidget*>(lblDownloadDesc), static_cast<QWidget*>(lblDownload)})
        setTop(w, 2640 - shrink);
    setTop(grdLogList, 2880 - shrink);
    vscLogList->move(vscLogList->x(), grdLogList->y());
    for (QWidget* w : {cmdArchive, cmdPrint, cmdCancel})
        setTop(w, 5760 - shrink);
    outerHeightTwips_ = 6600 - shrink;
    setFixedSize(width(), px(6225 - shrink));
}

// --- Buttons ---------------------------------------------------------------------

void frmLogMain::cmdArchive_Click()
{
    if (listener)
        listener->PopUpArchiveDlg();
}

void frmLogMain::cmdPrint_Click()
{
    if (listener)
        listener->PopUpPrintDlg();
}

void frmLogMain::cmdCancel_Click() { close(); }

// --- Filter input ------------------------------------------------------------------

void frmLogMain::upperCaseChange(QLineEdit* field)
{
    const QString upper = field->text().toUpper();
    if (upper == field->text())
        return;
    const int caret = field->cursorPosition();
    field->setText(upper);
    field->setCursorPosition(caret);
}

void frmLogMain::filterChange()
{
    cmdRetrieve->setDefault(true);
    cmdRetrieve->setEnabled(true);
}

bool frmLogMain::ChkInputValue()
{
    FilterTexts filter;
    filter.dateStart = txtDateRangeStart->displayText();
    filter.dateEnd = txtDateRangeEnd->displayText();
    filter.timeStart = txtTimeRangeStart->displayText();
    filter.timeEnd = txtTimeRangeEnd->displayText();
    filter.appId = txtAppID->text();
    filter.appIdShown = !txtAppID->isHidden();
    const auto problem = CheckFilter(filter);
    if (!problem)
        return true;

    ShowError(problem->messageId, problem->english);
    QLineEdit* at = nullptr;
    switch (problem->focus) {
    case FilterField::DateRangeStart: at = txtDateRangeStart; break;
    case FilterField::DateRangeEnd: at = txtDateRangeEnd; break;
    case FilterField::TimeRangeStart: at = txtTimeRangeStart; break;
    case FilterField::TimeRangeEnd: at = txtTimeRangeEnd; break;
    case FilterField::AppID: at = txtAppID; break;
    }
    if (at)
        at->setFocus();
    return false;
}

// --- Retrieval and paging ------------------------------------------------------------

void frmLogMain::cmdRetrieve_Click()
{
    BusyScope busy(this);
    if (!ChkInputValue())
        return;

    pager_.clear();
    auto shownText = [](const QLineEdit* t) { return t->isHidden() ? QString() : t->text().trimmed(); };
    LogFilter filter;
    filter.StartDate = DateKey(txtDateRangeStart->displayText());
    filter.EndDate = DateKey(txtDateRangeEnd->displayText());
    filter.StartTime = TimeKey(txtTimeRangeStart->displayText());
    filter.Endtime = TimeKey(txtTimeRangeEnd->displayText());
    filter.AppID = shownText(txtAppID);
    filter.WsID = shownText(txtWsID);
    filter.UserName = shownText(txtUserName);
    filter.EventType = shownText(txtEvent);
    filter.Activity = txtActivity->text().trimmed();

    Retrieval found;
    if (listener)
        found = listener->RetrieveLog(filter);
    if (!found.ok) {
        ShowError(sid::RetrieveFailed, QStringLiteral("Error in retrieve records!"));
        // Nothing is held: rows left from the earlier retrieval would show
        // records that nothing holds any more.
        ClearLogList();
        return;
    }

    lblTotalRecord->setText(QString::number(found.total));
    lblDownload->setText(QStringLiteral("0"));
    setTextColour(lblDownload, kBlue);

    suppressScroll_ = true;
    vscLogList->setValue(1);
    pager_.start(found.total, {});
    vscLogList->setMaximum(pager_.scrollMaximum());
    suppressScroll_ = false;

    if (found.total > 0) {
        cmdPrint->setEnabled(true);
        PutInList(found.page);
        ResetLogList();
    } else {
        cmdPrint->setEnabled(false);
        ClearLogList();
        ShowMessage(Tr(sid::NoRecordFound, QStringLiteral("No Record Found")),
                    Tr(sid::RetrieveLogs, QStringLiteral("Retrieve Logs")), MsgIcon::Information);
    }
}

int32_t frmLogMain::PutInList(const Page& page)
{
    const int32_t added = pager_.append(page);
    lblDownload->setText(QString::number(pager_.downloaded()));
    setTextColour(lblDownload, pager_.complete() ? kBlue : kRed);
    cmdRetrieve->setEnabled(false);
    return added;
}

void frmLogMain::RequestMoreLog()
{
    while (pager_.needsMore(windowTop())) {
        Page page;
        if (listener)
            page = listener->MoreLog();
        if (!page.ok) {
            ShowError(sid::MoreLogFailed, QStringLiteral("Error in retrieve records!"));
            return;
        }
        // Fewer records than counted (the table changed meanwhile): asking
        // again would bring none either.
        if (PutInList(page) <= 0)
            return;
    }
}

void frmLogMain::ResetLogList()
{
    ClearLogList();
    const LineLayout& shown = layout_;
    int row = 0;
    for (const LogRecord& r : pager_.window(windowTop())) {
        int col = 0;
        setCell(row, col++, r.Date);
        setCell(row, col++, r.Time);
        if (!shown.hideAppID)
            setCell(row, col++, r.AppID);
        if (!shown.hideWsID)
            setCell(row, col++, r.WsID);
        if (!shown.hideUser)
            setCell(row, col++, r.UserName);
        if (!shown.hideEvent)
            setCell(row, col++, r.EventType);
        setCell(row, col, r.Activity);
        ++row;
    }
}

void frmLogMain::ClearLogList()
{
    for (int row = 0; row < kGridRows; ++row)
        for (int col = 0; col < grdLogList->columnCount(); ++col)
            setCell(row, col, QString());
}

void frmLogMain::setCell(int row, int col, const QString& stored)
{
    if (col >= grdLogList->columnCount())
        return;
    // Shown as the record lines show it: a line break in the text would
    // make one record look like two.
    const QString text = VisibleText(stored);
    if (QTableWidgetItem* item = grdLogList->item(row, col))
        item->setText(text);
    else
        grdLogList->setItem(row, col, new QTableWidgetItem(text));
}

int32_t frmLogMain::windowTop() const { return vscLogList->sliderPosition(); }

void frmLogMain::vscLogList_Change()
{
    if (suppressScroll_)
        return;
    BusyScope busy(this);
    RequestMoreLog();
    ResetLogList();
}

void frmLogMain::vscLogList_Scroll() { vscLogList_Change(); }

} // namespace tallyquill
