#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

namespace kestrel::sim
{

// Quits the application's event loop when one of the signals arrives. The handler
// only writes a byte to a pipe; the event loop reads it and quits normally, so
// everything is torn down outside signal context.
class QuitOnSignals : public QObject
{
    Q_OBJECT

  public:
    explicit QuitOnSignals(std::initializer_list<int> signalNumbers, QObject* parent = nullptr);
    ~QuitOnSignals() override;

    bool isValid() const { return notifier_ != nullptr; }

  private:
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace kestrel::sim
