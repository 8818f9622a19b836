#pragma once

#include <QElapsedTimer>
#include <QFile>

namespace kestrel::sim
{

// Every command line received, one per line: "source<TAB>*IDN?", or timed,
// "1234.567<TAB>source<TAB>*IDN?" with the milliseconds since the log was opened on
// a monotonic clock. Written unbuffered so another process can read each line as
// soon as it arrives.
class CommandLog
{
  public:
    bool open(const QString& path, bool timed, QString* error);
    void record(QByteArrayView instrument, QByteArrayView command);

  private:
    QFile file_;
    bool timed_ = false;
    QElapsedTimer clock_;
};

} // namespace kestrel::sim
