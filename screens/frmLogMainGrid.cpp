// The viewer screen's grid: a window of rows on the downloaded records, its
// columns and size, the scroll bar, and the selection the keys, the wheel and
// the mouse make on it.

#include "screens/frmLogMain.h"

#include "screens/ScreenKit.h"
#include "screens/frmLogDetail.h"
#include "core/LogLine.h"
#include "core/LogRecord.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QProxyStyle>
#include <QScreen>
#include <QScrollBar>
#include <QTableWidget>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>

namespace tallyquill {

using namespace screenkit;

namespace {

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

void frmLogMain::buildGrid()
{
    grdLogList = new QTableWidget(kGridRows, 0, this);
    grdLogList->setObjectName(QStringLiteral("grdLogList"));
    tw_.place(grdLogList, 120, 2880, 8415, 2750);
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
    tw_.place(vscLogList, 8520, 2880, 255, 2775);
    vscLogList->setRange(1, 1);
    vscLogList->setSingleStep(1);
    vscLogList->setPageStep(kGridRows);
    vscLogList->setFocusPolicy(Qt::StrongFocus);
    // Dragging reports through sliderMoved; the value follows on release.
    vscLogList->setTracking(false);
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
    for (const int32_t r : selection_.selected())
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
    if (mods & ~(Qt::ShiftModifier | Qt::ControlModifier))
        return false;
    if (pager_.held() <= 0)
        return false;
    static const std::pair<int, RecordSelection::Key> keys[] = {
        {Qt::Key_Down, RecordSelection::Key::Down},         {Qt::Key_Up, RecordSelection::Key::Up},
        {Qt::Key_PageDown, RecordSelection::Key::PageDown}, {Qt::Key_PageUp, RecordSelection::Key::PageUp},
        {Qt::Key_Home, RecordSelection::Key::Home},         {Qt::Key_End, RecordSelection::Key::End}};
    const auto* k = std::find_if(std::begin(keys), std::end(keys), [&](const auto& e) { return e.first == key->key(); });
    if (k == std::end(keys))
        return false;
    const RecordSelection::Window w{windowTop(), std::max(0, grdLogList->currentRow()), rows_, pager_.total(),
                                    vscLogList->maximum()};
    const int32_t newTop = selection_.key(k->second, mods & Qt::ShiftModifier, mods & Qt::ControlModifier, w);
    if (newTop < 0)
        return false;
    moveWindow(newTop);
    return true;
}

void frmLogMain::wheelOverGrid(const QWheelEvent* wheel)
{
    if (const int32_t by = selection_.wheel(wheel->angleDelta().y()))
        moveWindow(windowTop() + by);
}

void frmLogMain::gridSelectionChanged()
{
    if (marking_)
        return;
    // A plain click or arrow selects afresh, as anywhere else.
    const Qt::KeyboardModifiers mods = QGuiApplication::keyboardModifiers();
    selection_.gridChanged(
        windowTop(), grdLogList->rowCount(), pager_.held(),
        [this](int row) { return grdLogList->selectionModel()->isRowSelected(row, QModelIndex()); },
        grdLogList->currentRow(), mods & (Qt::ShiftModifier | Qt::ControlModifier), mods & Qt::ShiftModifier);
}

void frmLogMain::markSelection()
{
    marking_ = true;
    const int32_t top = windowTop(), last = pager_.held();
    QItemSelection rows;
    const int lastCol = grdLogList->columnCount() - 1;
    for (int row = 0; row < grdLogList->rowCount() && lastCol >= 0; ++row)
        if (top + row <= last && selection_.isSelected(top + row))
            rows.select(grdLogList->model()->index(row, 0), grdLogList->model()->index(row, lastCol));
    QItemSelectionModel* model = grdLogList->selectionModel();
    model->select(rows, QItemSelectionModel::ClearAndSelect);
    const int32_t current = selection_.current();
    const int row = current - top;
    const int col = std::max(0, grdLogList->currentColumn());
    if (current > 0 && row >= 0 && row < grdLogList->rowCount())
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
