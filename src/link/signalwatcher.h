#pragma once

#include <QObject>

#include <initializer_list>
#include <vector>

class QSocketNotifier;

namespace kestrel
{

// Turns signals into a Qt signal on the event loop, so that whatever they end is torn
// down outside signal context: the handler only writes a byte to a pipe. One watcher
// per process.
class SignalWatcher : public QObject
{
    Q_OBJECT
  public:
    // SIGINT, SIGTERM and SIGHUP, with SIGPIPE and SIGXFSZ ignored (a closed pipe or a
    // file size limit then fails the write instead of killing the program), so that a
    // program driving a source can switch it off and write its files before it ends.
    explicit SignalWatcher(QObject* parent = nullptr);
    // These signals alone; no other disposition changes.
    explicit SignalWatcher(std::initializer_list<int> signalNumbers, QObject* parent = nullptr);
    ~SignalWatcher() override; // the default handlers again

    bool isValid() const { return notifier_ != nullptr; }
    static QString name(int signalNumber); // "SIGTERM"

  signals:
    void received(int signalNumber);

  private:
    QSocketNotifier* notifier_ = nullptr;
    std::vector<int> watched_;
};

} // namespace kestrel
