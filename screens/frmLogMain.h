#pragma once

// The log viewer's main screen: a filter, two counters, a ten-row window on
// the downloaded records with its scroll bar, and the print, archive and
// close buttons. It does no database work; it asks its listener.

#include "screens/LogPager.h"
#include "screens/ScreenKit.h"
#include "screens/ViewerEvents.h"

#include <QDialog>

#include <cstdint>
#include <vector>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollBar;
class QTableWidget;

namespace tallyquill {

class frmLogMain : public QDialog {
public:
    // Geometry is designed in twips; the screen shows 15 twips per pixel.
    static constexpr int kTwipsPerPixel = screenkit::kTwipsPerPixel;
    static constexpr int kGridRows = 10;

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

private:
    void buildControls();
    void connectHandlers();
    void upperCaseChange(QLineEdit* field);
    void filterChange();
    void setColumn(int col, const QString& header, int widthTwips);
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
};

} // namespace tallyquill
