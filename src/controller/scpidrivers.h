#pragma once

#include "data/profilecatalog.h"
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
// firmware) with a maker and a model, as IEEE 488.2 has every instrument answer; a
// fifth and more are allowed, as Siglent's supplies add their hardware version.
bool isIdentityLine(const QString& line);

// The default profile, read once: the commands Kestrel has always sent.
ProfilePtr defaultProfile();

// Talks to one SCPI instrument through a link, in the words of its profile, and
// confirms what it sets: a setting prints nothing, and the instrument's error queue
// (:SYST:ERR? on every SCPI instrument) holds no entry for it afterwards. Used on the
// work queue's thread; every call blocks until the instrument has answered.
class ScpiDriver
{
  public:
    // A null profile is the default one.
    ScpiDriver(InstrumentLink& link, Endpoint endpoint, QString role, ProfilePtr profile,
               const CancelSignal& cancel);

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
    // A query whose answer may take replyMs, longer than the link's usual wait.
    LinkReply querySlow(const QString& command, int replyMs);
    // The language the profile asks for (a 2450 answers *LANG? with SCPI or TSP).
    Step checkLanguage();

    const Endpoint& endpoint() const { return endpoint_; }
    const InstrumentProfile& profile() const { return *profile_; }
    // A command of the profile with its placeholders filled, the channel among them.
    QString command(const QString& pattern, const QString& placeholder = QString(),
                    const QString& value = QString()) const
    {
        return fillCommand(*profile_, pattern, placeholder, value);
    }
    static QString fillCommand(const InstrumentProfile& profile, const QString& pattern,
                               const QString& placeholder = QString(),
                               const QString& value = QString());

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
    const ProfilePtr profile_;
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
    SourceDriver(InstrumentLink& link, const Endpoint& endpoint, ProfilePtr profile,
                 const CancelSignal& cancel)
        : ScpiDriver(link, endpoint, QStringLiteral("source"), std::move(profile), cancel)
    {
    }

    // The default profile's commands, which tests and messages name.
    static QString levelCommand(double volts); // ":SOUR1:APPL:DC 1,1,0.25"
    static inline const QString onCommand = QStringLiteral(":OUTP1 ON");
    static inline const QString offCommand = QStringLiteral(":OUTP1 OFF");
    static inline const QString stateQuery = QStringLiteral(":OUTP1?");

    static QString levelCommandFor(const InstrumentProfile& profile, double volts);
    static QString offCommandFor(const InstrumentProfile& profile);
    // The profile's set-up commands, then its current limit (that many amps, or the
    // profile's default), each confirmed.
    Step setUp(std::optional<double> limitAmps);
    Step setLevel(double volts) { return set(levelCommandFor(profile(), volts)); }
    Step switchOn() { return set(command(profile().onCommand)); }
    // Whether the output is held at its current limit, asked the profile's way; nullopt
    // with *problem set when the answer does not tell.
    std::optional<bool> inCompliance(QString* problem);
    // Sends the profile's shut-down commands and its switch-off, then reads the error
    // queue and asks the output's state; only queries follow the switch-off, so it is
    // the last setting the source receives.
    SwitchOff switchOff();
};

// One reading of the meter.
struct Reading {
    enum class Kind { Amps, Overload, NotANumber, NoReply } kind = Kind::NoReply;
    double amps = 0.0;
    std::optional<bool> inCompliance; // when the reading itself tells
    QString reply;                    // as the link gave it
    QString problem;                  // for NotANumber and NoReply: what came back, for the user
};

// How the meter is to read: a range of its profile or auto-range, and a named rate
// or a number of power-line cycles, as its profile offers.
struct MeterSetting {
    int rangeIndex = 0; // autoRangeIndex: auto-range
    MeterRate rate = MeterRate::Medium;
    std::optional<double> nplc;
};

class MeterDriver : public ScpiDriver
{
  public:
    MeterDriver(InstrumentLink& link, const Endpoint& endpoint, ProfilePtr profile,
                const CancelSignal& cancel)
        : ScpiDriver(link, endpoint, QStringLiteral("meter"), std::move(profile), cancel)
    {
    }

    static inline const QString readCommand = QStringLiteral(":MEAS:CURR:DC?");

    // The profile's set-up, then the range and the rate or NPLC; each setting confirmed.
    Step configure(const MeterSetting& setting);
    // One reading; with a compliance field, the reading also tells whether the source
    // (the same instrument) is at its limit.
    // With an NPLC, the reading may take as long as that integration needs.
    Reading read(const FlagSource* complianceField = nullptr,
                 std::optional<double> nplc = std::nullopt);
    // How long a reading integrating that many power-line cycles may take: two
    // integrations (auto-zero) at 50 Hz and a second to spare.
    static int readingMs(double nplc);
};

} // namespace kestrel
