#include "controller/sweepdescription.h"

#include "controller/runanalysis.h"
#include "data/currentranges.h"
#include "data/numbertext.h"
#include "data/printabletext.h"
#include "data/sitext.h"

namespace kestrel
{

namespace
{

QString number(double value)
{
    return QString::fromStdString(formatDouble(value));
}

} // namespace

CsvHeader describeRun(const QString& program, const Run& run)
{
    const SweepSettings& sweep = run.settings;
    const auto& ranges = currentRanges();
    const int index = sweep.rangeIndex;
    // A detail the record lacks reads "not recorded", never its default.
    const auto known = [&run](RunDetail detail, const QString& text) {
        return run.recorded(detail) ? text : notRecordedText();
    };
    CsvHeader header;
    header.program = program;
    header.started = run.started;
    header.ended = run.ended;
    header.outcome = outcomeName(run.outcome);
    header.message = run.message;
    header.source = known(RunDetail::Source, endpointText(sweep.source));
    header.sourceIdentity = known(RunDetail::SourceIdentity, run.sourceIdentity);
    header.meter = known(RunDetail::Meter, endpointText(sweep.meter));
    header.meterIdentity = known(RunDetail::MeterIdentity, run.meterIdentity);
    header.start = known(RunDetail::Start, number(sweep.plan.start));
    header.stop = known(RunDetail::Stop, number(sweep.plan.stop));
    header.steps = known(RunDetail::Steps, QString::number(sweep.plan.steps));
    header.shape = known(RunDetail::Shape, shapeName(sweep.plan.shape));
    header.range =
        known(RunDetail::Range,
              index == autoRangeIndex ? QStringLiteral("auto")
              : sweep.meterProfile != defaultProfileName
                  ? QStringLiteral("index %1 of the profile %2").arg(index).arg(sweep.meterProfile)
              : index >= 0 && index < int(ranges.size())
                  ? QStringLiteral("%1 (index %2)").arg(ranges[std::size_t(index)].label).arg(index)
                  : QString::number(index));
    header.limit = known(RunDetail::Limit, sweep.limitAmps ? number(*sweep.limitAmps) : QString());
    header.settleMs = known(RunDetail::Settle, QString::number(sweep.settleMs));
    header.rate = known(RunDetail::Rate, rateName(sweep.meterRate));
    header.sourceProfile = sweep.sourceProfile;
    header.meterProfile = sweep.meterProfile;
    // The default profile sets no limit; the others set theirs when none was asked.
    header.compliance = sweep.complianceAmps                        ? number(*sweep.complianceAmps)
                        : sweep.sourceProfile == defaultProfileName ? QStringLiteral("none")
                                                                    : QStringLiteral("the source "
                                                                                     "profile's "
                                                                                     "default");
    if (sweep.continueAtCompliance)
        header.compliance += QStringLiteral(" (the sweep continued at compliance)");
    header.nplc = sweep.nplc ? number(*sweep.nplc) : QStringLiteral("none");
    if (sweep.plan.cycles > 1)
        header.cycles = QString::number(sweep.plan.cycles);
    if (sweep.readings > 1)
        header.readings = QString::number(sweep.readings);
    if (const auto& step = sweep.step) {
        header.family = step->family;
        header.stepSource = endpointText(step->source);
        header.stepIdentity = step->identity;
        header.stepProfile = step->profile;
        header.stepCompliance = step->complianceAmps ? number(*step->complianceAmps)
                                : step->profile == defaultProfileName
                                    ? QStringLiteral("none")
                                    : QStringLiteral("the step profile's default");
        header.stepLevel = QStringLiteral("%1 (curve %2 of %3)")
                               .arg(number(step->level))
                               .arg(step->index + 1)
                               .arg(step->count);
    }
    if (sweep.plan.shape == SweepShape::Hold)
        header.duration = sweep.plan.untilStop() ? QStringLiteral("until stopped")
                                                 : number(sweep.plan.holdSeconds);
    for (const RunFit& fit : run.fits)
        header.fits << fitLine(fit);
    return header;
}

} // namespace kestrel

namespace kestrel
{

QString nothingToSave(const Run* run)
{
    if (!run)
        return QStringLiteral("no sweep has run yet.");
    if (run->points.empty())
        return QStringLiteral("the last sweep recorded no points.");
    return QString();
}

QString familyMessage(const std::vector<std::shared_ptr<const Run>>& curves)
{
    if (curves.empty() || !curves.back()->settings.step)
        return QString();
    const Run& last = *curves.back();
    const FamilyStep& step = *last.settings.step;
    if (last.outcome == Run::Outcome::Completed && int(curves.size()) == step.count) {
        // The step source's word ends the last curve's message.
        const qsizetype at = last.message.lastIndexOf(QLatin1String(" The step source output"));
        return QStringLiteral("Family complete: %1 curves of %2 points.")
                   .arg(curves.size())
                   .arg(countText(last.settings.plan.count())) +
               (at < 0 ? QString() : last.message.mid(at));
    }
    // A last curve that completed, before the end: the family ended between its curves.
    const QString between = last.outcome == Run::Outcome::Completed
                                ? QStringLiteral(" The family ended there: the curves after it "
                                                 "were not measured.")
                                : QString();
    return QStringLiteral("Curve %1 of %2 (step %3 V): ")
               .arg(step.index + 1)
               .arg(step.count)
               .arg(QString::fromStdString(formatDouble(step.level))) +
           last.message + between;
}

WriteResult exportFamilyCsv(const QString& program, const QString& path,
                            const std::vector<std::shared_ptr<const Run>>& curves,
                            const QString& message)
{
    std::vector<CsvCurve> rows;
    QStringList levels;
    QStringList fits;
    qint64 count = 0;
    for (const auto& curve : curves) {
        if (curve->points.empty() || !curve->settings.step)
            continue;
        const double step = curve->settings.step->level;
        rows.push_back(
            CsvCurve{step, &curve->points, &curve->inCompliance, &curve->currentSd,
                     curve->settings.plan.cycles > 1 ? curve->settings.plan.cycleCount() : 0});
        levels << number(step);
        for (const RunFit& fit : curve->fits)
            fits << QStringLiteral("step %1 V: %2").arg(number(step), fitLine(fit));
        count += qint64(curve->points.size());
    }
    if (rows.empty())
        return WriteResult{false, QStringLiteral("Nothing to export: the family recorded no "
                                                 "points.")};
    CsvHeader header = describeRun(program, *curves.back());
    header.started = curves.front()->started;
    header.message = message;
    header.stepLevel = levels.join(QStringLiteral(", "));
    header.fits = fits;
    WriteResult result = writeFileAtomically(path, familyCsvText(header, rows));
    if (result.ok)
        result.message = QStringLiteral("Exported %1 curves, %2 points, to %3")
                             .arg(rows.size())
                             .arg(countText(count), printableText(path));
    return result;
}

WriteResult saveRun(const QString& path, const Run& run)
{
    if (const QString nothing = nothingToSave(&run); !nothing.isEmpty())
        return WriteResult{false, QStringLiteral("Nothing to save: ") + nothing};
    return saveDataFile(path, run.points);
}

WriteResult exportRunCsv(const QString& program, const QString& path, const Run& run)
{
    if (const QString nothing = nothingToSave(&run); !nothing.isEmpty())
        return WriteResult{false, QStringLiteral("Nothing to export: ") + nothing};
    WriteResult result = writeFileAtomically(
        path,
        csvText(describeRun(program, run), run.points, run.inCompliance,
                run.settings.plan.cycles > 1 ? run.settings.plan.cycleCount() : 0, run.currentSd,
                run.settings.plan.shape == SweepShape::Hold ? run.pointMs : std::vector<qint64>()));
    if (result.ok)
        result.message = QStringLiteral("Exported %1 points to %2")
                             .arg(countText(qint64(run.points.size())), printableText(path));
    return result;
}

} // namespace kestrel
