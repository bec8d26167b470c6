#pragma once

// Which records of a retrieval the operator has selected on the viewer
// screen, and where the keys and the wheel move the current record and the
// window, apart from any widget. Records count from 1; 0 is none.

#include <cstdint>
#include <set>

namespace tallyquill {

class RecordSelection {
public:
    static constexpr int kWheelRecords = 3;  // one notch of the wheel

    enum class Key { Down, Up, PageDown, PageUp, Home, End };

    // Where the window is: its first record, the grid row of the current
    // record (0 when none), its rows, the records it may show and the
    // highest first record the scroll bar allows.
    struct Window {
        int32_t top = 1;
        int row = 0;
        int rows = 10;
        int32_t total = 0;
        int32_t lastTop = 1;
    };

    // A paging key, with Shift (select from the anchor) and Ctrl: answers the
    // window's new first record, or -1 for a key that does not page (Ctrl
    // with an arrow or a page key).
    int32_t key(Key key, bool shift, bool ctrl, const Window& w);
    // The wheel turned by `angle` eighths of a degree: how many records the
    // window moves down (negative: up). Parts of a notch are kept.
    int32_t wheel(int angle);

    // The grid reports its rows: the window from `top`, `selectedRows` as a
    // row-bit test, the current row (-1 for none); `extend` keeps what was
    // selected (Shift or Ctrl held), `shift` keeps the anchor.
    template <class IsSelected>
    void gridChanged(int32_t top, int rowCount, int32_t last, IsSelected&& isSelected, int currentRow, bool extend,
                     bool shift)
    {
        if (!extend)
            selected_.clear();
        for (int row = 0; row < rowCount && top + row <= last; ++row) {
            if (isSelected(row))
                selected_.insert(top + row);
            else
                selected_.erase(top + row);
        }
        if (currentRow >= 0 && top + currentRow <= last) {
            current_ = top + currentRow;
            if (!shift)
                anchor_ = current_;
        }
    }

    void clear();
    bool isSelected(int32_t record) const { return selected_.count(record) != 0; }
    const std::set<int32_t>& selected() const { return selected_; }
    int32_t current() const { return current_; }

private:
    int wheelAngle_ = 0;
    int32_t current_ = 0;
    int32_t anchor_ = 0;  // where a Shift selection starts
    std::set<int32_t> selected_;
};

} // namespace tallyquill
