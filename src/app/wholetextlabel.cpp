#include "app/wholetextlabel.h"

#include <QHelpEvent>
#include <QPainter>
#include <QTextLayout>
#include <QToolTip>

#include <algorithm>

namespace kestrel
{

QStringList WholeTextLabel::shownLines(bool* elided) const
{
    const QRect inside = contentsRect();
    const QFontMetrics metrics = fontMetrics();
    const int room = std::max(1, inside.height() / std::max(1, metrics.lineSpacing()));
    const QString whole = text();
    QTextLayout layout(whole, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    *elided = false;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(inside.width());
        if (lines.size() == room - 1 && line.textStart() + line.textLength() < whole.size()) {
            // The last line there is room for takes the rest, cut short.
            lines << metrics.elidedText(whole.mid(line.textStart()).simplified(), Qt::ElideRight,
                                        inside.width());
            *elided = true;
            break;
        }
        lines << whole.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines;
}

bool WholeTextLabel::isElided() const
{
    bool elided = false;
    shownLines(&elided);
    return elided;
}

void WholeTextLabel::paintEvent(QPaintEvent* event)
{
    bool elided = false;
    const QStringList lines = shownLines(&elided);
    if (!elided) { // QLabel's own painting keeps the text selectable
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, foregroundRole()));
    const QRect inside = contentsRect();
    const int line = fontMetrics().lineSpacing();
    for (int i = 0; i < lines.size(); ++i)
        painter.drawText(QRect(inside.left(), inside.top() + i * line, inside.width(), line),
                         Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, lines[i]);
}

bool WholeTextLabel::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip && isElided()) {
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), text(), this);
        return true;
    }
    return QLabel::event(event);
}

} // namespace kestrel
