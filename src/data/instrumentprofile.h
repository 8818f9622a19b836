#pragma once

#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <map>
#include <optional>
#include <variant>
#include <vector>

namespace kestrel
{

// A yes or no the instrument tells: the answer of a query (1/0, ON/OFF), a bit of a
// status number the query answers (decimal, or hexadecimal after 0x), or a bit of a
// field of the reading itself.
struct FlagSource {
    QString query; // empty with field 0: the instrument cannot tell
    int field = 0; // 1-based field of the reading; 0: ask the query
    int bit = -1;  // -1: the answer is the flag itself
    bool known() const { return !query.isEmpty() || field > 0; }
};

// The flag in that answer; nullopt when the answer is none of the forms.
std::optional<bool> readFlag(const FlagSource& source, const QString& answer);

struct ProfileRange {
    QString label; // "10 µA"
    double amps = 0.0;
    QString token; // what {range} becomes
};

struct ProfileRate {
    QString name;  // "fast", "medium", "slow"
    QString token; // what {rate} becomes
};

// One class of instrument: how it is known and how each thing the sweep needs is said
// to it. Commands are templates with named placeholders ({volts}, {amps}, {channel},
// {nplc}, {range}, {rate}), filled by fill(). The rules that hold for every instrument
// (confirm every setting, switch off at every end) are the drivers', not the profile's.
struct InstrumentProfile {
    QString name; // the file's base name
    QString description;
    QString manual; // the programming manual the commands come from
    QString file;   // where it was read
    QRegularExpression identity;
    bool canSource = false;
    bool canMeasure = false;
    // One instrument that sources and measures (a source-measure unit), not a pair of
    // instruments the profile speaks to apart.
    bool smu = false;
    int channel = 1;
    QString terminator = QStringLiteral("\n"); // ends each reply line

    QString errorQuery = QStringLiteral(":SYST:ERR?");
    QRegularExpression noError; // an error-queue entry that says the queue is empty
    QString languageQuery;      // asked before the set-up when set
    QString language;           // the answer it must give

    // Source
    QStringList sourceSetup;
    QString levelCommand;
    QString onCommand;
    QString offCommand;
    FlagSource outputState; // whether the output is on
    QString limitCommand;   // the current limit (compliance)
    std::optional<double> defaultLimitAmps;
    double maxLimitAmps = 0.0;  // 0: no stated maximum
    FlagSource compliance;      // whether the output is held at its current limit
    QStringList sourceShutdown; // before the switch-off

    // Meter
    QStringList meterSetup;
    QString readQuery;
    int currentField = 1;              // 1-based field of a comma-separated reading
    std::vector<double> overloadMarks; // a reading this large or larger is no current
    std::vector<ProfileRange> ranges;
    QString rangeCommand;
    QString autoRangeOn;
    QString autoRangeOff;
    std::vector<ProfileRate> rates;
    QString rateCommand;
    QString nplcCommand;
    std::vector<double> nplcValues; // the values it accepts, or empty for min..max
    double nplcMin = 0.0;
    double nplcMax = 0.0;
    std::optional<double> defaultNplc;
    QStringList meterShutdown;

    bool hasAutoRange() const { return !autoRangeOn.isEmpty(); }
    bool hasNplc() const { return !nplcCommand.isEmpty(); }
    bool acceptsNplc(double nplc) const;
    QString nplcChoices() const;   // "0.02, 0.2, 1, 10, 100" or "0.01 to 10"
    QStringList roleNames() const; // "source", "meter"
};

// What a placeholder becomes.
using ProfileValues = std::map<QString, QString>;
QString fill(const QString& command, const ProfileValues& values);

// A mistake in a profile file, where it is.
struct ProfileError {
    QString file;
    int line = 0; // 0: the file as a whole
    QString field;
    QString problem;
    QString text() const; // "FILE, line 12, field source.level: unknown placeholder {volt}"
};

// Reads a profile; the name is the file's base name. Every command is checked for
// placeholders it may hold, and each role it claims for the commands it needs.
std::variant<InstrumentProfile, ProfileError> parseProfile(const QByteArray& text,
                                                           const QString& file);
std::variant<InstrumentProfile, ProfileError> readProfile(const QString& path);

} // namespace kestrel
