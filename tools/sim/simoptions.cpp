#include "sim/simoptions.h"

#include "data/numbertext.h"
#include "sim/dialects.h"

#include <charconv>
#include <cmath>

namespace kestrel::sim
{

namespace
{

std::optional<double> readNumber(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    return parseNumber(std::string_view(bytes.constData(), std::size_t(bytes.size())));
}

} // namespace

std::optional<Endpoint> parseEndpoint(const QString& text, QString* error)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    bool portOk = false;
    const uint port = colon < 0 ? 0 : text.sliced(colon + 1).toUInt(&portOk);
    QHostAddress address;
    if (colon < 0 || !portOk || port > 65535 || !address.setAddress(text.first(colon)) ||
        address.protocol() != QAbstractSocket::IPv4Protocol) {
        *error = QStringLiteral("%1: expected IPV4ADDRESS:PORT, e.g. 127.0.0.2:5555").arg(text);
        return std::nullopt;
    }
    if (!address.isInSubnet(QHostAddress(QStringLiteral("127.0.0.0")), 8)) {
        *error = QStringLiteral("%1: only loopback addresses (127.0.0.0/8) are allowed").arg(text);
        return std::nullopt;
    }
    return Endpoint{address, quint16(port)};
}

SimArguments parseSimArguments(const QStringList& args)
{
    SimArguments parsed;
    SimOptions& options = parsed.options;
    QString deviceText = QStringLiteral("diode");
    const auto fail = [&parsed](const QString& message) {
        parsed.action = SimAction::UsageError;
        parsed.error = message;
        return parsed;
    };

    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            parsed.action = SimAction::Help;
            return parsed;
        }
        if (arg == QLatin1String("--version")) {
            parsed.action = SimAction::Version;
            return parsed;
        }
        if (!arg.startsWith(QLatin1String("--")))
            return fail(QStringLiteral("unexpected argument %1").arg(arg));
        if (arg == QLatin1String("--serial")) {
            options.serial = true;
            continue;
        }
        if (arg == QLatin1String("--vxi11")) {
            options.vxi11 = true;
            continue;
        }
        if (arg == QLatin1String("--lang-tsp")) {
            options.answerTsp = true;
            continue;
        }
        if (arg == QLatin1String("--gate-on-output2")) {
            options.gateOnOutput2 = true;
            continue;
        }

        QString name = arg;
        QString value;
        if (const qsizetype eq = arg.indexOf(QLatin1Char('=')); eq >= 0) {
            name = arg.first(eq);
            value = arg.sliced(eq + 1);
        } else {
            if (i + 1 == args.size())
                return fail(QStringLiteral("%1 needs a value").arg(arg));
            value = args[++i];
        }
        const QString what = name + QLatin1Char(' ') + value;

        QString error;
        if (name == QLatin1String("--source") || name == QLatin1String("--meter") ||
            name == QLatin1String("--step-source")) {
            const std::optional<Endpoint> endpoint = parseEndpoint(value, &error);
            if (!endpoint)
                return fail(name + QLatin1Char(' ') + error);
            if (name == QLatin1String("--step-source"))
                options.stepSource = endpoint;
            else
                (name == QLatin1String("--source") ? options.source : options.meter) = *endpoint;
        } else if (name == QLatin1String("--device")) {
            deviceText = value;
        } else if (name == QLatin1String("--temperature")) {
            const std::optional<double> celsius = readNumber(value);
            if (!celsius || !(*celsius > -zeroCelsiusKelvin && *celsius <= 1000.0))
                return fail(what + QStringLiteral(": expected degrees Celsius above -273.15 "
                                                  "and up to 1000"));
            options.temperatureC = *celsius;
        } else if (name == QLatin1String("--noise")) {
            const std::optional<double> noise = readNumber(value);
            if (!noise || !std::isfinite(*noise) || *noise < 0)
                return fail(what + QStringLiteral(": expected a number from 0"));
            options.meterSettings.noiseFraction = *noise;
        } else if (name == QLatin1String("--max-level")) {
            const std::optional<double> volts = readNumber(value);
            if (!volts || !std::isfinite(*volts) || *volts <= 0)
                return fail(what + QStringLiteral(": expected a finite number of volts above 0"));
            options.maxLevelVolts = *volts;
        } else if (name == QLatin1String("--refuse-off")) {
            const QByteArray digits = value.toLatin1();
            qint64 count = 0;
            const auto [end, ec] = std::from_chars(digits.begin(), digits.end(), count);
            if (value == QLatin1String("all"))
                options.refusedOffs = SourceInstrument::refuseEveryOff;
            else if (digits.isEmpty() || ec != std::errc() || end != digits.end() || count < 0)
                return fail(what + QStringLiteral(": expected a whole number from 0, or all"));
            else
                options.refusedOffs = count;
        } else if (name == QLatin1String("--seed")) {
            const QByteArray digits = value.toLatin1();
            quint64 seed = 0;
            const auto [end, ec] = std::from_chars(digits.begin(), digits.end(), seed);
            if (digits.isEmpty() || ec != std::errc() || end != digits.end())
                return fail(what + QStringLiteral(": expected a whole number from 0"));
            options.meterSettings.seed = seed;
        } else if (name == QLatin1String("--latency")) {
            const std::optional<double> ms = readNumber(value);
            if (!ms || !(*ms >= 0 && *ms <= 600000))
                return fail(what + QStringLiteral(": expected milliseconds from 0 to 600000"));
            options.latencyMs = int(std::lround(*ms));
        } else if (name == QLatin1String("--log")) {
            options.logPath = value;
        } else if (name == QLatin1String("--log-format")) {
            if (value != QLatin1String("plain") && value != QLatin1String("timed"))
                return fail(what + QStringLiteral(": expected plain or timed"));
            options.logTimes = value == QLatin1String("timed");
        } else if (name == QLatin1String("--source-dialect") ||
                   name == QLatin1String("--step-dialect") ||
                   name == QLatin1String("--meter-dialect") || name == QLatin1String("--smu")) {
            const DialectRole role = name == QLatin1String("--smu") ? DialectRole::Smu
                                     : name == QLatin1String("--meter-dialect")
                                         ? DialectRole::Meter
                                         : DialectRole::Source;
            const QStringList names = dialectNames(role);
            if (!names.contains(value))
                return fail(what + QStringLiteral(": expected one of ") +
                            names.join(QStringLiteral(", ")));
            (role == DialectRole::Smu                  ? options.smu
             : role == DialectRole::Meter              ? options.meterDialect
             : name == QLatin1String("--step-dialect") ? options.stepDialect
                                                       : options.sourceDialect) = value;
        } else if (name == QLatin1String("--fault")) {
            const std::optional<FaultSwitch> fault = parseFault(value, &error);
            if (!fault)
                return fail(error);
            options.faults.push_back(*fault);
        } else {
            return fail(QStringLiteral("unknown option %1").arg(name));
        }
    }

    if (!options.smu.isEmpty() && (options.sourceDialect != QLatin1String("default") ||
                                   options.meterDialect != QLatin1String("default")))
        return fail(QStringLiteral("--smu stands for both instruments: leave out --source-dialect "
                                   "and --meter-dialect"));
    if (!options.stepSource && options.stepDialect != QLatin1String("default"))
        return fail(QStringLiteral("--step-dialect needs --step-source"));
    if (options.gateOnOutput2 &&
        (options.stepSource || options.sourceDialect != QLatin1String("keysight-e36300")))
        return fail(QStringLiteral("--gate-on-output2 needs --source-dialect keysight-e36300 and "
                                   "no --step-source"));
    if (options.answerTsp && options.smu != QLatin1String("keithley-2450"))
        return fail(QStringLiteral("--lang-tsp needs --smu keithley-2450"));

    QString error;
    options.device = makeDevice(deviceText, &error, options.temperatureC);
    if (!options.device)
        return fail(QStringLiteral("--device ") + error);
    return parsed;
}

QString simHelpText()
{
    return QStringLiteral(
        "Usage: kestrel-sim [OPTIONS]\n"
        "\n"
        "Simulates a DC source and a DC current meter on loopback TCP ports, both\n"
        "wired to one device under test, for trying out Kestrel without instruments;\n"
        "with --step-source, a second source drives a transistor's gate.\n"
        "Each instrument takes line-terminated SCPI commands (\"\\n\" or \"\\r\\n\"), on\n"
        "any number of connections, and answers each query with one line.\n"
        "\n"
        "Source: *IDN?  *RST  *CLS  *OPC?  :OUTPut1 ON|OFF  :OUTPut1?\n"
        "        :SOURce1:APPLy:DC 1,1,LEVEL  :SYSTem:ERRor?\n"
        "Meter:  *IDN?  *RST  *CLS  *OPC?  :FUNCtion:CURRent:DC\n"
        "        :MEASure:CURRent:DC RANGE (0 = 200 uA ... 5 = 10 A)\n"
        "        :RATE:CURRent:DC S|M|F  :MEASure:CURRent:DC?  :SYSTem:ERRor?\n"
        "A reading beyond the range's full scale is 9.900000E+37 (overload).\n"
        "\n"
        "Other dialects speak as the instruments they are named after, on channel 1,\n"
        "sourcing volts and measuring DC amps, from the makers' programming manuals:\n"
        "their headers, reply formats, error lines, *RST defaults, current ranges, an\n"
        "integration time of NPLC x 2 ms per reading, and a current limit: beyond it\n"
        "the current is held at the limit and the instrument's compliance or CC\n"
        "indicator tells so. A fixed range that overloads reads the maker's mark.\n"
        "  sources: keysight-e36300 (E36312A), siglent-spd (SPD3303X)\n"
        "  meters:  keysight-344xx (34461A), keithley-dmm6500\n"
        "  SMUs:    keithley-2400, keithley-2450, keysight-b2900 (B2901A)\n"
        "\n"
        "Options:\n"
        "  --source ADDR:PORT   where the source listens (default 127.0.0.2:5555)\n"
        "  --meter ADDR:PORT    where the meter listens (default 127.0.0.3:5555)\n"
        "                       ADDR must be in 127.0.0.0/8; PORT 0 picks a free port\n"
        "  --device diode       silicon diode, Is 1e-12 A, n 1.8, with 4.7 kOhm in series\n"
        "                       (the default)\n"
        "  --device resistor:OHMS  a resistor\n"
        "  --device solar       an illuminated solar cell: Iph 0.76 A, I0 3e-7 A, n 1.5,\n"
        "                       Rs 0.036 Ohm, Rsh 54 Ohm; the meter reads its generated\n"
        "                       current as negative, between 0 V and Voc (about 0.57 V)\n"
        "  --device solar:IPH,RS,RSH  that cell with photocurrent IPH (A), series\n"
        "                       resistance RS and shunt resistance RSH (Ohm)\n"
        "  --device mosfet      an n-channel MOSFET: drain at the source's level, gate at\n"
        "                       the step source's (0 V without one or while its output is\n"
        "                       off); Vth 1 V, K 2e-3 A/V^2, lambda 0.02 1/V. Square law,\n"
        "                       with Vov = Vgs-Vth and M = 1+lambda*Vds:\n"
        "                         Vov <= 0         I = 0\n"
        "                         0 <= Vds < Vov   I = K*(Vov*Vds-Vds^2/2)*M\n"
        "                         Vds >= Vov       I = K/2*Vov^2*M\n"
        "                       Below 0 V the drain acts as the source, the channel being\n"
        "                       symmetric: I(Vgs,Vds) = -I(Vgs-Vds,-Vds)\n"
        "  --device mosfet:VTH,K,LAMBDA  that MOSFET with threshold VTH (V), K (A/V^2,\n"
        "                       above 0) and LAMBDA (1/V, at least 0). The other devices\n"
        "                       have no gate\n"
        "  --temperature C      the diode's or the cell's temperature in degrees Celsius\n"
        "                       (default 25, the fit's default: a fit at the same\n"
        "                       temperature gives back n)\n"
        "  --source-dialect NAME  the source's commands: default, keysight-e36300 or\n"
        "                       siglent-spd (default: default)\n"
        "  --meter-dialect NAME the meter's: default, keysight-344xx or keithley-dmm6500\n"
        "                       (default: default)\n"
        "  --smu NAME           one SMU that sources and measures, at the source's\n"
        "                       address: keithley-2400, keithley-2450 or keysight-b2900;\n"
        "                       the meter's address is then not opened. Not with the two\n"
        "                       options above\n"
        "  --lang-tsp           the keithley-2450 answers *LANG? with TSP, not SCPI\n"
        "  --step-source ADDR:PORT  a second source, the step source, whose output drives\n"
        "                       the device's gate (default: none); its *IDN? serial\n"
        "                       number is 00000003, its log lines step<TAB>COMMAND, and\n"
        "                       --max-level and --refuse-off leave it at their defaults;\n"
        "                       --serial and --vxi11 serve it too\n"
        "  --step-dialect NAME  the step source's commands, any --source-dialect NAME\n"
        "                       (default: default)\n"
        "  --gate-on-output2    the source's own output 2 drives the device's gate, as a\n"
        "                       step source on a second channel of the same supply; with\n"
        "                       --source-dialect keysight-e36300, whose (@2) commands then\n"
        "                       act on it (they are refused without this option)\n"
        "  --max-level V        the default source refuses a level beyond +-V volts with error\n"
        "                       -222 and keeps its level (default 10)\n"
        "  --refuse-off N       the default source refuses its first N :OUTPut1 OFF while its\n"
        "                       output is on with error -221 and stays on; N may be\n"
        "                       all (default 0)\n"
        "  --noise F            reading noise, standard deviation as a fraction of the\n"
        "                       range's full scale at rate S (default 1e-4; 0: exact)\n"
        "  --seed N             seed of the noise (default 1)\n"
        "  --latency MS         delay before each reading is sent (default 0)\n"
        "  --log FILE           write each command line received to FILE, as\n"
        "                       source<TAB>COMMAND, meter<TAB>COMMAND or step<TAB>COMMAND\n"
        "  --log-format timed   begin each log line with the milliseconds since the\n"
        "                       start on a monotonic clock and a TAB:\n"
        "                       1234.567<TAB>meter<TAB>COMMAND (default: plain)\n"
        "  --fault KIND:INSTRUMENT:N\n"
        "                       from that instrument's Nth command line on, answer\n"
        "                       queries wrongly: silent (no reply), close (part of the\n"
        "                       reply, then the connection closes) or garbage (a line\n"
        "                       that is not a number); commands still take effect.\n"
        "                       INSTRUMENT is source (an SMU too), meter or step; may\n"
        "                       be repeated\n"
        "  --serial             each instrument also on a serial line: a pseudo-terminal\n"
        "                       that kestrel-scpi opens like a serial port at any baud\n"
        "                       rate; replies end in CR LF. A close fault there stops\n"
        "                       the reply short, the line stays open\n"
        "  --vxi11              also serve each instrument over VXI-11: a portmapper on\n"
        "                       ADDR:111 (TCP and UDP) and the core channel (device\n"
        "                       inst0) on a free port of ADDR; port 111 needs root\n"
        "  --help               show this help and exit\n"
        "  --version            show the version and exit\n"
        "\n"
        "On start, one line per instrument tells where it listens, after its serial\n"
        "line's path with --serial:\n"
        "  kestrel-sim: source serial on /dev/pts/3\n"
        "  kestrel-sim: source listening on 127.0.0.2:5555\n"
        "With --vxi11, a line before it tells where its core channel is:\n"
        "  kestrel-sim: source VXI-11 on 127.0.0.2:111, core channel on port 40123\n"
        "SIGINT or SIGTERM ends it.\n"
        "\n"
        "Example:\n"
        "  kestrel-sim --device resistor:1000 --noise 0 &\n"
        "  kestrel-scpi 127.0.0.2 5555 '*IDN?'\n"
        "\n"
        "Exit status: 0 ended by a signal, 1 a port or a serial line could not be\n"
        "opened, 2 the command line is wrong.\n");
}

} // namespace kestrel::sim
