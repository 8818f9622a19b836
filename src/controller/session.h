#pragma once

#include "data/run.h"
#include "controller/storedsettings.h"
#include "controller/sweepengine.h"
#include "link/workqueue.h"

#include <QObject>
#include <QSettings>

#include <functional>
#include <memory>

namespace kestrel
{

// What a sweep asks for besides the instruments.
struct SweepRequest {
    SweepPlan plan;
    int rangeIndex = 0;
    std::optional<double> limitAmps;
};

// What the measurement window decides, without any widget: which instrument is
// identified as what, when a sweep may start and stop, what Save and Export write.
// The window and the headless sweep both work through it.
class Session : public QObject
{
    Q_OBJECT
  public:
    enum class Which { Source, Meter };

    // home: the folder holding sendArbcmd.sh; link: how commands reach the
    // instruments; settings: where endpoints and sweep fields are remembered (none:
    // nothing is).
    Session(const QString& home, std::unique_ptr<InstrumentLink> link,
            std::unique_ptr<QSettings> settings, QObject* parent = nullptr);
    ~Session() override;

    // The measurement state under its usual names: the endpoints of the last
    // identification of each instrument, which every sweep addresses.
    const QString pat; // home folder and "/": where sendArbcmd.sh lives
    QString sip, sport, dip, dport;

    // Sends *IDN? to the endpoint; identified() tells the outcome. Refused while a
    // sweep runs.
    void identify(Which which, const Endpoint& endpoint);
    bool isIdentified(Which which) const;
    QString identity(Which which) const; // empty unless identified

    // Starts a sweep of the identified instruments; false, with the reason in
    // statusShown(), when it cannot start.
    bool start(const SweepRequest& request);
    // The window's Run: the sweep fields as typed, checked, remembered, started.
    bool runTyped(const StoredSweep& typed);
    void stop();
    bool isSweeping() const { return sweep_.isRunning(); }

    // The sweep running now or the last one; null before the first.
    std::shared_ptr<const Run> currentRun() const { return sweep_.run(); }
    // Why Save or Export has nothing to write ("Nothing to save: ..."), or empty.
    QString nothingToSave() const;
    void save(const QString& path);
    void exportCsv(const QString& path);

    // The end of the program: a running sweep switches the output off at once; files
    // being written are finished. False when the switch-off failed.
    bool shutdown(const QString& why);

    SweepEngine& sweep() { return sweep_; }
    QSettings* settings() const { return settings_.get(); }
    // Where diagnostic lines go; nowhere until set.
    std::function<void(const QString&)> printLine;

  signals:
    void identifying(kestrel::Session::Which which, const QString& text);
    void identified(kestrel::Session::Which which, bool ok, const QString& text);
    void sweepingChanged(bool sweeping);
    void statusShown(const QString& text, bool problem);

  private:
    struct Instrument {
        bool identified = false;
        QString identity;
        quint64 asked = 0; // the identification whose answer counts
    };
    Instrument& instrument(Which which) { return which == Which::Source ? source_ : meter_; }
    const Instrument& instrument(Which which) const
    {
        return which == Which::Source ? source_ : meter_;
    }
    void print(const QString& text);

    std::unique_ptr<InstrumentLink> link_;
    std::unique_ptr<QSettings> settings_;
    WorkQueue instrumentQueue_;
    WorkQueue fileQueue_; // so cancelling instrument work never drops a save
    SweepEngine sweep_;
    Instrument source_, meter_;
};

} // namespace kestrel
