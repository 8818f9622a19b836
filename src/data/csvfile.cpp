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
    if (!header.family.isEmpty())
        fields.append({{QStringLiteral("family"), header.family},
                       {QStringLiteral("step source"), header.stepSource},
                       {QStringLiteral("step identity"), header.stepIdentity},
                       {QStringLiteral("step profile"), header.stepProfile},
                       {QStringLiteral("step compliance A"), header.stepCompliance},
                       {QStringLiteral("step V"), header.stepLevel}});
    if (!header.duration.isEmpty())
        fields.append({QStringLiteral("duration s"), header.duration});
    return fields;
}

namespace
{

struct Columns {
    bool spread = false, flagged = false, cycled = false, timed = false;
};

void appendHeader(QByteArray& text, const CsvHeader& header)
{
    for (const auto& [key, value] : runFields(header, isoTime))
        text += "# " + key.toUtf8() + ": " + printableText(value.trimmed()).toUtf8() + '\n';
    for (const QString& fit : header.fits)
        text += "# " + printableText(fit).toUtf8() + '\n';
}

void appendColumnNames(QByteArray& text, const Columns& columns)
{
    text += "voltage_V,current_A";
    text += columns.spread ? ",current_sd_A" : "";
    text += columns.flagged ? ",in_compliance" : "";
    text += columns.cycled ? ",cycle" : "";
    text += columns.timed ? ",time_s\n" : "\n";
}

template <typename T> bool onePerPoint(const std::vector<T>* values, std::size_t points)
{
    return values && !values->empty() && values->size() == points;
}

// The curve's rows, each after prefix; a column the curve lacks is left empty.
void appendRows(QByteArray& text, const Columns& columns, const CsvCurve& curve,
                const QByteArray& prefix)
{
    const IVPointList& points = *curve.points;
    const bool flagged = onePerPoint(curve.inCompliance, points.size());
    const bool spread = onePerPoint(curve.currentSd, points.size());
    const bool timed = onePerPoint(curve.pointMs, points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        text += prefix;
        text += formatDouble(points[i][0]);
        text += ',';
        text += formatDouble(points[i][1]);
        if (columns.spread)
            text += spread ? ',' + QByteArray::fromStdString(formatDouble((*curve.currentSd)[i]))
                           : QByteArray(",");
        if (columns.flagged)
            text += !flagged ? "," : (*curve.inCompliance)[i] ? ",1" : ",0";
        if (columns.cycled)
            text += ',' + QByteArray::number(curve.pointsPerCycle > 0
                                                 ? qsizetype(i) / curve.pointsPerCycle + 1
                                                 : 1);
        // Whole milliseconds: "12.3" is 12300 ms, read back exactly.
        if (columns.timed)
            text += timed ? ',' + QByteArray::fromStdString(
                                      formatDouble(double((*curve.pointMs)[i]) / 1000))
                          : QByteArray(",");
        text += '\n';
    }
}

Columns columnsOf(const CsvCurve& curve)
{
    const std::size_t n = curve.points->size();
    return Columns{onePerPoint(curve.currentSd, n), onePerPoint(curve.inCompliance, n),
                   curve.pointsPerCycle > 0, onePerPoint(curve.pointMs, n)};
}

} // namespace

QByteArray csvText(const CsvHeader& header, const IVPointList& points,
                   const std::vector<std::uint8_t>& inCompliance, int pointsPerCycle,
                   const std::vector<double>& currentSd, const std::vector<qint64>& pointMs)
{
    QByteArray text;
    text.reserve(qsizetype(points.size()) * 36 + 512);
    appendHeader(text, header);
    const CsvCurve curve{0.0, &points, &inCompliance, &currentSd, pointsPerCycle, &pointMs};
    const Columns columns = columnsOf(curve);
    appendColumnNames(text, columns);
    appendRows(text, columns, curve, QByteArray());
    return text;
}

QByteArray familyCsvText(const CsvHeader& header, const std::vector<CsvCurve>& curves)
{
    QByteArray text;
    std::size_t count = 0;
    Columns columns;
    for (const CsvCurve& curve : curves) {
        count += curve.points->size();
        const Columns used = columnsOf(curve);
        columns.spread = columns.spread || used.spread;
        columns.flagged = columns.flagged || used.flagged;
        columns.cycled = columns.cycled || used.cycled;
        columns.timed = columns.timed || used.timed;
    }
    text.reserve(qsizetype(count) * 44 + 1024);
    appendHeader(text, header);
    text += "step_V,";
    appendColumnNames(text, columns);
    for (const CsvCurve& curve : curves)
        appendRows(text, columns, curve,
                   QByteArray::fromStdString(formatDouble(curve.stepVolts)) + ',');
    return text;
}

} // namespace kestrel
