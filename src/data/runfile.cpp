#include "data/runfile.h"

#include "data/currentranges.h"
#include "data/datafile.h"
#include "data/numbertext.h"

#include <QBuffer>
#include <QHash>
#include <QList>

#include <cctype>
#include <cmath>
#include <cstring>

namespace kestrel
{

namespace
{

std::optional<double> numberIn(const QByteArray& text)
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
    // Files written before show and the CSV shared their words say "taken".
    run.started = QDateTime::fromString(
        header.value(QStringLiteral("started"), header.value(QStringLiteral("taken"))),
        Qt::ISODate);
    run.ended = QDateTime::fromString(header.value(QStringLiteral("ended")), Qt::ISODate);
    const auto value = [&](const char* key) {
        const auto text = recordedValue(header, key);
        return text ? numberIn(text->toUtf8()) : std::nullopt;
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
    keep(RunDetail::Steps, wholeNumberIn(value("steps"), 1, maxSweepSteps),
         [&](int steps) { settings.plan.steps = steps; });
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
    if (!older)
        keep(RunDetail::Settle, wholeNumberIn(value("settle ms"), 0, maxSettleMs),
             [&](int ms) { settings.settleMs = ms; });
    const auto rateText = recordedValue(header, "rate");
    if (!older)
        keep(RunDetail::Rate, rateText ? rateFromName(*rateText) : std::nullopt,
             [&](MeterRate rate) { settings.meterRate = rate; });
    // The profiles and what was asked of them; files from before profiles name none, and
    // were measured with the default profile's commands.
    for (const auto& [key, name] : {std::pair{"source profile", &settings.sourceProfile},
                                    std::pair{"meter profile", &settings.meterProfile}})
        if (const auto text = recordedValue(header, key); text && !text->isEmpty())
            *name = *text;
    settings.complianceAmps = value("compliance A");
    settings.nplc = value("nplc");
    settings.plan.cycles = wholeNumberIn(value("cycles"), 1, maxCycles).value_or(1);
    settings.readings = wholeNumberIn(value("readings"), 1, maxReadings).value_or(1);
    if (const auto seconds = value("duration s");
        settings.plan.shape == SweepShape::Hold && seconds && *seconds > 0)
        settings.plan.holdSeconds = std::min(*seconds, maxHoldSeconds);
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

// Lines of a CSV as the stream gives them, without their line ends.
class LineReader
{
  public:
    // Kestrel's longest header line, a note, is far shorter; a longer line (a file of
    // zeros, say) ends the reading at once rather than being held whole.
    static constexpr qsizetype longestLine = 64 * 1024;

    explicit LineReader(ByteStream& stream) : stream_(stream) {}

    // The next line; none at the end of the file, or where a line is too long.
    std::optional<QByteArray> next()
    {
        QByteArray line;
        auto c = stream_.get();
        if (!c)
            return std::nullopt;
        for (; c && *c != '\n'; c = stream_.get()) {
            if (line.size() == longestLine) {
                tooLong_ = true;
                return std::nullopt;
            }
            line += *c;
        }
        if (line.endsWith('\r'))
            line.chop(1);
        return line;
    }
    bool tooLong() const { return tooLong_; }

  private:
    ByteStream& stream_;
    bool tooLong_ = false;
};

std::variant<Run, QString> readCsv(ByteStream& stream)
{
    const QString neither =
        QStringLiteral("line 1: neither Kestrel's data format (one line [[level, current], "
                       "...]) nor a Kestrel CSV (\"# key: value\" lines, then "
                       "voltage_V,current_A)");
    LineReader lines(stream);
    QHash<QString, QString> header;
    Run run;
    bool columns = false;
    bool spread = false;  // a current_sd_A column follows the current
    bool flagged = false; // then an in_compliance column
    bool cycled = false;  // a cycle column
    bool timed = false;   // a time_s column comes last
    qint64 number = 0;
    for (auto line = lines.next(); line; line = lines.next()) {
        ++number;
        const QString where = QStringLiteral("line %1: ").arg(number);
        if (!columns && line->startsWith("# ")) {
            const qsizetype colon = line->indexOf(": ");
            if (colon > 2)
                header.insert(QString::fromUtf8(line->mid(2, colon - 2)),
                              QString::fromUtf8(line->mid(colon + 2)));
            continue;
        }
        if (!columns) {
            QByteArray names = *line;
            const auto optional = [&names](const char* column) {
                const bool there = names.endsWith(column);
                if (there)
                    names.chop(qsizetype(std::strlen(column)));
                return there;
            };
            timed = optional(",time_s");
            cycled = optional(",cycle");
            flagged = optional(",in_compliance");
            spread = optional(",current_sd_A");
            if (names != "voltage_V,current_A")
                return number == 1 ? neither
                                   : where + QStringLiteral("expected the column names "
                                                            "voltage_V,current_A");
            columns = true;
            continue;
        }
        QList<QByteArray> cells = line->split(',');
        if (timed) {
            const auto seconds = cells.size() > 2 ? numberIn(cells.takeLast()) : std::nullopt;
            if (!seconds || !(*seconds >= 0 && *seconds < 1e12))
                return where + QStringLiteral("expected the time last, seconds from 0");
            run.pointMs.push_back(std::llround(*seconds * 1000));
        }
        // Which cycle a point is in follows from its place and the header's cycles.
        if (cycled) {
            bool whole = false;
            if (cells.size() < 3 || cells.takeLast().toInt(&whole) < 1 || !whole)
                return where + QStringLiteral("expected the cycle last, a whole number from 1");
        }
        if (spread) {
            const auto sd = cells.size() > 2 ? numberIn(cells[2]) : std::nullopt;
            if (!sd || !(*sd >= 0))
                return where + QStringLiteral("expected the current's standard deviation "
                                              "third, a decimal number of amps, at least 0");
            run.currentSd.push_back(*sd);
            cells.removeAt(2);
        }
        const qsizetype width = flagged ? 3 : 2;
        const auto level = cells.size() == width ? numberIn(cells[0]) : std::nullopt;
        const auto current = cells.size() == width ? numberIn(cells[1]) : std::nullopt;
        if (!level || !current)
            return where + (flagged ? QStringLiteral("expected a level, a current and 0 or 1, "
                                                     "separated by commas")
                                    : QStringLiteral("expected a level and a current, two "
                                                     "decimal numbers separated by a comma"));
        if (flagged) {
            if (cells[2] != "0" && cells[2] != "1")
                return where + QStringLiteral("expected a level, a current and 0 or 1, "
                                              "separated by commas");
            run.inCompliance.push_back(cells[2] == "1" ? 1 : 0);
        }
        run.points.push_back(IVPoint{*level, *current});
    }
    if (!stream.error().isEmpty())
        return stream.error();
    if (lines.tooLong())
        return number == 0 ? neither
                           : QStringLiteral("line %1: longer than %2 bytes, which no line of a "
                                            "Kestrel CSV is")
                                 .arg(number + 1)
                                 .arg(LineReader::longestLine);
    if (run.points.empty())
        return QStringLiteral("line %1: the file holds no points").arg(number + 1);
    applyHeader(header, run);
    return run;
}

// Whether the file is in the data format: its first byte that is no blank is "[".
bool startsWithBracket(QIODevice& device)
{
    ByteStream stream(device, maxRunFileBytes);
    auto c = stream.get();
    while (c && std::isspace(static_cast<unsigned char>(*c)))
        c = stream.get();
    return c == '[';
}

} // namespace

std::variant<Run, QString> readRunFile(QIODevice& device)
{
    std::variant<Run, QString> result;
    const bool data = startsWithBracket(device);
    if (!device.seek(0))
        return QStringLiteral("could not be read: %1").arg(device.errorString());
    ByteStream stream(device, maxRunFileBytes);
    if (data) {
        auto points = parseDataFile(stream);
        if (const QString* problem = std::get_if<QString>(&points))
            return *problem;
        Run run;
        run.points = std::move(std::get<IVPointList>(points));
        run.notRecorded = everyRunDetail; // the format holds the points alone
        result = std::move(run);
    } else {
        result = readCsv(stream);
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

std::variant<Run, QString> readRunFile(const QByteArray& text)
{
    QBuffer buffer;
    buffer.setData(text);
    buffer.open(QIODevice::ReadOnly);
    return readRunFile(buffer);
}

} // namespace kestrel
