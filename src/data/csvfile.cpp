#include "data/csvfile.h"

#include "data/numbertext.h"
#include "data/printabletext.h"

namespace kestrel
{

namespace
{

QString isoTime(const QDateTime& time)
{
    return time.isValid() ? time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate)
                          : QString();
}

} // namespace

QList<std::pair<QString, QString>> runFields(const CsvHeader& header, TimeText time)
{
    QList<std::pair<QString, QString>> fields{
        {QStringLiteral("program"), header.program},
        {QStringLiteral("started"), time(header.started)},
        {QStringLiteral("ended"), time(header.ended)},
        {QStringLiteral("outcome"), header.outcome},
        {QStringLiteral("message"), header.message},
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
        {QStringLiteral("settle ms"), header.settleMs},
        {QStringLiteral("rate"), header.rate},
        {QStringLiteral("source profile"), header.sourceProfile},
        {QStringLiteral("meter profile"), header.meterProfile},
        {QStringLiteral("compliance A"), header.compliance},
        {QStringLiteral("nplc"), header.nplc},
    };
    // Only a sweep repeated says so: every file before was one cycle.
    if (!header.cycles.isEmpty())
        fields.append({QStringLiteral("cycles"), header.cycles});
    if (!header.readings.isEmpty())
        fields.append({QStringLiteral("readings"), header.readings});
    if (!header.duration.isEmpty())
        fields.append({QStringLiteral("duration s"), header.duration});
    return fields;
}

QByteArray csvText(const CsvHeader& header, const IVPointList& points,
                   const std::vector<std::uint8_t>& inCompliance, int pointsPerCycle,
                   const std::vector<double>& currentSd, const std::vector<qint64>& pointMs)
{
    QByteArray text;
    text.reserve(qsizetype(points.size()) * 36 + 512);
    for (const auto& [key, value] : runFields(header, isoTime))
        text += "# " + key.toUtf8() + ": " + printableText(value.trimmed()).toUtf8() + '\n';
    for (const QString& fit : header.fits)
        text += "# " + printableText(fit).toUtf8() + '\n';
    const bool flagged = !inCompliance.empty() && inCompliance.size() == points.size();
    const bool spread = !currentSd.empty() && currentSd.size() == points.size();
    text += "voltage_V,current_A";
    text += spread ? ",current_sd_A" : "";
    text += flagged ? ",in_compliance" : "";
    const bool timed = !pointMs.empty() && pointMs.size() == points.size();
    text += pointsPerCycle > 0 ? ",cycle" : "";
    text += timed ? ",time_s\n" : "\n";
    for (std::size_t i = 0; i < points.size(); ++i) {
        text += formatDouble(points[i][0]);
        text += ',';
        text += formatDouble(points[i][1]);
        if (spread)
            (text += ',') += formatDouble(currentSd[i]);
        if (flagged)
            text += inCompliance[i] ? ",1" : ",0";
        if (pointsPerCycle > 0)
            text += ',' + QByteArray::number(qsizetype(i) / pointsPerCycle + 1);
        if (timed) // whole milliseconds: "12.3" is 12300 ms, read back exactly
            (text += ',') += formatDouble(double(pointMs[i]) / 1000);
        text += '\n';
    }
    return text;
}

} // namespace kestrel
