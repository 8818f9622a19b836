#include "store/processid.h"

#include <QFile>
#include <QList>

#include <unistd.h>

namespace kestrel
{

// Fields 3 (state), 5 (process group) and 22 (start time) of /proc/PID/stat; the name
// before them is in parentheses and may hold blanks.
std::optional<ProcessStat> processStat(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 20)
        return std::nullopt;
    return ProcessStat{fields[0].isEmpty() ? '?' : fields[0][0], fields[2].toLongLong(),
                       fields[19].toLongLong()};
}

ProcessId thisProcess()
{
    const qint64 pid = getpid();
    return ProcessId{pid, processStat(pid).value_or(ProcessStat{}).started};
}

bool isAlive(const ProcessId& process)
{
    const std::optional<ProcessStat> stat =
        process.pid > 0 ? processStat(process.pid) : std::nullopt;
    return stat && stat->state != 'Z' && stat->started == process.started;
}

} // namespace kestrel
