#pragma once

#include "link/instrumentlink.h"
#include "sim/circuit.h"
#include "sim/meterinstrument.h"
#include "sim/sourceinstrument.h"

#include <QElapsedTimer>
#include <QStringList>

#include <functional>
#include <mutex>
#include <optional>

// kestrel-sim's source and meter in this process, behind the link the sweep talks
// through: the error queues, refusals and readings are the simulator's own, without
// a shell or a socket. A hook can answer a command in place of the instruments, to
// play a broken script or instrument. Safe to use from the work queue's thread.
class SimLink : public kestrel::InstrumentLink
{
  public:
    // Replaces the instruments' answer when it returns one.
    using Hook = std::function<std::optional<kestrel::LinkReply>(const QString& instrument,
                                                                 const QString& command)>;

    // refusedOffs: how many :OUTP1 OFF the source refuses while on.
    explicit SimLink(const QString& device = QStringLiteral("resistor:1000"),
                     double maxLevelVolts = 10.0, qint64 refusedOffs = 0);

    static inline const kestrel::Endpoint source{QStringLiteral("127.0.0.2"),
                                                 QStringLiteral("5555")};
    static inline const kestrel::Endpoint meter{QStringLiteral("127.0.0.3"),
                                                QStringLiteral("5555")};
    // A second source whose output drives the device's gate (a mosfet's), as
    // kestrel-sim's --step-source.
    static inline const kestrel::Endpoint step{QStringLiteral("127.0.0.4"), QStringLiteral("5555")};

    kestrel::LinkReply exchange(const kestrel::Endpoint& to, const QString& command,
                                const kestrel::CancelSignal& cancel) override;

    void setHook(Hook hook);
    void setDelayMs(int ms); // each command takes this long, unless cancelled
    QStringList log() const; // "source :OUTP1 ON", in order
    QList<std::pair<qint64, QString>> timedLog() const; // with ms since the link was made
    QStringList commands(const QString& instrument) const;
    bool outputOn() const;
    bool stepOutputOn() const;

  private:
    mutable std::mutex mutex_;
    kestrel::sim::Circuit gate_;
    kestrel::sim::Circuit circuit_;
    kestrel::sim::SourceInstrument source_;
    kestrel::sim::SourceInstrument step_;
    kestrel::sim::MeterInstrument meter_;
    Hook hook_;
    int delayMs_ = 0;
    QStringList log_;
    QList<qint64> times_;
    QElapsedTimer clock_;
};
