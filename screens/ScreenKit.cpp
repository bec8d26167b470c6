#include "screens/ScreenKit.h"

#include <QAbstractButton>

#include <algorithm>

namespace tallyquill::screenkit {

double FontScale(const QWidget* w)
{
    const QFont f = w->font();
    const double pixels = f.pixelSize() > 0 ? f.pixelSize() : f.pointSizeF() * w->logicalDpiY() / 72.0;
    return std::max(1.0, pixels / kDesignFontPixels);
}

QString SpokenText(const QWidget* caption)
{
    QString text;
    if (auto l = qobject_cast<const QLabel*>(caption))
        text = l->text();
    else if (auto b = qobject_cast<const QAbstractButton*>(caption))
        text = b->text();
    else if (auto g = qobject_cast<const QGroupBox*>(caption))
        text = g->title();
    // "&&" is a literal ampersand; a single one marks the mnemonic.
    QString spoken;
    spoken.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size())
            ++i;
        spoken += text[i];
    }
    return spoken.trimmed();
}

void WidenCaptions(QWidget* container)
{
    const auto children = container->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* w : children) {
        auto* label = qobject_cast<QLabel*>(w);
        if (!label || label->isHidden())
            continue;
        const int needed = label->sizeHint().width();
        if (needed <= label->width())
            continue;
        const QRect at = label->geometry();
        int room = container->contentsRect().right() - at.left();
        for (const QWidget* other : children) {
            const QRect o = other->geometry();
            if (other != w && !other->isHidden() && !other->isWindow() && o.left() > at.left()
                && o.top() <= at.bottom() && o.bottom() >= at.top())
                room = std::min(room, o.left() - at.left());
        }
        label->resize(std::max(at.width(), std::min(needed, room)), at.height());
    }
}

QString FullTextTip(const QString& text)
{
    return QStringLiteral("<p style=\"white-space:pre-wrap\">") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

void labelFor(QLabel* label, QWidget* input) { label->setBuddy(input); }

void nameAfter(QWidget* input, std::initializer_list<const QWidget*> captions)
{
    QStringList parts;
    for (const QWidget* c : captions)
        if (const QString t = SpokenText(c); !t.isEmpty())
            parts << t;
    input->setAccessibleName(parts.join(QLatin1Char(' ')));
}

} // namespace tallyquill::screenkit
