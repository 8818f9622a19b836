#include "data/run.h"

namespace kestrel
{

QString notRecordedText()
{
    return QStringLiteral("not recorded");
}

QString outcomeName(Run::Outcome outcome)
{
    switch (outcome) {
    case Run::Outcome::Running:
        return QStringLiteral("running");
    case Run::Outcome::Completed:
        return QStringLiteral("completed");
    case Run::Outcome::Stopped:
        return QStringLiteral("stopped");
    case Run::Outcome::Failed:
        return QStringLiteral("failed");
    case Run::Outcome::LimitReached:
        return QStringLiteral("limit reached");
    case Run::Outcome::Overload:
        return QStringLiteral("overload");
    case Run::Outcome::Imported:
        return QStringLiteral("imported");
    case Run::Outcome::Compliance:
        return QStringLiteral("compliance");
    case Run::Outcome::Interrupted:
        break;
    }
    return QStringLiteral("interrupted");
}

std::optional<Run::Outcome> outcomeFromName(const QString& name)
{
    for (int i = 0; i <= int(Run::Outcome::Compliance); ++i)
        if (outcomeName(Run::Outcome(i)) == name)
            return Run::Outcome(i);
    return std::nullopt;
}

ChartPointList chartPointsOfRun(const Run& run)
{
    if (run.settings.plan.shape != SweepShape::Hold || run.pointMs.size() != run.points.size())
        return chartPointsOf(run.points);
    ChartPointList records;
    records.reserve(run.points.size());
    for (std::size_t i = 0; i < run.points.size(); ++i)
        records.push_back(ivData{double(run.pointMs[i]) / 1000, run.points[i][1]});
    return records;
}

} // namespace kestrel
