#pragma once

#include "sim/device.h"
#include "sim/faults.h"
#include "sim/meterinstrument.h"
#include "sim/sourceinstrument.h"

#include <QHostAddress>
#include <QStringList>

namespace kestrel::sim
{

struct Endpoint {
    QHostAddress address;
    quint16 port = 0; // 0: any free port
};

struct SimOptions {
    Endpoint source{QHostAddress(QStringLiteral("127.0.0.2")), 5555};
    Endpoint meter{QHostAddress(QStringLiteral("127.0.0.3")), 5555};
    std::shared_ptr<const Device> device;
    double temperatureC = roomCelsius; // the device's, for its thermal voltage
    MeterSettings meterSettings;
    double maxLevelVolts = SourceInstrument::defaultMaxLevelVolts;
    qint64 refusedOffs = 0; // how many :OUTPut1 OFF the source refuses while on
    int latencyMs = 0;
    QString logPath;
    bool logTimes = false; // each log line begins with its time
    std::vector<FaultSwitch> faults;
    bool serial = false; // each instrument on a pseudo-terminal too
    bool vxi11 = false;  // also over VXI-11, with a portmapper on each address's port 111
    QString sourceDialect = QStringLiteral("default");
    QString meterDialect = QStringLiteral("default");
    QString smu;                        // when set, one SMU at the source's address and no meter
    std::optional<Endpoint> stepSource; // a second source, driving the device's gate
    QString stepDialect = QStringLiteral("default");
    // The source's own output 2 drives the gate: a family's step source on a second channel.
    bool gateOnOutput2 = false;
    bool answerTsp = false; // the keithley-2450 answers *LANG? with TSP
};

enum class SimAction { Run, Help, Version, UsageError };

struct SimArguments {
    SimAction action = SimAction::Run;
    SimOptions options;
    QString error;
};

// Reads the command line (without the program name). Instruments may only listen
// on loopback addresses (127.0.0.0/8): anything else is a usage error.
SimArguments parseSimArguments(const QStringList& args);

// "127.0.0.2:5555" -> endpoint; the reason in *error when it is not one.
std::optional<Endpoint> parseEndpoint(const QString& text, QString* error);

QString simHelpText();

} // namespace kestrel::sim
