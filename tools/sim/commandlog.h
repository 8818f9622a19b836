#pragma once

#include <QFile>

namespace kestrel::sim
{

// Every command line received, one per line: "source<TAB>*IDN?". Written
// unbuffered so another process can read each line as soon as it arrives.
class CommandLog
{
  public:
    bool open(const QString& path, QString* error);
    void record(QByteArrayView instrument, QByteArrayView command);

  private:
    QFile file_;
};

} // namespace kestrel::sim
