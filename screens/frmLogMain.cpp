#include "screens/frmLogMain.h"

#include "writer/Constant.h"
#include "screens/DownloadedRecords.h"
#include "screens/FilterCheck.h"
#include "writer/Global.h"
#include "msgbox/MessageBox.h"
#include "screens/ScreenKit.h"
#include "localize/clsLocalize.h"

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
    setTag(this, 815);
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

    fraFilter = control<QGroupBox>(this, "fraFilter", "Log Filter", 858);
    place(fraFilter, 120, 120, 8655, 2295);

    QWidget* f = fraFilter;
    lblDateRange = label(f, "lblDateRange", "Date Range", 818);
    place(lblDateRange, 360, 360, 975, 255);
    txtDateRangeStart = field(f, "txtDateRangeStart", kDateMask);
    place(txtDateRangeStart, 1680, 360, 1095, 285);
    lblDateRangeSep = label(f, "lblDateRangeSep", "to", 819);
    place(lblDateRangeSep, 3000, 360, 240, 255);
    txtDateRangeEnd = field(f, "txtDateRangeEnd", kDateMask);
    place(txtDateRangeEnd, 3360, 360, 1095, 285);
    cmdRetrieve = button(f, "cmdRetrieve", "&Retrieve", 857);
    place(cmdRetrieve, 7200, 360, 1095, 330);
    cmdRetrieve->setDefault(true);
    lblTimeRange = label(f, "lblTimeRange", "Time Range", 822);
    place(lblTimeRange, 360, 720, 975, 255);
    txtTimeRangeStart = field(f, "txtTimeRangeStart", kTimeMask);
    place(txtTimeRangeStart, 1680, 720, 1095, 285);
    lblTimeRangeSep = label(f, "lblTimeRangeSep", "to", 819);
    place(lblTimeRangeSep, 3000, 720, 240, 255);
    txtTimeRangeEnd = field(f, "txtTimeRangeEnd", kTimeMask);
    place(txtTimeRangeEnd, 3360, 720, 1095, 285);
    lblAppID = label(f, "lblAppID", "Application ID", 817);
    place(lblAppID, 360, 1080, 1260, 255);
    txtAppID = field(f, "txtAppID");
    place(txtAppID, 1680, 1080, 2175, 285);
    lblWsID = label(f, "lblWsID", "WorkStation ID", 825);
    place(lblWsID, 4680, 1080, 1350, 255);
    txtWsID = field(f, "txtWsID");
    place(txtWsID, 6120, 1080, 2175, 285);
    lblUserName = label(f, "lblUserName", "User Name", 824);
    place(lblUserName, 360, 1440, 975, 255);
    txtUserName = field(f, "txtUserName");
    place(txtUserName, 1680, 1440, 2175, 285);
    lblEvent = label(f, "lblEvent", "Event Type", 821);
    place(lblEvent, 4680, 1440, 975, 255);
    txtEvent = field(f, "txtEvent");
    place(txtEvent, 6120, 1440, 2175, 285);
    lblActivity = label(f, "lblActivity", "Activity", 816);
    place(lblActivity, 360, 1800, 1095, 255);
    txtActivity = field(f, "txtActivity");
    place(txtActivity, 1680, 1800, 6615, 285);

    lblTotalRecordDesc = label(this, "lblTotalRecordDesc", "Total Records Found:", 823);
    place(lblTotalRecordDesc, 120, 2640, 2010, 255);
    lblTotalRecord = label(this, "lblTotalRecord", "0", 0);
    place(lblTotalRecord, 2325, 2640, 615, 255);
    setTextColour(lblTotalRecord, kBlue);
    lblDownloadDesc = label(this, "lblDownloadDesc", "No of Records Download:", 820);
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

    cmdPrint = button(this, "cmdPrint", "&Print...", 856);
    place(cmdPrint, 4920, 5760, 1215, 330);
    cmdArchive = button(this, "cmdArchive", "&Archive...", 868);
    place(cmdArchive, 6240, 5760, 1215, 330);
    cmdCancel = button(this, "cmdCancel", "Close", 803);
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
    ViewSettings& view = View();
    QString caption;
    if (listener)
        listener->InitScreen(caption, view.UserDesc, view.EventDesc, view.ActivityDesc, view.AppIDVisible,
                             view.WsIDVisible, view.UserVisible, view.EventVisible);
    setWindowTitle(caption);

    lblUserName->setText(view.UserDesc);
    lblEvent->setText(view.EventDesc);
    lblActivity->setText(view.ActivityDesc);
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

    // A screen loaded again after closing starts as a fresh one would.
    cmdRetrieve->setEnabled(true);
    cmdRetrieve->setDefault(true);
    suppressScroll_ = true;
    vscLogList->setRange(1, 1);
    vscLogList->setValue(1);
    suppressScroll_ = false;

    columnTwips_.clear();
    grdLogList->setColumnCount(2);
    setColumn(0, Tr(859, QStringLiteral("Date")), 1000);
    setColumn(1, Tr(860, QStringLiteral("Time")), 800);
    int runningWidth = 1800;
    int16_t FilterCount = 0;

    struct Optional {
        int16_t flag;
        QLabel* label;
        QLineEdit* field;
        int headerId;
        QString fallback;
        int width;
    };
    const Optional optionals[] = {
        {view.AppIDVisible, lblAppID, txtAppID, 861, QStringLiteral("App ID"), 1000},
        {view.WsIDVisible, lblWsID, txtWsID, 862, QStringLiteral("WS ID"), 1200},
        {view.UserVisible, lblUserName, txtUserName, 863, view.UserDesc, 900},
        {view.EventVisible, lblEvent, txtEvent, 864, view.EventDesc, 1000},
    };
    for (const Optional& o : optionals) {
        if (o.flag != 0) {
            o.label->hide();
            o.field->hide();
            continue;
        }
        o.label->show();
        o.field->show();
        ++FilterCount;
        MoveFilterField(o.label, o.field, FilterCount);
        grdLogList->setColumnCount(grdLogList->columnCount() + 1);
        setColumn(FilterCount + 1, Tr(int16_t(o.headerId), o.fallback), o.width);
        runningWidth += o.width;
    }
    grdLogList->setColumnCount(grdLogList->columnCount() + 1);
    setColumn(FilterCount + 2, Tr(816, view.ActivityDesc),
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

void frmLogMain::Form_Unload(int16_t& /*Cancel*/)
{
    Downloaded().clearLists();
    loaded_ = false;
}

void frmLogMain::unload()
{
    int16_t cancel = kFalse;
    Form_Unload(cancel);
}

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

void frmLogMain::MoveFilterField(QLabel* FieldDesc, QLineEdit* FieldContent, int16_t Position)
{
    if (Position < 1 || Position > 4)
        return;
    const Slot& slot = kSlots[Position - 1];
    FieldDesc->move(px(slot.labelLeft), px(slot.top));
    FieldContent->move(px(slot.fieldLeft), px(slot.top));
}

void frmLogMain::ResetScreenSize(int16_t FilterCount)
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

    ShowMessage(Tr(problem->messageId, problem->english), Tr(sid::Error, QStringLiteral("Error")), MsgIcon::Warning);
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

    DownloadedRecords& d = Downloaded();
    d.TotalRecord = 0;
    d.DownloadRecord = 0;
    storingBase_ = 0;
    d.clearLists();

    auto shownText = [](const QLineEdit* t) { return t->isHidden() ? QString() : t->text().trimmed(); };
    const QString startDate = DateKey(txtDateRangeStart->displayText());
    const QString endDate = DateKey(txtDateRangeEnd->displayText());
    const QString startTime = TimeKey(txtTimeRangeStart->displayText());
    const QString endTime = TimeKey(txtTimeRangeEnd->displayText());

    int16_t result = kFalse;
    int32_t pageCount = 0;
    if (listener)
        listener->RetrieveLog(result, d.TotalRecord, pageCount, startDate, endDate, startTime, endTime,
                              shownText(txtAppID), shownText(txtWsID), shownText(txtUserName), shownText(txtEvent),
                              txtActivity->text().trimmed(), page_);
    if (result == kFalse) {
        ShowMessage(Tr(846, QStringLiteral("Error in retrieve records!")), Tr(sid::Error, QStringLiteral("Error")),
                    MsgIcon::Warning);
        // The lists are gone: rows left from the earlier retrieval would
        // show records that nothing holds any more.
        ClearLogList();
        return;
    }

    lblTotalRecord->setText(QString::number(d.TotalRecord));
    lblDownload->setText(QStringLiteral("0"));
    setTextColour(lblDownload, kBlue);

    suppressScroll_ = true;
    vscLogList->setValue(1);
    vscLogList->setMaximum(d.TotalRecord <= kGridRows ? 1 : d.TotalRecord - kGridRows + vscLogList->minimum());
    suppressScroll_ = false;

    if (d.TotalRecord > 0) {
        cmdPrint->setEnabled(true);
        PutInList(pageCount);
        ResetLogList();
    } else {
        cmdPrint->setEnabled(false);
        ClearLogList();
        ShowMessage(Tr(844, QStringLiteral("No Record Found")), Tr(845, QStringLiteral("Retrieve Logs")),
                    MsgIcon::Information);
    }
}

void frmLogMain::PutInList(int32_t CurDownloadRecord)
{
    // The page buffer holds at most ten records, whatever a listener says.
    CurDownloadRecord = std::clamp<int32_t>(CurDownloadRecord, 0, PageBuffer::kSize - 1);
    DownloadedRecords& d = Downloaded();
    d.DownloadRecord += CurDownloadRecord;
    d.growTo(d.DownloadRecord);
    for (int32_t i = 1; i <= CurDownloadRecord; ++i) {
        const qsizetype k = storingBase_ + i;
        d.Date[k] = DisplayDate(page_.OutputDate.value(i));
        d.Time[k] = DisplayTime(page_.OutputTime.value(i));
        d.AppID[k] = page_.OutputAppID.value(i).trimmed();
        d.WsID[k] = page_.OutputWsID.value(i).trimmed();
        d.UserName[k] = page_.OutputUserName.value(i).trimmed();
        d.EventType[k] = page_.OutputEventType.value(i).trimmed();
        d.Activity[k] = page_.OutputActivity.value(i).trimmed();
    }
    storingBase_ = d.DownloadRecord;
    lblDownload->setText(QString::number(d.DownloadRecord));
    setTextColour(lblDownload, d.DownloadRecord < d.TotalRecord ? kRed : kBlue);
    cmdRetrieve->setEnabled(false);
}

void frmLogMain::RequestMoreLog()
{
    const DownloadedRecords& d = Downloaded();
    for (;;) {
        const int32_t v = windowTop();
        if (!(d.DownloadRecord < d.TotalRecord && v + kGridRows > d.DownloadRecord))
            return;
        int16_t result = kFalse;
        int32_t pageCount = 0;
        if (listener)
            listener->MoreLog(result, pageCount, page_);
        if (result == kFalse) {
            ShowMessage(Tr(843, QStringLiteral("Error in retrieve records!")),
                        Tr(sid::Error, QStringLiteral("Error")), MsgIcon::Warning);
            return;
        }
        PutInList(pageCount);
        // Fewer records than counted (the table changed meanwhile): asking
        // again would bring none either.
        if (pageCount <= 0)
            return;
    }
}

void frmLogMain::ResetLogList()
{
    ClearLogList();
    const DownloadedRecords& d = Downloaded();
    const ViewSettings& shown = View();
    const int32_t v = windowTop();
    // Bounded by what was downloaded too: the total may promise more.
    const int32_t last = std::min({lblTotalRecord->text().toInt(), d.DownloadRecord,
                                   int32_t(d.Date.size()) - 1});
    for (int32_t i = 1; i <= kGridRows; ++i) {
        const int32_t r = v + i - 1;
        if (r > last)
            break;
        const int row = i - 1;
        int col = 0;
        setCell(row, col++, d.Date[r]);
        setCell(row, col++, d.Time[r]);
        if (shown.AppIDVisible == 0)
            setCell(row, col++, d.AppID[r]);
        if (shown.WsIDVisible == 0)
            setCell(row, col++, d.WsID[r]);
        if (shown.UserVisible == 0)
            setCell(row, col++, d.UserName[r]);
        if (shown.EventVisible == 0)
            setCell(row, col++, d.EventType[r]);
        setCell(row, col, d.Activity[r]);
    }
}

void frmLogMain::ClearLogList()
{
    for (int row = 0; row < kGridRows; ++row)
        for (int col = 0; col < grdLogList->columnCount(); ++col)
            setCell(row, col, QString());
}

void frmLogMain::setCell(int row, int col, const QString& text)
{
    if (col >= grdLogList->columnCount())
        return;
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
