// The viewer screen's paging, without widgets.

#include "screens/LogPager.h"
#include "screens/RecordSelection.h"

#include <gtest/gtest.h>

using namespace tallyquill;

namespace {

// A page of records "r<from>" to "r<to>" in stored form.
Page Records(int from, int to)
{
    Page page{true, {}};
    for (int k = from; k <= to; ++k)
        page.records.push_back({"20010305", "101500", "APP   ", " WS07 ", "OP", "PRINT", QStringLiteral("r%1").arg(k)});
    return page;
}

QStringList Window(const LogPager& p, int32_t top, int32_t rows = LogPager::kWindowRows)
{
    QStringList out;
    for (const LogRecord& r : p.window(top, rows))
        out << r.Activity;
    return out;
}

TEST(LogPager, WindowsAndWhetherMoreIsNeeded)
{
    LogPager p;
    p.start(25, Records(1, 10));
    EXPECT_EQ(p.scrollMaximum(), 16);
    EXPECT_EQ(p.downloaded(), 10);
    // Stored forms become the list's: display date and time, blanks trimmed.
    EXPECT_EQ(p.records()[0], (LogRecord{"05/03/2001", "10:15:00", "APP", "WS07", "OP", "PRINT", "r1"}));

    struct Case {
        int32_t top;
        bool needsMore;  // also when the window ends on the last record held
        int first, count;  // of the window as downloaded now
    };
    for (const Case& c : {Case{1, true, 1, 10}, Case{2, true, 2, 9}, Case{10, true, 10, 1}, Case{11, true, 0, 0}}) {
        EXPECT_EQ(p.needsMore(c.top), c.needsMore) << c.top;
        const QStringList w = Window(p, c.top);
        EXPECT_EQ(w.size(), c.count) << c.top;
        if (c.count) {
            EXPECT_EQ(w.first(), QStringLiteral("r%1").arg(c.first));
        }
    }
    EXPECT_EQ(p.append(Records(11, 20)), 10);
    EXPECT_EQ(p.append(Records(21, 25)), 5);
    EXPECT_TRUE(p.complete());
    EXPECT_FALSE(p.needsMore(16));
    EXPECT_EQ(Window(p, 16), QStringList({"r16", "r17", "r18", "r19", "r20", "r21", "r22", "r23", "r24", "r25"}));
    EXPECT_TRUE(Window(p, 26).empty());
    EXPECT_TRUE(Window(p, 0).empty());

    // An enlarged screen's window of 22 rows: pages stay ten, the window and
    // the scroll bar's range follow the rows.
    p.start(25, Records(1, 10));
    EXPECT_EQ(p.scrollMaximum(22), 4);
    EXPECT_TRUE(p.needsMore(1, 22));
    EXPECT_EQ(Window(p, 1, 22).size(), 10);
    p.append(Records(11, 20));
    p.append(Records(21, 25));
    EXPECT_EQ(Window(p, 4, 22).size(), 22);
    EXPECT_EQ(Window(p, 4, 22).last(), "r25");
}

TEST(LogPager, ListenersThatSayTooMuchOrTooLittle)
{
    LogPager p;
    // More than a page is never taken; fewer records than counted stay fewer.
    p.start(30, Records(1, 14));
    EXPECT_EQ(p.downloaded(), 10);
    EXPECT_EQ(p.append(Page{true, {}}), 0);
    EXPECT_TRUE(p.needsMore(5));
    EXPECT_EQ(Window(p, 5).size(), 6);
    // A total smaller than what came bounds the window.
    p.start(3, Records(1, 10));
    EXPECT_EQ(Window(p, 1).size(), 3);
    EXPECT_EQ(p.scrollMaximum(), 1);
    // Closing lets the records go and keeps the counters.
    p.dropRecords();
    EXPECT_TRUE(p.records().empty());
    EXPECT_EQ(p.total(), 3);
    EXPECT_TRUE(Window(p, 1).empty());
    p.clear();
    EXPECT_EQ(p.total() + p.downloaded(), 0);
}

// Keys move the current record and the window as the grid shows them; Shift
// stretches the selection from its anchor; parts of a wheel notch add up.
TEST(RecordSelection, KeysAndWheelMoveTheCurrentRecordAndTheWindow)
{
    using K = RecordSelection::Key;
    struct Step {
        K key;
        bool shift, ctrl;
        RecordSelection::Window at;
        int32_t top, current, firstSelected, lastSelected;
    };
    const Step steps[] = {
        {K::Down, false, false, {1, 3, 10, 25, 16}, 1, 5, 5, 5},
        {K::Down, false, false, {1, 9, 10, 25, 16}, 2, 11, 11, 11},    // at the edge the window moves
        {K::Up, false, false, {5, 0, 10, 25, 16}, 4, 4, 4, 4},
        {K::PageDown, false, false, {1, 2, 10, 25, 16}, 11, 13, 13, 13},
        {K::PageDown, false, false, {16, 9, 10, 25, 16}, 26, 25, 25, 25},  // never past the last record
        {K::PageUp, false, false, {3, 0, 10, 25, 16}, -7, 1, 1, 1},
        {K::Home, false, true, {9, 4, 10, 25, 16}, 1, 1, 1, 1},
        {K::End, false, false, {1, 0, 10, 25, 16}, 16, 25, 25, 25},
        {K::Down, false, true, {1, 0, 10, 25, 16}, -1, 25, 25, 25},    // Ctrl+Down does not page
    };
    RecordSelection s;
    for (const Step& st : steps) {
        EXPECT_EQ(s.key(st.key, st.shift, st.ctrl, st.at), st.top) << int(st.key);
        EXPECT_EQ(s.current(), st.current) << int(st.key);
        EXPECT_EQ(*s.selected().begin(), st.firstSelected) << int(st.key);
        EXPECT_EQ(*s.selected().rbegin(), st.lastSelected) << int(st.key);
    }
    s.clear();
    s.key(K::Down, false, false, {1, 2, 10, 25, 16});  // record 4 is the anchor
    s.key(K::Down, true, false, {1, 3, 10, 25, 16});
    s.key(K::Down, true, false, {1, 4, 10, 25, 16});
    EXPECT_EQ(s.selected(), (std::set<int32_t>{4, 5, 6}));
    EXPECT_EQ(s.wheel(60), 0);
    EXPECT_EQ(s.wheel(60), -RecordSelection::kWheelRecords);
    EXPECT_EQ(s.wheel(-240), 2 * RecordSelection::kWheelRecords);
}

} // namespace
