#include "screens/frmLogMain.h"

#include "localize/ShowError.h"
#include "localize/StringIds.h"
#include "localize/clsLocalize.h"
#include "screens/FilterCheck.h"
#include "screens/ScreenKit.h"
#include "screens/frmLogDetail.h"
#include "core/LogRecord.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QTableWidget>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>

namespace tallyquill {

using namespace screenkit;

namespace {

const QString kDateMask = QStringLiteral("00/00/0000;_");
const QString kTimeMask = QStringLiteral("00:00:00;_");
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
constexpr int kRowTwips = 240;
constexpr int kMinActivityTwips = 600;  // what an operator's widening leaves the activity
const QString kScreenKey = QStringLiteral("frmLogMain");

// A cell whose tooltip is its whole text: most activities are wider than
// their column.
class GridItem : public QTableWidgetItem {
public:
    explicit GridItem(const QString& text = {}) : QTableWidgetItem(text)
    {
        setTextAlignment(Qt::AlignLeft | Qt::AlignTop);
    }
    QVariant data(int role) const override
    {
        if (role == Qt::ToolTipRole) {
            const QString t = text();
            return t.isEmpty() ? QVariant() : QVariant(FullTextTip(t));
        }
        return QTableWidgetItem::data(role);
    }
    QTableWidgetItem* clone() const override { return new GridItem(*this); }
};

// The designed column widths hold a date or a time with a pixel to spare:
// cells keep one pixel of margin instead of the style's three.
class TightCells : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override
    {
        if (metric == PM_FocusFrameHMargin)
            return 0;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

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
    tw_ = Twips(FontScale(this));
    opening_ = laidOut_ = QSize(tw_.px(8895), tw_.px(6225));
    resize(opening_);
    setMinimumSize(opening_);
    setWindowFlag(Qt::WindowMaximizeButtonHint);
    auto place = [this](QWidget* w, int left, int top, int width, int height) {
        tw_.place(w, left, top, width, height);
    };

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
    grdLogList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    // The grid is a window on the records; vscLogList does the scrolling.
    // Columns widened past the grid's edge scroll sideways.
    grdLogList->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    grdLogList->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    grdLogList->setWordWrap(false);
    // A cut text says so; its tooltip and the detail view hold the rest.
    grdLogList->setTextElideMode(Qt::ElideRight);
    auto* tight = new TightCells;
    tight->setParent(grdLogList);
    grdLogList->setStyle(tight);
    grdLogList->setItemPrototype(new GridItem);
    // The operator drags a header edge to size a column; a double-click on
    // the edge fits it to its contents.
    grdLogList->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    grdLogList->horizontalHeader()->setHighlightSections(false);
    grdLogList->verticalHeader()->setMinimumSectionSize(1);
    grdLogList->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    const int rowHeight = tw_.px(kRowTwips);
    grdLogList->verticalHeader()->setDefaultSectionSize(rowHeight);
    headerHeight_ = grdLogList->height() - 2 * grdLogList->frameWidth() - kGridRows * rowHeight;
    grdLogList->horizontalHeader()->setFixedHeight(headerHeight_);

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
    selected_.clear();
    current_ = anchor_ = 0;
    recallWindow();
}

void frmLogMain::Form_Unload()
{
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

void frmLogMain::setColumn(int col, const QString& key, const QString& header, int widthTwips)
{
    if (columnTwips_.size() <= std::size_t(col)) {
        columnTwips_.resize(std::size_t(col) + 1);
        columnKeys_.resize(std::size_t(col) + 1);
    }
    columnTwips_[std::size_t(col)] = widthTwips;
    columnKeys_[std::size_t(col)] = key;
    grdLogList->setHorizontalHeaderItem(col, new QTableWidgetItem(header));
    setColumnPx(col, tw_.columnPx(widthTwips));
    for (int row = 0; row < grdLogList->rowCount(); ++row)
        if (!grdLogList->item(row, col))
            grdLogList->setItem(row, col, new GridItem);
}

void frmLogMain::setColumnPx(int col, int px)
{
    const bool wasSetting = settingColumns_;
    settingColumns_ = true;
    grdLogList->setColumnWidth(col, px);
    settingColumns_ = wasSetting;
}

// The activity column gives and takes what the operator's sizing of another
// column takes and gives, so that the columns keep filling the grid.
void frmLogMain::columnResized(int col, int oldPx, int newPx)
{
    const int last = grdLogList->columnCount() - 1;
    if (settingColumns_ || col >= last)
        return;
    const int activity = grdLogList->columnWidth(last);
    setColumnPx(last, std::max(tw_.px(kMinActivityTwips), activity - (newPx - oldPx)));
}

void frmLogMain::followSize()
{
    const QSize now = size();
    const int dx = now.width() - laidOut_.width();
    const int dy = now.height() - laidOut_.height();
    if (dx == 0 && dy == 0)
        return;
    laidOut_ = now;
    // The filter frame keeps its margins to the sides, its row of controls
    // to the left and the retrieve button to the right; the grid takes the
    // rest; the scroll bar and the buttons stay with the right and bottom edges.
    fraFilter->resize(fraFilter->width() + dx, fraFilter->height());
    txtActivity->resize(txtActivity->width() + dx, txtActivity->height());
    cmdRetrieve->move(cmdRetrieve->x() + dx, cmdRetrieve->y());
    grdLogList->resize(grdLogList->width() + dx, grdLogList->height() + dy);
    vscLogList->setGeometry(vscLogList->x() + dx, vscLogList->y(), vscLogList->width(), vscLogList->height() + dy);
    for (QWidget* w : {cmdPrint, cmdArchive, cmdCancel})
        w->move(w->x() + dx, w->y() + dy);
    if (const int last = grdLogList->columnCount() - 1; last >= 0)
        setColumnPx(last, std::max(tw_.px(kMinActivityTwips), grdLogList->columnWidth(last) + dx));
}

// As many rows as the grid's height holds below its header: ten at the
// opening size. Pages stay ten; a window grown past what was downloaded asks
// for the pages it now shows, once the resizing is over.
void frmLogMain::fitRows()
{
    const int rowHeight = grdLogList->verticalHeader()->defaultSectionSize();
    const int rows = std::max(1, grdLogList->viewport()->height() / std::max(1, rowHeight));
    if (rows == rows_)
        return;
    rows_ = rows;
    grdLogList->setRowCount(rows_);
    for (int row = 0; row < rows_; ++row)
        for (int col = 0; col < grdLogList->columnCount(); ++col)
            if (!grdLogList->item(row, col))
                grdLogList->setItem(row, col, new GridItem);
    suppressScroll_ = true;
    vscLogList->setPageStep(rows_);
    vscLogList->setMaximum(pager_.scrollMaximum(rows_));
    suppressScroll_ = false;
    if (windowTop() + rows_ - 1 > pager_.held() && !pager_.complete() && pager_.total() > 0)
        QTimer::singleShot(0, this, [this] {
            if (loaded_)  // not for a screen closed meanwhile
                vscLogList_Change();
        });
    ResetLogList();
}

void frmLogMain::setOpeningSize(QSize size)
{
    opening_ = size;
    setMinimumSize(size);
    resize(size);
    laidOut_ = size;
}

void frmLogMain::recallWindow()
{
    memory_ = WindowMemory::recall(kScreenKey);
    const int last = grdLogList->columnCount() - 1;
    int gained = 0;
    for (int col = 0; col < last; ++col) {
        const auto kept = memory_.columnTwips.find(columnKeys_[std::size_t(col)]);
        if (kept == memory_.columnTwips.end())
            continue;
        const int px = tw_.columnPx(kept->second);
        gained += px - grdLogList->columnWidth(col);
        setColumnPx(col, px);
    }
    if (last >= 0 && gained)
        setColumnPx(last, std::max(tw_.px(kMinActivityTwips), grdLogList->columnWidth(last) - gained));

    // Never larger than the desktop it opens on.
    QSize wanted = opening_ + memory_.extra;
    if (const QScreen* desktop = QGuiApplication::primaryScreen())
        wanted = wanted.boundedTo(desktop->availableSize().expandedTo(opening_));
    resize(wanted);
    followSize();
    // Where it stood, unless no screen shows that place any more.
    if (memory_.position) {
        const QRect at(*memory_.position, size());
        for (const QScreen* screen : QGuiApplication::screens())
            if (screen->availableGeometry().intersects(at)) {
                move(*memory_.position);
                break;
            }
    }
    if (memory_.maximized)
        setWindowState(windowState() | Qt::WindowMaximized);
}

void frmLogMain::rememberWindow()
{
    if (!shown_)
        return;
    shown_ = false;
    WindowMemory& m = memory_;
    m.maximized = isMaximized();
    const QRect normal = m.maximized ? normalGeometry() : geometry();
    m.extra = (normal.size() - opening_).expandedTo(QSize(0, 0));
    m.position = m.maximized ? normal.topLeft() : pos();
    // Every column but the activity, which fills what the others leave.
    for (int col = 0; col + 1 < grdLogList->columnCount(); ++col)
        m.columnTwips[columnKeys_[std::size_t(col)]] = tw_.twips(grdLogList->columnWidth(col));
    m.keep(kScreenKey);
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
    selected_.clear();
    current_ = anchor_ = 0;
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

    lblTotalRecord->setText(QString::number(found.total));
    lblDownload->setText(QStringLiteral("0"));
    setTextColour(lblDownload, kBlue);

    suppressScroll_ = true;
    vscLogList->setValue(1);
    pager_.start(found.total, {});
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

void frmLogMain::ResetLogList()
{
    ClearLogList();
    const LineLayout& shown = layout_;
    int row = 0;
    for (const LogRecord& r : pager_.window(windowTop(), rows_)) {
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
    markSelection();
}

void frmLogMain::ClearLogList()
{
    for (int row = 0; row < grdLogList->rowCount(); ++row)
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
        grdLogList->setItem(row, col, new GridItem(text));
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

// --- Reading records whole -----------------------------------------------------------

bool frmLogMain::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == grdLogList->viewport() && event->type() == QEvent::Wheel) {
        wheelOverGrid(static_cast<QWheelEvent*>(event));
        return true;
    }
    if (watched == grdLogList->viewport() && event->type() == QEvent::Resize)
        fitRows();
    if (watched == grdLogList && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (pageKey(key))
            return true;
        if (key->matches(QKeySequence::Copy)) {
            copySelection();
            return true;
        }
        // Enter opens the record rather than pressing the default button.
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
            && !(key->modifiers() & ~Qt::KeypadModifier)) {
            showDetail();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmLogMain::showDetail()
{
    const int row = grdLogList->currentRow();
    const QTableWidgetItem* first = row < 0 ? nullptr : grdLogList->item(row, 0);
    if (!first || first->text().isEmpty())
        return;  // no record in that row
    if (!detail_) {
        detail_ = new frmLogDetail(this);
        detail_->setWindowTitle(windowTitle());
    }
    const bool opening = !detail_->isVisible();
    detail_->show();
    refreshDetail();
    if (opening) {
        // Beside the screen when the desktop has room there.
        const QRect frame = frameGeometry();
        const QRect room = screen() ? screen()->availableGeometry() : QRect();
        const QPoint beside = frame.topRight() + QPoint(tw_.px(120), 0);
        if (room.contains(QRect(beside, detail_->frameGeometry().size())))
            detail_->move(beside);
    }
    detail_->raise();
    detail_->activateWindow();
}

void frmLogMain::refreshDetail()
{
    if (!detail_ || !detail_->isVisible())
        return;
    const int row = grdLogList->currentRow();
    std::vector<frmLogDetail::Field> fields;
    for (int col = 0; col < grdLogList->columnCount(); ++col) {
        const QTableWidgetItem* item = row < 0 ? nullptr : grdLogList->item(row, col);
        fields.push_back({grdLogList->horizontalHeaderItem(col)->text(), item ? item->text() : QString()});
    }
    detail_->showRecord(fields);
}

QString frmLogMain::selectedLines() const
{
    QString lines;
    for (const int32_t r : selected_)
        if (r >= 1 && r <= pager_.held())
            lines += BuildLogLine(pager_.records()[std::size_t(r - 1)], layout_) + QLatin1Char('\n');
    return lines;
}

// --- Paging by keys and wheel -------------------------------------------------------

void frmLogMain::moveWindow(int32_t top)
{
    const int32_t was = windowTop();
    vscLogList->setValue(std::clamp(top, vscLogList->minimum(), vscLogList->maximum()));
    if (windowTop() == was)
        markSelection();  // no redraw follows: put the current row where it now is
}

bool frmLogMain::pageKey(const QKeyEvent* key)
{
    const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
    const bool shift = mods & Qt::ShiftModifier;
    const bool ctrl = mods & Qt::ControlModifier;
    if (mods & ~(Qt::ShiftModifier | Qt::ControlModifier))
        return false;
    const int32_t total = pager_.total();
    if (pager_.held() <= 0)
        return false;
    const int32_t top = windowTop();
    const int row = std::max(0, grdLogList->currentRow());
    const int32_t here = top + row;
    int32_t target = here, newTop = top;
    switch (key->key()) {
    case Qt::Key_Down:
        if (ctrl)
            return false;
        target = std::min(total, here + 1);
        if (row == rows_ - 1)
            newTop = top + 1;  // at the window's edge the window moves
        break;
    case Qt::Key_Up:
        if (ctrl)
            return false;
        target = std::max(1, here - 1);
        if (row == 0)
            newTop = top - 1;
        break;
    case Qt::Key_PageDown:
        if (ctrl)
            return false;
        target = std::min(total, here + rows_);
        newTop = top + rows_;
        break;
    case Qt::Key_PageUp:
        if (ctrl)
            return false;
        target = std::max(1, here - rows_);
        newTop = top - rows_;
        break;
    // The grid selects whole rows: Home and End go to the first and the last
    // record, with Ctrl or without.
    case Qt::Key_Home:
        target = newTop = 1;
        break;
    case Qt::Key_End:
        target = total;
        newTop = vscLogList->maximum();
        break;
    default:
        return false;
    }
    // Shift selects from the anchor to the new current record.
    if (!shift)
        anchor_ = target;
    selected_.clear();
    for (int32_t r = std::min(anchor_, target); r <= std::max(anchor_, target); ++r)
        selected_.insert(r);
    current_ = target;
    moveWindow(newTop);
    return true;
}

void frmLogMain::wheelOverGrid(const QWheelEvent* wheel)
{
    // Fine-grained wheels send less than a notch at a time: keep the rest.
    wheelAngle_ += wheel->angleDelta().y();
    const int notches = wheelAngle_ / QWheelEvent::DefaultDeltasPerStep;
    wheelAngle_ -= notches * QWheelEvent::DefaultDeltasPerStep;
    if (notches)
        moveWindow(windowTop() - notches * kWheelRecords);
}

void frmLogMain::gridSelectionChanged()
{
    if (marking_)
        return;
    // A plain click or arrow selects afresh, as anywhere else.
    if (!(QGuiApplication::keyboardModifiers() & (Qt::ShiftModifier | Qt::ControlModifier)))
        selected_.clear();
    const int32_t top = windowTop(), last = pager_.held();
    for (int row = 0; row < grdLogList->rowCount() && top + row <= last; ++row) {
        if (grdLogList->selectionModel()->isRowSelected(row, QModelIndex()))
            selected_.insert(top + row);
        else
            selected_.erase(top + row);
    }
    const int row = grdLogList->currentRow();
    if (row >= 0 && top + row <= last) {
        current_ = top + row;
        if (!(QGuiApplication::keyboardModifiers() & Qt::ShiftModifier))
            anchor_ = current_;
    }
}

void frmLogMain::markSelection()
{
    marking_ = true;
    const int32_t top = windowTop(), last = pager_.held();
    QItemSelection rows;
    const int lastCol = grdLogList->columnCount() - 1;
    for (int row = 0; row < grdLogList->rowCount() && lastCol >= 0; ++row)
        if (top + row <= last && selected_.count(top + row))
            rows.select(grdLogList->model()->index(row, 0), grdLogList->model()->index(row, lastCol));
    QItemSelectionModel* model = grdLogList->selectionModel();
    model->select(rows, QItemSelectionModel::ClearAndSelect);
    const int row = current_ - top;
    const int col = std::max(0, grdLogList->currentColumn());
    if (current_ > 0 && row >= 0 && row < grdLogList->rowCount())
        model->setCurrentIndex(grdLogList->model()->index(row, col), QItemSelectionModel::NoUpdate);
    else
        model->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
    marking_ = false;
    refreshDetail();
}

void frmLogMain::copySelection()
{
    const QString lines = selectedLines();
    if (!lines.isEmpty())
        QGuiApplication::clipboard()->setText(lines);
}


} // namespace tallyquill
