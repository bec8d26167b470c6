#pragma once

// The log viewer's main screen: a filter, two counters, a window of rows on
// the downloaded records with its scroll bar, and the print, archive and
// close buttons. It opens at its designed size; the operator may enlarge it,
// and it remembers that. It does no database work; it asks its listener.

#include "screens/LogPager.h"
#include "screens/RecordSelection.h"
#include "screens/ScreenKit.h"
#include "screens/ViewerEvents.h"
#include "screens/WindowMemory.h"

#include <QDialog>

#include <cstdint>
#include <set>
#include <vector>

class QGroupBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollBar;
class QTableWidget;
class QTimer;
class QWheelEvent;

namespace tallyquill {

class frmLogDetail;

class frmLogMain : public QDialog {
public:
    // Geometry is designed in twips, 15 to the pixel at the design font.
    static constexpr int kTwipsPerPixel = screenkit::kTwipsPerPixel;
    static constexpr int kGridRows = LogPager::kWindowRows;  // rows at the opening size
    static constexpr int kWheelRecords = RecordSelection::kWheelRecords;  // one notch of the wheel
    // How long a counting retrieval's counter stays blank for its exact count.
    static constexpr int kCountingShownMs = 100;

    explicit frmLogMain(QWidget* parent = nullptr);
    ~frmLogMain() override;

    // Raised events go here; set by the viewer before the screen loads.
    LogMainEvents* listener = nullptr;

    // Loads the screen unless it is loaded already (showing it also loads it).
    void load();
    bool isLoaded() const { return loaded_; }

    // Layout chosen at load, for whoever needs it in twips.
    int outerHeightTwips() const { return outerHeightTwips_; }
    int columnWidthTwips(int col) const;
    // The size it opens at (before what the operator made of it last time).
    QSize openingSize() const { return opening_; }
    double fontScale() const { return tw_.scale(); }
    // Rows of records the grid shows: ten at the opening size, more when
    // the screen is enlarged.
    int windowRows() const { return rows_; }

    // The current record read whole, in a window beside the screen (made at
    // first use; null until then).
    void showDetail();
    frmLogDetail* detailView() const { return detail_; }
    // The selected records in the print file's line layout, one a line.
    QString selectedLines() const;
    void copySelection();

    // Controls, named as the screen's designer named them.
    QGroupBox* fraFilter;
    QLabel* lblDateRange;
    QLineEdit* txtDateRangeStart;
    QLabel* lblDateRangeSep;
    QLineEdit* txtDateRangeEnd;
    QPushButton* cmdRetrieve;
    QLabel* lblTimeRange;
    QLineEdit* txtTimeRangeStart;
    QLabel* lblTimeRangeSep;
    QLineEdit* txtTimeRangeEnd;
    QLabel* lblAppID;
    QLineEdit* txtAppID;
    QLabel* lblWsID;
    QLineEdit* txtWsID;
    QLabel* lblUserName;
    QLineEdit* txtUserName;
    QLabel* lblEvent;
    QLineEdit* txtEvent;
    QLabel* lblActivity;
    QLineEdit* txtActivity;
    QLabel* lblTotalRecordDesc;
    QLabel* lblTotalRecord;
    QLabel* lblDownloadDesc;
    QLabel* lblDownload;
    QTableWidget* grdLogList;
    QScrollBar* vscLogList;
    QPushButton* cmdPrint;
    QPushButton* cmdArchive;
    QPushButton* cmdCancel;

    // Handlers and operations of the screen.
    void Form_Load();
    void Form_Unload();
    void MoveFilterField(QLabel* FieldDesc, QLineEdit* FieldContent, int Position);
    void ResetScreenSize(int FilterCount);
    void cmdArchive_Click();
    void cmdPrint_Click();
    void cmdCancel_Click();
    bool ChkInputValue();
    void cmdRetrieve_Click();
    // Adds a page to the downloaded records; answers how many it held.
    int32_t PutInList(const Page& page);
    // The exact total of a retrieval that showed its first page while it
    // was counting: the counter and the scroll range follow it.
    void TotalCounted(int32_t total);
    void RequestMoreLog();
    void ResetLogList();
    void ClearLogList();
    void vscLogList_Change();
    void vscLogList_Scroll();

    // The records downloaded since the last retrieval, and the columns shown.
    const LogPager& pager() const { return pager_; }
    const LineLayout& layout() const { return layout_; }

    // Every way of closing ends here, so every way unloads.
    void done(int r) override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void buildGrid();  // the grid and its scroll bar, in frmLogMainGrid.cpp
    void connectHandlers();
    void upperCaseChange(QLineEdit* field);
    void filterChange();
    void setColumn(int col, const QString& key, const QString& header, int widthTwips);
    void setColumnPx(int col, int px);
    void columnResized(int col, int oldPx, int newPx);
    // Moves and stretches what follows the window's edges by the change of
    // size since the last call, and fits the rows to the grid.
    void followSize();
    void fitRows();
    void setOpeningSize(QSize size);
    void recallWindow();
    void rememberWindow();
    void refreshDetail();
    // Keys and the wheel move the window through the scroll bar, so that
    // they page exactly as it does.
    bool pageKey(const QKeyEvent* key);
    void wheelOverGrid(const QWheelEvent* wheel);
    void moveWindow(int32_t top);
    // The selection and the current row belong to records, not rows: they
    // move with the window.
    void gridSelectionChanged();
    void markSelection();
    void setCell(int row, int col, const QString& text);
    void unload();
    // The record in the window's first row: the thumb's position, which a
    // drag moves before the value follows.
    int32_t windowTop() const;

    LogPager pager_;
    LineLayout layout_;
    bool suppressScroll_ = false;
    bool loaded_ = false;
    int outerHeightTwips_ = 6600;
    std::vector<int> columnTwips_;
    std::vector<QString> columnKeys_;

    screenkit::Twips tw_;
    QSize opening_;   // the size the screen opens at, for the fields shown
    QSize laidOut_;   // the size its controls were last placed for
    int headerHeight_ = 0;
    bool settingColumns_ = false;
    bool shown_ = false;
    WindowMemory memory_;
    frmLogDetail* detail_ = nullptr;

    int rows_ = kGridRows;
    // Shows the counter of a counting retrieval once a count that ends
    // soon had its chance to show instead.
    QTimer* countingShown_ = nullptr;
    RecordSelection selection_;
    bool marking_ = false;
};

} // namespace tallyquill
