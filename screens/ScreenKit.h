#pragma once

// Small helpers shared by the dialogs: design geometry in twips scaled to the
// font, text ids in the "tag" property, captions that name their inputs, and
// the hourglass for the length of a scope.

#include <QGroupBox>
#include <QLabel>
#include <QWidget>

#include <initializer_list>
#include <type_traits>

namespace tallyquill::screenkit {

// The designs are laid out in twips, 15 to the pixel, for an 11-pixel dialog
// font. The screens take the desktop's font and grow the layout with it, so
// that larger fonts still fit; at the design font a twip layout is exact.
constexpr int kTwipsPerPixel = 15;
constexpr double kDesignFontPixels = 11;

// The layout's growth for the font `w` has: its size over the design's, never
// below 1 (a smaller font fits the design as it is).
double FontScale(const QWidget* w);

// Twips to pixels at one screen's scale.
class Twips {
public:
    explicit Twips(double scale = 1) : scale_(scale) {}
    double scale() const { return scale_; }
    // Positions and sizes drop the fraction, so that neighbours never overlap.
    int px(int twips) const { return int(twips * scale_ / kTwipsPerPixel); }
    // A column's width is rounded.
    int columnPx(int twips) const { return qRound(twips * scale_ / kTwipsPerPixel); }
    int twips(int px) const { return qRound(px * kTwipsPerPixel / scale_); }
    void place(QWidget* w, int left, int top, int width, int height) const
    {
        w->setGeometry(px(left), px(top), px(width), px(height));
    }

private:
    double scale_;
};

// A caption as a screen reader says it: without its mnemonic marks.
QString SpokenText(const QWidget* caption);

// Makes `label` the caption of `input`: Alt with the label's mnemonic moves
// there, and a screen reader announces the label with it.
void labelFor(QLabel* label, QWidget* input);

// Gives `input` the accessible name of its captions' texts, joined by a
// space, as they read now (after localizing).
void nameAfter(QWidget* input, std::initializer_list<const QWidget*> captions);

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

// Labels of `container` that their font makes wider than designed take the
// free room to their right, up to the next control, rather than being cut.
void WidenCaptions(QWidget* container);

// The whole of an untrusted text as a tooltip: escaped, so that markup in it
// shows as typed, and wrapped, so that a long one stays on the screen.
QString FullTextTip(const QString& text);

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
