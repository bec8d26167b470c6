#pragma once

// Small helpers shared by the dialogs: design geometry in twips, text ids in
// the "tag" property, and the hourglass for the length of a scope.

#include <QGroupBox>
#include <QWidget>

#include <type_traits>

namespace tallyquill::screenkit {

constexpr int kTwipsPerPixel = 15;

inline int px(int twips) { return twips / kTwipsPerPixel; }

inline void place(QWidget* w, int left, int top, int width, int height)
{
    w->setGeometry(px(left), px(top), px(width), px(height));
}

inline void setTag(QObject* o, int id) { o->setProperty("tag", QString::number(id)); }

// A control under its designer's name, with its design text and text id
// (0: none, the text stays as designed).
template <class W>
W* control(QWidget* parent, const char* name, const char* text = nullptr, int tag = 0)
{
    auto* w = new W(parent);
    w->setObjectName(QString::fromLatin1(name));
    if (text) {
        if constexpr (std::is_base_of_v<QGroupBox, W>)
            w->setTitle(QString::fromLatin1(text));
        else
            w->setText(QString::fromLatin1(text));
    }
    if (tag)
        setTag(w, tag);
    return w;
}

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

// The busy hourglass over a screen, and the normal pointer again.
inline void BusyPointer(QWidget* screen)
{
    if (screen)
        screen->setCursor(Qt::WaitCursor);
}

inline void NormalPointer(QWidget* screen)
{
    if (screen)
        screen->unsetCursor();
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
