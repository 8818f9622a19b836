#include "data/runfile.h"

#include "data/currentranges.h"
#include "data/datafile.h"
#include "data/numbertext.h"

#include <QHash>
#include <QList>

#include <cmath>

namespace kestrel
{

namespace
{

std::optional<double> number(const QByteArray& text)
{
    const auto value = parseNumber(std::string_view(text.constData(), std::size_t(text.size())));
    return value && std::isfinite(*value) ? value : std::nullopt;
}

Endpoint endpointFrom(const QString& text)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    return colon < 0 ? Endpoint{text, QString()} : Endpoint{text.left(colon), text.mid(colon + 1)};
}

// The settings a CSV header describes; what is missing stays at its default.
void applyHeader(const QHash<QString, QString>& header, Run& run)
{
    SweepSettings& settings = run.settings;
    settings.source = endpointFrom(header.value(QStringLiteral("source")));
    settings.meter = endpointFrom(header.value(QStringLiteral("meter")));
    run.sourceIdentity = header.value(QStringLiteral("source identity"));
    run.meterIdentity = header.value(QStringLiteral("meter identity"));
    run.started = QDateTime::fromString(header.value(QStringLiteral("taken")), Qt::ISODate);
    run.ended = QDateTime::fromString(header.value(QStringLiteral("ended")), Qt::ISODate);
    const auto value = [&](const char* key) {
        return number(header.value(QLatin1String(key)).toUtf8());
    };
    if (const auto start = value("start V"))
        settings.plan.start = *start;
    if (const auto stop = value("stop V"))
        settings.plan.stop = *stop;
    if (const auto steps = value("steps"); steps && *steps >= 1 && *steps <= maxSweepSteps)
        settings.plan.steps = int(*steps);
    settings.plan.shape =
        shapeFromName(header.value(QStringLiteral("shape"))).value_or(SweepShape::Linear);
    // "20 mA (index 2)"
    const QString range = header.value(QStringLiteral("range"));
    const qsizetype index = range.lastIndexOf(QLatin1String("(index "));
    settings.rangeIndex = index < 0 ? 0 : range.mid(index + 7).chopped(1).toInt();
    settings.limitAmps = value("limit A");
    // Files from before the settle time and the rate were written were measured
    // without a wait, at medium rate: the defaults.
    if (const auto settle = value("settle ms");
        settle && *settle >= 0 && *settle <= maxSettleMs && std::floor(*settle) == *settle)
        settings.settleMs = int(*settle);
    settings.meterRate =
        rateFromName(header.value(QStringLiteral("rate"))).value_or(MeterRate::Medium);
}

std::variant<Run, QString> readCsv(const QByteArray& text)
{
    QList<QByteArray> lines = text.split('\n');
    if (lines.constLast().isEmpty())
        lines.removeLast();
    QHash<QString, QString> header;
    Run run;
    bool columns = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\r'))
            line.chop(1);
        const QString where = QStringLiteral("line %1: ").arg(i + 1);
        if (!columns && line.startsWith("# ")) {
            const qsizetype colon = line.indexOf(": ");
            if (colon > 2)
                header.insert(QString::fromUtf8(line.mid(2, colon - 2)),
                              QString::fromUtf8(line.mid(colon + 2)));
            continue;
        }
        if (!columns) {
            if (line != "voltage_V,current_A")
                return i == 0 ? QStringLiteral("line 1: neither Kestrel's data format (one line "
                                               "[[level, current], ...]) nor a Kestrel CSV (\"# "
                                               "key: value\" lines, then voltage_V,current_A)")
                              : where + QStringLiteral("expected the column names "
                                                       "voltage_V,current_A");
            columns = true;
            continue;
        }
        const QList<QByteArray> cells = line.split(',');
        const auto level = cells.size() == 2 ? number(cells[0]) : std::nullopt;
        const auto current = cells.size() == 2 ? number(cells[1]) : std::nullopt;
        if (!level || !current)
            return where + QStringLiteral("expected a level and a current, two decimal numbers "
                                          "separated by a comma");
        run.points.push_back(IVPoint{*level, *current});
    }
    if (run.points.empty())
        return QStringLiteral("line %1: the file holds no points").arg(lines.size() + 1);
    applyHeader(header, run);
    return run;
}

} // namespace

std::variant<Run, QString> readRunFile(const QByteArray& text)
{
    std::variant<Run, QString> result;
    if (text.trimmed().startsWith('[')) {
        auto points = parseDataFile(text);
        if (const QString* problem = std::get_if<QString>(&points))
            return *problem;
        Run run;
        run.points = std::get<IVPointList>(points);
        result = run;
    } else {
        result = readCsv(text);
    }
    if (Run* run = std::get_if<Run>(&result)) {
        run->outcome = Run::Outcome::Imported;
        run->outputOff = true;
        if (!run->started.isValid())
            run->started = QDateTime::currentDateTime();
        if (!run->ended.isValid())
            run->ended = run->started;
    }
    return result;
}

} // namespace kestrel
