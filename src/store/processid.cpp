#include "store/processid.h"

#include <QFile>
#include <QList>

#include <unistd.h>

namespace kestrel
{

namespace
{

// Fields 3 (state) and 22 (start time) of /proc/PID/stat; the name before them is in
// parentheses and may hold blanks.
bool readStat(qint64 pid, char* state, qint64* started)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 20)
        return false;
    *state = fields[0].isEmpty() ? '?' : fields[0][0];
    *started = fields[19].toLongLong();
    return true;
}

} // namespace

ProcessId thisProcess()
{
    ProcessId self{getpid(), 0};
    char state;
    readStat(self.pid, &state, &self.started);
    return self;
}

bool isAlive(const ProcessId& process)
{
    char state = '?';
    qint64 started = 0;
    return process.pid > 0 && readStat(process.pid, &state, &started) && state != 'Z' &&
           started == process.started;
}

} // namespace kestrel
