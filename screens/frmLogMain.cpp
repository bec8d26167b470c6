#include "screens/frmLogMain.h"

#include "localize/ShowError.h"
#include "localize/StringIds.h"
#include "localize/clsLocalize.h"
#include "screens/FilterCheck.h"
#include "screens/ScreenKit.h"
#include "screens/frmLogDetail.h"
#include "core/LogRecord.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QTableWidget>
#include <QTimer>

#include <algorithm>
#include <type_traits>
#include <variant>

namespace tallyquill {

using namespace screenkit;

namespace {

const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);

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
    countingShown_ = new QTimer(this);
    countingShown_->setSingleShot(true);
    countingShown_->setInterval(kCountingShownMs);
    connect(countingShown_, &QTimer::timeout, this, [this] {
        if (pager_.counting())
            lblTotalRecord->setText(pager_.totalText());
    });
    connectHandlers();
}

frmLogMain::~frmLogMain() = default;

void frmLogMain::buildControls()
{
    tw_ = Twips(FontScale(this));
    opening_ = laidOut_ = QSize(tw_.px(8895), tw_.px(6225));
    resize(opening_);
    setMinimumSize(opening_);
    setWindowFlag(Qt::WindowMaximizeButtonHint);
    auto place = [this](QWidget* w, int left, int top, int width, int height) {
        tw_.place(w, left, top, width, height);
    };

    // The design: every label, field and button in the order they are made,
    // with its place in twips (inside the filter frame where so marked).
    using Member = std::variant<QLabel* frmLogMain::*, QLineEdit* frmLogMain::*, QPushButton* frmLogMain::*>;
    struct Design {
        Member member;
        bool inFrame;
        const char* name;
        const char* text;  // a label's or button's caption; a field's input mask
        int16_t tag;
        int left, top, width, height;
    };
    static const char* const date = "00/00/0000;_";
    static const char* const time = "00:00:00;_";
    static const Design design[] = {
        {&frmLogMain::lblDateRange, true, "lblDateRange", "Date Range", sid::DateRange, 360, 360, 975, 255},
        {&frmLogMain::txtDateRangeStart, true, "txtDateRangeStart", date, 0, 1680, 360, 1095, 285},
        {&frmLogMain::lblDateRangeSep, true, "lblDateRangeSep", "to", sid::To, 3000, 360, 240, 255},
        {&frmLogMain::txtDateRangeEnd, true, "txtDateRangeEnd", date, 0, 3360, 360, 1095, 285},
        {&frmLogMain::cmdRetrieve, true, "cmdRetrieve", "&Retrieve", sid::Retrieve, 7200, 360, 1095, 330},
        {&frmLogMain::lblTimeRange, true, "lblTimeRange", "Time Range", sid::TimeRange, 360, 720, 975, 255},
        {&frmLogMain::txtTimeRangeStart, true, "txtTimeRangeStart", time, 0, 1680, 720, 1095, 285},
        {&frmLogMain::lblTimeRangeSep, true, "lblTimeRangeSep", "to", sid::To, 3000, 720, 240, 255},
        {&frmLogMain::txtTimeRangeEnd, true, "txtTimeRangeEnd", time, 0, 3360, 720, 1095, 285},
        {&frmLogMain::lblAppID, true, "lblAppID", "Application ID", sid::ApplicationID, 360, 1080, 1260, 255},
        {&frmLogMain::txtAppID, true, "txtAppID", "", 0, 1680, 1080, 2175, 285},
        {&frmLogMain::lblWsID, true, "lblWsID", "WorkStation ID", sid::WorkStationID, 4680, 1080, 1350, 255},
        {&frmLogMain::txtWsID, true, "txtWsID", "", 0, 6120, 1080, 2175, 285},
        {&frmLogMain::lblUserName, true, "lblUserName", "User Name", sid::UserName, 360, 1440, 975, 255},
        {&frmLogMain::txtUserName, true, "txtUserName", "", 0, 1680, 1440, 2175, 285},
        {&frmLogMain::lblEvent, true, "lblEvent", "Event Type", sid::EventType, 4680, 1440, 975, 255},
        {&frmLogMain::txtEvent, true, "txtEvent", "", 0, 6120, 1440, 2175, 285},
        {&frmLogMain::lblActivity, true, "lblActivity", "Activity", sid::Activity, 360, 1800, 1095, 255},
        {&frmLogMain::txtActivity, true, "txtActivity", "", 0, 1680, 1800, 6615, 285},
        {&frmLogMain::lblTotalRecordDesc, false, "lblTotalRecordDesc", "Total Records Found:", sid::TotalRecordsFound,
         120, 2640, 2010, 255},
        {&frmLogMain::lblTotalRecord, false, "lblTotalRecord", "0", 0, 2325, 2640, 615, 255},
        {&frmLogMain::lblDownloadDesc, false, "lblDownloadDesc", "No of Records Download:", sid::RecordsDownloaded,
         3135, 2640, 2100, 255},
        {&frmLogMain::lblDownload, false, "lblDownload", "0", 0, 5460, 2640, 615, 255},
    };
    fraFilter = control<QGroupBox>(this, "fraFilter", "Log Filter", sid::LogFilter);
    place(fraFilter, 120, 120, 8655, 2295);
    auto make = [&](const Design& d) {
        QWidget* parent = d.inFrame ? static_cast<QWidget*>(fraFilter) : this;
        QWidget* made = std::visit(
            [&](auto member) -> QWidget* {
                using T = std::remove_pointer_t<std::remove_reference_t<decltype(this->*member)>>;
                T* w = nullptr;
                if constexpr (std::is_same_v<T, QLineEdit>) {
                    w = control<QLineEdit>(parent, d.name);
                    if (*d.text)
                        w->setInputMask(QString::fromLatin1(d.text));
                } else {
                    w = control<T>(parent, d.name, d.text, d.tag);
                    if constexpr (std::is_same_v<T, QLabel>)
                        w->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                }
                this->*member = w;
                return w;
            },
            d.member);
        place(made, d.left, d.top, d.width, d.height);
    };
    for (const Design& d : design)
        make(d);
    cmdRetrieve->setDefault(true);
    setTextColour(lblTotalRecord, kBlue);
    setTextColour(lblDownload, kBlue);

    buildGrid();

    // The buttons under the grid, made after it.
    static const Design buttons[] = {
        {&frmLogMain::cmdPrint, false, "cmdPrint", "&Print...", sid::Print, 4920, 5760, 1215, 330},
        {&frmLogMain::cmdArchive, false, "cmdArchive", "&Archive...", sid::Archive, 6240, 5760, 1215, 330},
        {&frmLogMain::cmdCancel, false, "cmdCancel", "Close", sid::Cancel, 7560, 5760, 1215, 330},
    };
    for (const Design& d : buttons)
        make(d);

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

    labelFor(lblDateRange, txtDateRangeStart);
    labelFor(lblDateRangeSep, txtDateRangeEnd);
    labelFor(lblTimeRange, txtTimeRangeStart);
    labelFor(lblTimeRangeSep, txtTimeRangeEnd);
    labelFor(lblAppID, txtAppID);
    labelFor(lblWsID, txtWsID);
    labelFor(lblUserName, txtUserName);
    labelFor(lblEvent, txtEvent);
    labelFor(lblActivity, txtActivity);
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

    grdLogList->installEventFilter(this);
    grdLogList->viewport()->installEventFilter(this);
    connect(grdLogList, &QTableWidget::cellDoubleClicked, this, [this] { showDetail(); });
    connect(grdLogList, &QTableWidget::currentCellChanged, this, [this] {
        gridSelectionChanged();
        refreshDetail();
    });
    connect(grdLogList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { gridSelectionChanged(); });
    connect(grdLogList->horizontalHeader(), &QHeaderView::sectionResized, this,
            [this](int col, int oldPx, int newPx) { columnResized(col, oldPx, newPx); });
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
    // Laid out afresh from the opening size of the last load.
    setWindowState(windowState() & ~Qt::WindowMaximized);
    resize(opening_);
    followSize();
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
    columnKeys_.clear();
    settingColumns_ = true;
    grdLogList->setColumnCount(2);
    setColumn(0, QStringLiteral("Date"), Tr(sid::DateColumn, QStringLiteral("Date")), 1000);
    setColumn(1, QStringLiteral("Time"), Tr(sid::TimeColumn, QStringLiteral("Time")), 800);
    int runningWidth = 1800;
    int FilterCount = 0;

    struct Optional {
        bool hidden;
        QLabel* label;
        QLineEdit* field;
        const char* key;
        int16_t headerId;
        QString fallback;
        int width;
    };
    const Optional optionals[] = {
        {view.hideAppID, lblAppID, txtAppID, "AppID", sid::AppIDColumn, QStringLiteral("App ID"), 1000},
        {view.hideWsID, lblWsID, txtWsID, "WsID", sid::WsIDColumn, QStringLiteral("WS ID"), 1200},
        {view.hideUser, lblUserName, txtUserName, "User", sid::UserColumn, view.userTitle, 900},
        {view.hideEvent, lblEvent, txtEvent, "Event", sid::EventColumn, view.eventTitle, 1000},
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
        setColumn(FilterCount + 1, QString::fromLatin1(o.key), Tr(o.headerId, o.fallback), o.width);
        runningWidth += o.width;
    }
    grdLogList->setColumnCount(grdLogList->columnCount() + 1);
    setColumn(FilterCount + 2, QStringLiteral("Activity"), Tr(sid::Activity, view.activityTitle),
              tw_.twips(grdLogList->width()) - runningWidth - kActivitySlack);
    settingColumns_ = false;

    for (int col = 0; col < grdLogList->columnCount(); ++col) {
        const Qt::Alignment left = Qt::AlignLeft | Qt::AlignTop;
        grdLogList->horizontalHeaderItem(col)->setTextAlignment(left);
        for (int row = 0; row < grdLogList->rowCount(); ++row)
            grdLogList->item(row, col)->setTextAlignment(left);
    }

    ResetScreenSize(FilterCount);
    Localizer()->LocalizeFormControl(this);
    WidenCaptions(this);
    WidenCaptions(fraFilter);

    // Screen readers announce each field by its caption, in the language shown.
    nameAfter(txtDateRangeStart, {lblDateRange});
    nameAfter(txtDateRangeEnd, {lblDateRange, lblDateRangeSep});
    nameAfter(txtTimeRangeStart, {lblTimeRange});
    nameAfter(txtTimeRangeEnd, {lblTimeRange, lblTimeRangeSep});
    nameAfter(txtAppID, {lblAppID});
    nameAfter(txtWsID, {lblWsID});
    nameAfter(txtUserName, {lblUserName});
    nameAfter(txtEvent, {lblEvent});
    nameAfter(txtActivity, {lblActivity});
    if (detail_)
        detail_->hide();
    selection_.clear();
    recallWindow();
}

void frmLogMain::Form_Unload()
{
    countingShown_->stop();
    pager_.dropRecords();
    loaded_ = false;
}

void frmLogMain::unload()
{
    rememberWindow();
    if (detail_)
        detail_->hide();
    Form_Unload();
}

void frmLogMain::showEvent(QShowEvent* event)
{
    load();
    shown_ = true;
    QDialog::showEvent(event);
}

void frmLogMain::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    followSize();
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

void frmLogMain::MoveFilterField(QLabel* FieldDesc, QLineEdit* FieldContent, int Position)
{
    if (Position < 1 || Position > 4)
        return;
    const Slot& slot = kSlots[Position - 1];
    FieldDesc->move(tw_.px(slot.labelLeft), tw_.px(slot.top));
    FieldContent->move(tw_.px(slot.fieldLeft), tw_.px(slot.top));
}

void frmLogMain::ResetScreenSize(int FilterCount)
{
    const int shrink = FilterCount <= 0 ? 720 : FilterCount <= 2 ? 360 : 0;
    auto setTop = [this](QWidget* w, int top) { w->move(w->x(), tw_.px(top)); };
    setTop(lblActivity, 1800 - shrink);
    setTop(txtActivity, 1800 - shrink);
    fraFilter->resize(fraFilter->width(), tw_.px(2295 - shrink));
    for (QWidget* w : {static_cast<QWidget*>(lblTotalRecordDesc), static_cast<QWidget*>(lblTotalRecord),
                       static_cast<QWidget*>(lblDownloadDesc), static_cast<QWidget*>(lblDownload)})
        setTop(w, 2640 - shrink);
    setTop(grdLogList, 2880 - shrink);
    vscLogList->move(vscLogList->x(), grdLogList->y());
    for (QWidget* w : {cmdArchive, cmdPrint, cmdCancel})
        setTop(w, 5760 - shrink);
    outerHeightTwips_ = 6600 - shrink;
    setOpeningSize(QSize(width(), tw_.px(6225 - shrink)));
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
    selection_.clear();
    auto shownText = [](const QLineEdit* t) { return t->isHidden() ? QString() : TrimBlanks(t->text()); };
    LogFilter filter;
    filter.StartDate = DateKey(txtDateRangeStart->displayText());
    filter.EndDate = DateKey(txtDateRangeEnd->displayText());
    filter.StartTime = TimeKey(txtTimeRangeStart->displayText());
    filter.Endtime = TimeKey(txtTimeRangeEnd->displayText());
    filter.AppID = shownText(txtAppID);
    filter.WsID = shownText(txtWsID);
    filter.UserName = shownText(txtUserName);
    filter.EventType = shownText(txtEvent);
    filter.Activity = TrimBlanks(txtActivity->text());

    Retrieval found;
    if (listener)
        found = listener->RetrieveLog(filter);
    if (!found.ok) {
        if (!found.reported)
            ShowError(sid::RetrieveFailed, QStringLiteral("Error in retrieve records!"));
        // Nothing is held: rows left from the earlier retrieval would show
        // records that nothing holds any more.
        ClearLogList();
        return;
    }

    pager_.start(found.total, {}, found.counting);
    // A count that ends within a moment shows as if it had come first.
    countingShown_->stop();
    lblTotalRecord->setText(found.counting ? QString() : pager_.totalText());
    if (found.counting)
        countingShown_->start();
    lblDownload->setText(QStringLiteral("0"));
    setTextColour(lblDownload, kBlue);

    suppressScroll_ = true;
    vscLogList->setValue(1);
    vscLogList->setMaximum(pager_.scrollMaximum(rows_));
    suppressScroll_ = false;

    if (found.total > 0) {
        cmdPrint->setEnabled(true);
        PutInList(found.page);
        // An enlarged window shows more than the first page holds.
        if (rows_ > pager_.held())
            RequestMoreLog();
        ResetLogList();
    } else {
        cmdPrint->setEnabled(false);
        ClearLogList();
        ShowMessage(Tr(sid::NoRecordFound, QStringLiteral("No Record Found")),
                    Tr(sid::RetrieveLogs, QStringLiteral("Retrieve Logs")), MsgIcon::Information);
    }
}

void frmLogMain::TotalCounted(int32_t total)
{
    if (!loaded_ || !pager_.counting())
        return;
    pager_.setTotal(total);
    countingShown_->stop();
    lblTotalRecord->setText(pager_.totalText());
    setTextColour(lblDownload, pager_.complete() ? kBlue : kRed);
    suppressScroll_ = true;
    vscLogList->setMaximum(pager_.scrollMaximum(rows_));
    suppressScroll_ = false;
    ResetLogList();
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
    while (pager_.needsMore(windowTop(), rows_)) {
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

} // namespace tallyquill
