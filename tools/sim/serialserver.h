#pragma once

#include <QObject>
#include <QString>

namespace kestrel::sim
{

class InstrumentServer;

// An instrument on a serial line as well: a pseudo-terminal whose path programs open
// like a serial port. Commands end in "\n" or "\r\n"; replies end in "\r\n", as
// serial instruments often send them.
class SerialServer : public QObject
{
    Q_OBJECT

  public:
    explicit SerialServer(InstrumentServer& server);

    // Opens the line; the reason in *error when it cannot.
    bool open(QString* error);
    QString terminalPath() const { return path_; }

  private:
    InstrumentServer& server_;
    QString path_;
};

} // namespace kestrel::sim
