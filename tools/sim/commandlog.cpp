#include "sim/commandlog.h"

namespace kestrel::sim
{

bool CommandLog::open(const QString& path, QString* error)
{
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
    file_.write(instrument.toByteArray() + '\t' + command.toByteArray() + '\n');
}

} // namespace kestrel::sim
