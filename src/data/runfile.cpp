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

// A header value that says something: neither missing, empty nor "not recorded".
std::optional<QString> recordedValue(const QHash<QString, QString>& header, const char* key)
{
    const QString value = header.value(QLatin1String(key)).trimmed();
    if (value.isEmpty() || value == notRecordedText())
        return std::nullopt;
    return value;
}

std::optional<Endpoint> endpointFrom(const std::optional<QString>& text)
{
    if (!text)
        return std::nullopt;
    const qsizetype colon = text->lastIndexOf(QLatin1Char(':'));
    return colon < 0 ? Endpoint{*text, QString()}
                     : Endpoint{text->left(colon), text->mid(colon + 1)};
}

// "20 mA (index 2)", or a bare index for a range this program has no label for.
std::optional<int> rangeIndexFrom(const std::optional<QString>& text)
{
    if (!text)
        return std::nullopt;
    const qsizetype at = text->lastIndexOf(QLatin1String("(index "));
    const QString digits =
        at < 0 ? *text
               : (text->endsWith(QLatin1Char(')')) ? text->mid(at + 7).chopped(1) : QString());
    bool ok = false;
    const int index = digits.toInt(&ok);
    return ok && index >= 0 ? std::optional<int>(index) : std::nullopt;
}

// The settings a CSV header describes. What it does not record stays at its default and
// is marked as not recorded.
void applyHeader(const QHash<QString, QString>& header, Run& run)
{
    SweepSettings& settings = run.settings;
    run.started = QDateTime::fromString(header.value(QStringLiteral("taken")), Qt::ISODate);
    run.ended = QDateTime::fromString(header.value(QStringLiteral("ended")), Qt::ISODate);
    const auto value = [&](const char* key) {
        const auto text = recordedValue(header, key);
        return text ? number(text->toUtf8()) : std::nullopt;
    };
    const auto keep = [&run](RunDetail detail, const auto& found, auto&& apply) {
        if (found)
            apply(*found);
        else
            run.notRecorded |= detail;
    };
    keep(RunDetail::Source, endpointFrom(recordedValue(header, "source")),
         [&](const Endpoint& e) { settings.source = e; });
    keep(RunDetail::Meter, endpointFrom(recordedValue(header, "meter")),
         [&](const Endpoint& e) { settings.meter = e; });
    keep(RunDetail::SourceIdentity, recordedValue(header, "source identity"),
         [&](const QString& text) { run.sourceIdentity = text; });
    keep(RunDetail::MeterIdentity, recordedValue(header, "meter identity"),
         [&](const QString& text) { run.meterIdentity = text; });
    const auto start = value("start V");
    keep(RunDetail::Start, start, [&](double v) { settings.plan.start = v; });
    keep(RunDetail::Stop, value("stop V"), [&](double v) { settings.plan.stop = v; });
    auto steps = value("steps");
    if (steps && (*steps < 1 || *steps > maxSweepSteps || std::floor(*steps) != *steps))
        steps.reset();
    keep(RunDetail::Steps, steps, [&](double v) { settings.plan.steps = int(v); });
    const auto shapeText = recordedValue(header, "shape");
    keep(RunDetail::Shape, shapeText ? shapeFromName(*shapeText) : std::nullopt,
         [&](SweepShape shape) { settings.plan.shape = shape; });
    keep(RunDetail::Range, rangeIndexFrom(recordedValue(header, "range")),
         [&](int index) { settings.rangeIndex = index; });
    const auto limitText = recordedValue(header, "limit A");
    if (limitText == QStringLiteral("none"))
        settings.limitAmps.reset();
    else
        keep(RunDetail::Limit, value("limit A"), [&](double a) { settings.limitAmps = a; });
    // Files from before the settle time and the rate were written record the sweep
    // without them: those sweeps were measured without a wait, at medium rate.
    const bool older = start && !header.contains(QStringLiteral("settle ms")) &&
                       !header.contains(QStringLiteral("rate"));
    auto settle = value("settle ms");
    if (settle && (*settle < 0 || *settle > maxSettleMs || std::floor(*settle) != *settle))
        settle.reset();
    if (!older)
        keep(RunDetail::Settle, settle, [&](double ms) { settings.settleMs = int(ms); });
    const auto rateText = recordedValue(header, "rate");
    if (!older)
        keep(RunDetail::Rate, rateText ? rateFromName(*rateText) : std::nullopt,
             [&](MeterRate rate) { settings.meterRate = rate; });
    // Older Kestrels wrote the defaults they had made up for a file of points alone. No
    // sweep goes without instruments, so such a header recorded nothing of the kind.
    const RunDetails instruments =
        RunDetail::Source | RunDetail::SourceIdentity | RunDetail::Meter | RunDetail::MeterIdentity;
    const SweepSettings made;
    if ((run.notRecorded & instruments) == instruments && settings.plan.start == 0.0 &&
        settings.plan.stop == 0.0 && settings.plan.steps == made.plan.steps &&
        settings.plan.shape == made.plan.shape && settings.rangeIndex == made.rangeIndex &&
        !settings.limitAmps && settings.settleMs == made.settleMs &&
        settings.meterRate == made.meterRate)
        run.notRecorded = everyRunDetail;
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
        run.notRecorded = everyRunDetail; // the format holds the points alone
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
