#include "data/printabletext.h"

#include <QStringList>

namespace kestrel
{

QString printableText(const QString& text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        // C0, DEL and C1: a terminal reads U+009B as CSI, just as it reads ESC [.
        if (code < 0x20 || (code >= 0x7f && code <= 0x9f))
            shown += QStringLiteral("\\x%1").arg(uint(code), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

QString printableLine(QString text)
{
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    return printableText(text);
}

QString printableLines(const QString& text)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& line : lines)
        line = printableText(line);
    return lines.join(QLatin1Char('\n'));
}

} // namespace kestrel
