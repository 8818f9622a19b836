// kestrel-sim: a DC source and a current meter on loopback, sharing one device, and a step
// source for its gate.

#include "link/signalwatcher.h"
#include "sim/commandlog.h"
#include "sim/dialects.h"
#include "sim/instrumentserver.h"
#include "sim/meterinstrument.h"
#include "sim/serialserver.h"
#include "sim/simoptions.h"
#include "sim/sourceinstrument.h"
#include "sim/vxi11server.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

using namespace kestrel::sim;

namespace
{

void print(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

ServerSettings settingsFor(const SimOptions& options, const QString& instrument)
{
    ServerSettings settings;
    // The latency delays readings: the meter's, or the SMU's at the source's address.
    const QString measuring =
        options.smu.isEmpty() ? QStringLiteral("meter") : QStringLiteral("source");
    settings.latencyMs = instrument == measuring ? options.latencyMs : 0;
    for (const FaultSwitch& fault : options.faults) {
        if (fault.instrument == instrument)
            settings.faults.push_back(fault);
    }
    return settings;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const SimArguments args = parseSimArguments(app.arguments().mid(1));
    switch (args.action) {
    case SimAction::Help:
        print(stdout, simHelpText());
        return 0;
    case SimAction::Version:
        print(stdout, QStringLiteral("kestrel-sim " KESTREL_VERSION "\n"));
        return 0;
    case SimAction::UsageError:
        print(stderr, QStringLiteral("kestrel-sim: %1 (see kestrel-sim --help)\n").arg(args.error));
        return 2;
    case SimAction::Run:
        break;
    }
    const SimOptions& options = args.options;

    // A client that goes away while a reply is on its way must not end the simulator.
    std::signal(SIGPIPE, SIG_IGN);
    // Ends the event loop, so that everything is torn down outside signal context.
    const kestrel::SignalWatcher quit({SIGINT, SIGTERM});
    QObject::connect(&quit, &kestrel::SignalWatcher::received, &QCoreApplication::quit);
    if (!quit.isValid()) {
        print(stderr, QStringLiteral("kestrel-sim: cannot watch for SIGINT and SIGTERM\n"));
        return 1;
    }

    CommandLog log;
    QString error;
    if (!options.logPath.isEmpty() && !log.open(options.logPath, options.logTimes, &error)) {
        print(stderr, QStringLiteral("kestrel-sim: --log %1: %2\n").arg(options.logPath, error));
        return 1;
    }

    Circuit circuit{options.device};
    Circuit gate; // the step source's output: no device, a gate draws no current
    const DialectSettings dialect{options.meterSettings, options.answerTsp,
                                  options.gateOnOutput2 ? &gate : nullptr};
    if (options.gateOnOutput2)
        circuit.gate = &gate;
    std::unique_ptr<Instrument> source =
        !options.smu.isEmpty() ? makeDialect(DialectRole::Smu, options.smu, circuit, dialect)
        : options.sourceDialect == QLatin1String("default")
            ? std::make_unique<SourceInstrument>(circuit, options.maxLevelVolts,
                                                 options.refusedOffs)
            : makeDialect(DialectRole::Source, options.sourceDialect, circuit, dialect);
    std::unique_ptr<Instrument> meter =
        !options.smu.isEmpty() ? nullptr
        : options.meterDialect == QLatin1String("default")
            ? std::make_unique<MeterInstrument>(circuit, options.meterSettings)
            : makeDialect(DialectRole::Meter, options.meterDialect, circuit, dialect);
    std::unique_ptr<Instrument> stepSource;
    if (options.stepSource) {
        stepSource = options.stepDialect == QLatin1String("default")
                         ? std::make_unique<SourceInstrument>(gate)
                         : makeDialect(DialectRole::Source, options.stepDialect, gate, dialect);
        // Its serial number tells it from a main source of the same model.
        stepSource->setSerialNumber("00000003");
        circuit.gate = &gate;
    }

    struct Served {
        const char* name;
        std::unique_ptr<InstrumentServer> server;
        const Endpoint& endpoint;
    };
    std::vector<Served> instruments;
    instruments.push_back(
        {"source",
         std::make_unique<InstrumentServer>("source", *source,
                                            settingsFor(options, QStringLiteral("source")), &log),
         options.source});
    if (meter) // an SMU measures itself: no meter to serve
        instruments.push_back(
            {"meter",
             std::make_unique<InstrumentServer>(
                 "meter", *meter, settingsFor(options, QStringLiteral("meter")), &log),
             options.meter});
    if (stepSource)
        instruments.push_back(
            {"step",
             std::make_unique<InstrumentServer>("step", *stepSource,
                                                settingsFor(options, QStringLiteral("step")), &log),
             *options.stepSource});

    // The serial lines first: whoever waits for the listening lines then knows them too.
    for (const auto& instrument : instruments) {
        if (!options.serial)
            break;
        auto* line = new SerialServer(*instrument.server);
        if (!line->open(&error)) {
            print(stderr, QStringLiteral("kestrel-sim: %1: cannot open a serial line: %2\n")
                              .arg(QLatin1String(instrument.name), error));
            return 1;
        }
        print(stdout, QStringLiteral("kestrel-sim: %1 serial on %2\n")
                          .arg(QLatin1String(instrument.name), line->terminalPath()));
    }
    std::vector<std::unique_ptr<Vxi11Server>> vxi11Servers;
    for (const auto& instrument : instruments) {
        const QString address = instrument.endpoint.address.toString();
        if (options.vxi11) {
            auto& vxi11 =
                vxi11Servers.emplace_back(std::make_unique<Vxi11Server>(*instrument.server));
            bool denied = false;
            if (!vxi11->listen(instrument.endpoint.address, Vxi11Server::portmapperPort, &error,
                               &denied)) {
                print(stderr, denied ? QStringLiteral("kestrel-sim: --vxi11 needs port 111 on %1, "
                                                      "which only root may open\n")
                                           .arg(address)
                                     : QStringLiteral("kestrel-sim: %1: cannot serve VXI-11 on "
                                                      "%2: %3\n")
                                           .arg(QLatin1String(instrument.name), address, error));
                return 1;
            }
            print(stdout,
                  QStringLiteral("kestrel-sim: %1 VXI-11 on %2:111, core channel on port %3\n")
                      .arg(QLatin1String(instrument.name), address)
                      .arg(vxi11->corePort()));
        }
        if (!instrument.server->listen(instrument.endpoint.address, instrument.endpoint.port,
                                       &error)) {
            print(stderr, QStringLiteral("kestrel-sim: %1: cannot listen on %2:%3: %4\n")
                              .arg(QLatin1String(instrument.name), address)
                              .arg(instrument.endpoint.port)
                              .arg(error));
            return 1;
        }
        print(stdout, QStringLiteral("kestrel-sim: %1 listening on %2:%3\n")
                          .arg(QLatin1String(instrument.name), address)
                          .arg(instrument.server->port()));
    }
    return app.exec();
}
