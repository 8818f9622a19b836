#include "data/csvfile.h"

#include "data/numbertext.h"

namespace kestrel
{

namespace
{

// A header value stays on its one line whatever the instrument said.
QString oneLine(QString text)
{
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.trimmed();
}

} // namespace

QByteArray csvText(const CsvHeader& header, const IVPointList& points)
{
    const QList<std::pair<QString, QString>> fields{
        {QStringLiteral("program"), header.program},
        {QStringLiteral("taken"),
         header.taken.toOffsetFromUtc(header.taken.offsetFromUtc()).toString(Qt::ISODate)},
        {QStringLiteral("source"), header.source},
        {QStringLiteral("source identity"), header.sourceIdentity},
        {QStringLiteral("meter"), header.meter},
        {QStringLiteral("meter identity"), header.meterIdentity},
        {QStringLiteral("start V"), header.start},
        {QStringLiteral("stop V"), header.stop},
        {QStringLiteral("steps"), header.steps},
        {QStringLiteral("shape"), header.shape},
        {QStringLiteral("range"), header.range},
        {QStringLiteral("limit A"), header.limit.isEmpty() ? QStringLiteral("none") : header.limit},
    };
    QByteArray text;
    text.reserve(qsizetype(points.size()) * 36 + 512);
    for (const auto& [key, value] : fields)
        text += "# " + key.toUtf8() + ": " + oneLine(value).toUtf8() + '\n';
    text += "voltage_V,current_A\n";
    for (const auto& [volt, current] : points) {
        text += formatDouble(volt);
        text += ',';
        text += formatDouble(current);
        text += '\n';
    }
    return text;
}

} // namespace kestrel
