#pragma once

#include "data/sweepplan.h"
#include "link/instrumentlink.h"

#include <QString>
#include <QStringList>

namespace kestrel
{

// How one step with an instrument went: ok, or a sentence for the user that names
// the instrument and the command.
struct Step {
    bool ok = true;
    QString message;
    static Step failed(QString message) { return Step{false, std::move(message)}; }
};

// What *IDN? came to: the identity line, or why the instrument is not identified.
struct Identity {
    bool ok = false;
    QString text;  // the identity line, or the sentence why not
    QString reply; // what came back, as the link gave it
};

// An identity is one line of four comma-separated fields (maker, model, serial,
// firmware) with a maker and a model, as IEEE 488.2 has every instrument answer.
bool isIdentityLine(const QString& line);

// Talks to one SCPI instrument through a link and confirms what it sets: a setting
// prints nothing, and the instrument's error queue (:SYST:ERR?, which every SCPI
// instrument has) holds no entry for it afterwards. Used on the work queue's thread;
// every call blocks until the instrument has answered.
class ScpiDriver
{
  public:
    ScpiDriver(InstrumentLink& link, Endpoint endpoint, QString role, const CancelSignal& cancel);

    static constexpr int maxErrorReads = 20;

    Identity identify();
    // Reads the error queue until it reports no error, at most maxErrorReads times;
    // the entries found (older errors, not this program's) go to older.
    Step clearErrors(QStringList& older);
    // Sends a setting and reads one queue entry: anything but "0,..." is a refusal.
    Step set(const QString& command);
    // Sends a setting without asking anything afterwards.
    Step send(const QString& command);
    LinkReply query(const QString& command);

    const Endpoint& endpoint() const { return endpoint_; }

  protected:
    // "The source at 127.0.0.2:5555"
    QString who() const;
    QString failedExchange(const QString& command, const LinkReply& reply) const;
    // The entry the queue answered, "" for "0,...", or nullopt with *problem set.
    std::optional<QString> nextError(QString* problem);

  private:
    InstrumentLink& link_;
    const Endpoint endpoint_;
    const QString role_; // "source" or "meter"
    const CancelSignal& cancel_;
};

// What a switch-off came to, as far as the source told: off only when confirmed.
struct SwitchOff {
    enum class Output { Off, On, Unknown };
    Output output = Output::Unknown;
    QString message; // unless off: what happened, naming the source and the command
    bool off() const { return output == Output::Off; }
};

class SourceDriver : public ScpiDriver
{
  public:
    SourceDriver(InstrumentLink& link, const Endpoint& endpoint, const CancelSignal& cancel)
        : ScpiDriver(link, endpoint, QStringLiteral("source"), cancel)
    {
    }

    static QString levelCommand(double volts); // ":SOUR1:APPL:DC 1,1,0.25"
    static inline const QString onCommand = QStringLiteral(":OUTP1 ON");
    static inline const QString offCommand = QStringLiteral(":OUTP1 OFF");
    static inline const QString stateQuery = QStringLiteral(":OUTP1?");

    Step setLevel(double volts) { return set(levelCommand(volts)); }
    Step switchOn() { return set(onCommand); }
    // Sends :OUTP1 OFF, then reads the error queue and asks the output's state
    // (:OUTP1? answers ON or OFF); only queries follow it, so the switch-off is the last
    // setting the source receives.
    SwitchOff switchOff();
};

// One reading of the meter.
struct Reading {
    enum class Kind { Amps, Overload, NotANumber, NoReply } kind = Kind::NoReply;
    double amps = 0.0;
    QString reply;   // as the link gave it
    QString problem; // for NotANumber and NoReply: what came back, for the user
};

class MeterDriver : public ScpiDriver
{
  public:
    MeterDriver(InstrumentLink& link, const Endpoint& endpoint, const CancelSignal& cancel)
        : ScpiDriver(link, endpoint, QStringLiteral("meter"), cancel)
    {
    }

    static inline const QString readCommand = QStringLiteral(":MEAS:CURR:DC?");
    static QString rateCommand(MeterRate rate); // ":RATE:CURR:DC M"

    // DC current at the range of that index and at that rate; each setting confirmed.
    Step configure(int rangeIndex, MeterRate rate = MeterRate::Medium);
    Reading read();
};

} // namespace kestrel
