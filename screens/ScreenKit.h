#pragma once

// Small helpers shared by the dialogs: design geometry in twips, text ids in
// the "tag" property, and the hourglass for the length of a scope.

#include "Global.h"

#include <QWidget>

namespace tallyquill::screenkit {

constexpr int kTwipsPerPixel = 15;

inline int px(int twips) { return twips / kTwipsPerPixel; }

inline void place(QWidget* w, int left, int top, int width, int height)
{
    w->setGeometry(px(left), px(top), px(width), px(height));
}

inline void setTag(QObject* o, int id) { o->setProperty("tag", QString::number(id)); }

// The designs were laid out for a small dialog font; a larger one cuts
// captions short.
inline void useDesignFont(QWidget* screen)
{
    QFont small = screen->font();
    small.setPixelSize(11);
    screen->setFont(small);
}

// Keyboard order of the listed widgets; those taking no focus drop out.
template <std::size_t N>
void tabOrder(QWidget* const (&order)[N])
{
    for (std::size_t i = 1; i < N; ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

class BusyScope {
public:
    explicit BusyScope(QWidget* screen) : screen_(screen) { BusyPointer(screen_); }
    ~BusyScope() { NormalPointer(screen_); }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    QWidget* screen_;
};

} // namespace tallyquill::screenkit
