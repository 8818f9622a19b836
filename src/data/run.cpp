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

} // namespace kestrel
