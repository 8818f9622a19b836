#pragma once

#include <QObject>

class QSocketNotifier;

namespace kestrel
{

// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal on the event loop, and ignores
// SIGPIPE and SIGXFSZ (a closed pipe or a file size limit then fails the write
// instead of killing the program), so
// the program can switch the source off and write its files before it ends. The
// handler only writes a byte to a pipe. One watcher per process.
class SignalWatcher : public QObject
{
    Q_OBJECT
  public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override; // the default handlers again

    bool isValid() const { return notifier_ != nullptr; }
    static QString name(int signalNumber); // "SIGTERM"

  signals:
    void received(int signalNumber);

  private:
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace kestrel
