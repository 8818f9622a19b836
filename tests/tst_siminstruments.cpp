#include "sim/meterinstrument.h"
#include "sim/readingformat.h"
#include "sim/sourceinstrument.h"

#include "data/currentranges.h"

#include <QTest>

#include <clocale>
#include <cmath>

using namespace kestrel::sim;
using namespace Qt::Literals::StringLiterals;

namespace
{

// Both instruments on a 1 kOhm resistor, noise off unless asked for.
struct Bench {
    explicit Bench(MeterSettings settings = {0.0, 1})
        : circuit{std::make_shared<Resistor>(1000.0)}, source(circuit), meter(circuit, settings)
    {
    }
    Instrument& named(const QString& name)
    {
        if (name == QLatin1String("meter"))
            return meter;
        return name == QLatin1String("source") ? source : limitedSource;
    }

    Circuit circuit;
    SourceInstrument source;
    MeterInstrument meter;
    SourceInstrument limitedSource{circuit, 2.0}; // as with --max-level 2
};

// The reply line, or "<none>".
QByteArray ask(Instrument& instrument, const QByteArray& line)
{
    return instrument.execute(line).reply.value_or("<none>");
}

double readingOf(MeterInstrument& meter)
{
    return ask(meter, ":MEAS:CURR:DC?").toDouble();
}

double standardDeviation(const std::vector<double>& values)
{
    double sum = 0, squares = 0;
    for (const double v : values) {
        sum += v;
        squares += v * v;
    }
    const double n = double(values.size());
    return std::sqrt(squares / n - (sum / n) * (sum / n));
}

} // namespace

class TestSimInstruments : public QObject
{
    Q_OBJECT

  private slots:
    void commandsReportErrors_data();
    void commandsReportErrors();
    void readingOverloadsBeyondFullScale_data();
    void readingOverloadsBeyondFullScale();
    void noiseIsSeededAndScaledToRangeAndRate();
    void readingFormatIgnoresTheLocale();
};

void TestSimInstruments::commandsReportErrors_data()
{
    QTest::addColumn<QString>("instrument");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("error");

    const QByteArray none = "0,\"No error\"";
    const QByteArray undefined = "-113,\"Undefined header\"";
    const QByteArray range = "-222,\"Data out of range\"";
    const QByteArray type = "-104,\"Data type error\"";
    const QByteArray missing = "-109,\"Missing parameter\"";
    const QByteArray extra = "-108,\"Parameter not allowed\"";
    const QByteArray illegal = "-224,\"Illegal parameter value\"";

    QTest::newRow("apply, short") << "source"
                                  << ":SOUR1:APPL:DC 1,1,0.5"_ba << none;
    QTest::newRow("apply, long") << "source"
                                 << ":SOURce1:APPLy:DC 1,1,0.5"_ba << none;
    QTest::newRow("apply, no source node") << "source"
                                           << "APPL:DC 1,1,0.5"_ba << none;
    QTest::newRow("apply, defaults") << "source"
                                     << ":SOUR:APPL:DC DEF,def,0.5"_ba << none;
    QTest::newRow("apply, spaces") << "source"
                                   << "  :SOUR1:APPL:DC  1 , 1 , 0.5  "_ba << none;
    QTest::newRow("apply, two values") << "source"
                                       << ":SOUR1:APPL:DC 1,1"_ba << missing;
    QTest::newRow("apply, four values") << "source"
                                        << ":SOUR1:APPL:DC 1,1,0.5,2"_ba << extra;
    QTest::newRow("apply, level text") << "source"
                                       << ":SOUR1:APPL:DC 1,1,abc"_ba << type;
    QTest::newRow("apply, frequency text") << "source"
                                           << ":SOUR1:APPL:DC x,1,0.5"_ba << type;
    QTest::newRow("apply, comma decimal") << "source"
                                          << ":SOUR1:APPL:DC 1,1,0,5"_ba << extra;
    QTest::newRow("apply, above 10 V") << "source"
                                       << ":SOUR1:APPL:DC 1,1,10.5"_ba << range;
    QTest::newRow("apply, --max-level 2") << "limited source"
                                          << ":SOUR1:APPL:DC 1,1,-2"_ba << none;
    QTest::newRow("apply, beyond --max-level 2") << "limited source"
                                                 << ":SOUR1:APPL:DC 1,1,-2.5"_ba << range;
    QTest::newRow("apply, nan") << "source"
                                << ":SOUR1:APPL:DC 1,1,nan"_ba << range;
    QTest::newRow("apply, abbreviated") << "source"
                                        << ":SOURC1:APPL:DC 1,1,0.5"_ba << undefined;
    QTest::newRow("apply, channel 2") << "source"
                                      << ":SOUR2:APPL:DC 1,1,0.5"_ba << undefined;
    QTest::newRow("apply, double colon") << "source"
                                         << ":SOUR1::APPL:DC 1,1,0.5"_ba << undefined;
    QTest::newRow("output, bad value") << "source"
                                       << ":OUTP1 MAYBE"_ba << illegal;
    QTest::newRow("unknown command") << "source"
                                     << ":BOGUS:CMD 1"_ba << undefined;
    QTest::newRow("idn without ?") << "source"
                                   << "*IDN"_ba << undefined;
    QTest::newRow("idn, lower case") << "source"
                                     << "*idn?"_ba << none;

    QTest::newRow("function") << "meter"
                              << ":FUNC:CURR:DC"_ba << none;
    QTest::newRow("function, value") << "meter"
                                     << ":FUNC:CURR:DC 1"_ba << extra;
    QTest::newRow("function as query") << "meter"
                                       << ":FUNC:CURR:DC?"_ba << undefined;
    QTest::newRow("range 0") << "meter"
                             << ":MEAS:CURR:DC 0"_ba << none;
    QTest::newRow("range 5, long") << "meter"
                                   << ":MEASure:CURRent:DC 5"_ba << none;
    QTest::newRow("range MAX") << "meter"
                               << ":MEAS:CURR:DC MAX"_ba << none;
    QTest::newRow("range 6") << "meter"
                             << ":MEAS:CURR:DC 6"_ba << range;
    QTest::newRow("range -1") << "meter"
                              << ":MEAS:CURR:DC -1"_ba << range;
    QTest::newRow("range 2.5") << "meter"
                               << ":MEAS:CURR:DC 2.5"_ba << range;
    QTest::newRow("range text") << "meter"
                                << ":MEAS:CURR:DC abc"_ba << type;
    QTest::newRow("range missing") << "meter"
                                   << ":MEAS:CURR:DC"_ba << missing;
    QTest::newRow("rate f") << "meter"
                            << ":rate:curr:dc f"_ba << none;
    QTest::newRow("rate X") << "meter"
                            << ":RATE:CURR:DC X"_ba << illegal;
    QTest::newRow("reading with a value") << "meter"
                                          << ":MEAS:CURR:DC? 2"_ba << extra;
    QTest::newRow("source command on meter") << "meter"
                                             << ":OUTP1 ON"_ba << undefined;
}

void TestSimInstruments::commandsReportErrors()
{
    QFETCH(QString, instrument);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, error);
    Bench bench;
    bench.circuit.levelVolts = 0.25;
    Instrument& target = bench.named(instrument);
    target.execute(command);
    QCOMPARE(ask(target, ":SYST:ERR?"), error);
    if (error != "0,\"No error\"") // a refused command leaves the level as it was
        QCOMPARE(bench.circuit.levelVolts, 0.25);
    QCOMPARE(ask(target, ":SYSTem:ERRor:NEXT?"), QByteArray("0,\"No error\""));
}

void TestSimInstruments::readingOverloadsBeyondFullScale_data()
{
    QTest::addColumn<QByteArray>("level");
    QTest::addColumn<int>("range");
    QTest::addColumn<QByteArray>("reading");
    QTest::newRow("150 uA on 200 uA") << "0.15"_ba << 0 << "1.500000E-04"_ba;
    QTest::newRow("200 uA on 200 uA") << "0.2"_ba << 0 << "2.000000E-04"_ba;
    QTest::newRow("250 uA on 200 uA") << "0.25"_ba << 0 << "9.900000E+37"_ba;
    QTest::newRow("-250 uA on 200 uA") << "-0.25"_ba << 0 << "9.900000E+37"_ba;
    QTest::newRow("250 uA on 2 mA") << "0.25"_ba << 1 << "2.500000E-04"_ba;
    QTest::newRow("-250 uA on 2 mA") << "-0.25"_ba << 1 << "-2.500000E-04"_ba;
    QTest::newRow("10 mA on 2 mA") << "10"_ba << 1 << "9.900000E+37"_ba;
    QTest::newRow("10 mA on 20 mA") << "10"_ba << 2 << "1.000000E-02"_ba;
}

void TestSimInstruments::readingOverloadsBeyondFullScale()
{
    QFETCH(QByteArray, level);
    QFETCH(int, range);
    QFETCH(QByteArray, reading);
    Bench bench;
    bench.source.execute(QByteArray(":SOUR1:APPL:DC 1,1," + level + ";:OUTP1 ON"));
    bench.meter.execute(QByteArray(":MEAS:CURR:DC " + QByteArray::number(range)));
    QCOMPARE(ask(bench.meter, ":MEAS:CURR:DC?"), reading);
    if (reading.startsWith("9.9"))
        QCOMPARE(reading.toDouble(), kestrel::overloadReadingAmps);
    // Output off: nothing flows, whatever the level.
    bench.source.execute(":OUTP1 OFF");
    QCOMPARE(ask(bench.meter, ":MEAS:CURR:DC?"), QByteArray("0.000000E+00"));
}

void TestSimInstruments::noiseIsSeededAndScaledToRangeAndRate()
{
    const auto readings = [](quint64 seed, int range, char rate) {
        Bench bench({1e-4, seed});
        bench.meter.execute(QByteArray(":MEAS:CURR:DC " + QByteArray::number(range)));
        bench.meter.execute(QByteArray(":RATE:CURR:DC ").append(rate));
        std::vector<double> values;
        for (int i = 0; i < 400; ++i)
            values.push_back(readingOf(bench.meter));
        return values;
    };

    const std::vector<double> slowSmall = readings(7, 0, 'S');
    QCOMPARE(readings(7, 0, 'S'), slowSmall);
    QVERIFY(readings(8, 0, 'S') != slowSmall);

    // 1e-4 of full scale: 20 nA on the 200 uA range, 2 uA on the 20 mA range.
    const double sigma = standardDeviation(slowSmall);
    QVERIFY2(sigma > 15e-9 && sigma < 25e-9, qPrintable(QString::number(sigma)));
    const double wide = standardDeviation(readings(7, 2, 'S'));
    QVERIFY2(wide > 1.5e-6 && wide < 2.5e-6, qPrintable(QString::number(wide)));
    const double fast = standardDeviation(readings(7, 0, 'F'));
    QVERIFY2(fast > 150e-9 && fast < 250e-9, qPrintable(QString::number(fast)));
}

void TestSimInstruments::readingFormatIgnoresTheLocale()
{
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8"))
        QSKIP("de_DE.UTF-8 is not installed (scripts/deps.sh generates it)");
    const QByteArray text = formatReading(-1.5e-3);
    Bench bench;
    const QByteArray error = ask(bench.source, ":SOUR1:APPL:DC 1,1,0.5");
    std::setlocale(LC_ALL, saved.c_str());
    QCOMPARE(text, QByteArray("-1.500000E-03"));
    QCOMPARE(error, QByteArray("<none>"));
    QCOMPARE(bench.circuit.levelVolts, 0.5);
}

QTEST_GUILESS_MAIN(TestSimInstruments)
#include "tst_siminstruments.moc"
