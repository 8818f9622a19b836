#include "controller/run.h"

namespace kestrel
{

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
    case Run::Outcome::Interrupted:
        break;
    }
    return QStringLiteral("interrupted");
}

} // namespace kestrel
