#include "sim/commandlog.h"

namespace kestrel::sim
{

bool CommandLog::open(const QString& path, bool timed, QString* error)
{
    timed_ = timed;
    clock_.start();
    file_.setFileName(path);
    if (file_.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return true;
    *error = file_.errorString();
    return false;
}

void CommandLog::record(QByteArrayView instrument, QByteArrayView command)
{
    if (!file_.isOpen())
        return;
    // One write per line, so a reader never sees half of one.
    QByteArray line;
    if (timed_)
        line = QByteArray::number(double(clock_.nsecsElapsed()) / 1e6, 'f', 3) + '\t';
    file_.write(line + instrument.toByteArray() + '\t' + command.toByteArray() + '\n');
}

} // namespace kestrel::sim
