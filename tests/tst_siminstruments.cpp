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
        return name == QLatin1String("source") ? static_cast<Instrument&>(source) : meter;
    }

    Circuit circuit;
    SourceInstrument source;
    MeterInstrument meter;
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
    void outputSpellings_data();
    void outputSpellings();
    void levelTakesEveryNumberText_data();
    void levelTakesEveryNumberText();
    void severalUnitsOnOneLine();
    void errorQueueKeepsOrderAndOverflows();
    void resetRestoresDefaultsButKeepsErrors();
    void readingOverloadsBeyondFullScale_data();
    void readingOverloadsBeyondFullScale();
    void noiseIsSeededAndScaledToRangeAndRate();
    void readingFormat_data();
    void readingFormat();
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
    QTest::newRow("apply, below -10 V") << "source"
                                        << ":SOUR1:APPL:DC 1,1,-11"_ba << range;
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
    QTest::newRow("meter command on source") << "source"
                                             << ":FUNC:CURR:DC"_ba << undefined;
    QTest::newRow("idn without ?") << "source"
                                   << "*IDN"_ba << undefined;
    QTest::newRow("idn, lower case") << "source"
                                     << "*idn?"_ba << none;
    QTest::newRow("error without ?") << "source"
                                     << ":SYST:ERR"_ba << undefined;

    QTest::newRow("function") << "meter"
                              << ":FUNC:CURR:DC"_ba << none;
    QTest::newRow("function, long") << "meter"
                                    << ":FUNCtion:CURRent:DC"_ba << none;
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
    QTest::newRow("rate S") << "meter"
                            << ":RATE:CURR:DC S"_ba << none;
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
    Instrument& target = bench.named(instrument);
    target.execute(command);
    QCOMPARE(ask(target, ":SYST:ERR?"), error);
    QCOMPARE(ask(target, ":SYSTem:ERRor:NEXT?"), QByteArray("0,\"No error\""));
}

void TestSimInstruments::outputSpellings_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("state");
    QTest::newRow("short") << ":OUTP1 ON"_ba
                           << ":OUTP1?"_ba
                           << "ON"_ba;
    QTest::newRow("long with state node") << ":OUTPut1:STATe ON"_ba
                                          << ":OUTP1:STAT?"_ba
                                          << "ON"_ba;
    QTest::newRow("lower case, no suffix") << "outp on"_ba
                                           << "outp?"_ba
                                           << "ON"_ba;
    QTest::newRow("mixed case, 1") << ":Output1 1"_ba
                                   << ":OUTPUT?"_ba
                                   << "ON"_ba;
    QTest::newRow("off after on") << ":OUTP1 ON;:OUTP1 OFF"_ba
                                  << ":OUTP1?"_ba
                                  << "OFF"_ba;
    QTest::newRow("neither long nor short") << ":OUTPU1 ON"_ba
                                            << ":OUTP1?"_ba
                                            << "OFF"_ba;
    QTest::newRow("channel 2") << ":OUTP2 ON"_ba
                               << ":OUTP1?"_ba
                               << "OFF"_ba;
    QTest::newRow("no value") << ":OUTP1"_ba
                              << ":OUTP1?"_ba
                              << "OFF"_ba;
}

void TestSimInstruments::outputSpellings()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, state);
    Bench bench;
    QVERIFY(!bench.source.execute(command).reply);
    QCOMPARE(ask(bench.source, query), state);
    QCOMPARE(bench.circuit.outputOn, state == "ON");
}

void TestSimInstruments::levelTakesEveryNumberText_data()
{
    QTest::addColumn<QByteArray>("level");
    QTest::addColumn<QByteArray>("reading"); // on 1 kOhm, 10 A range
    QTest::newRow("tiny negative") << "-5.551115123125783e-17"_ba
                                   << "-5.551115E-20"_ba;
    QTest::newRow("plain") << "0.25"_ba
                           << "2.500000E-04"_ba;
    QTest::newRow("exponent") << "1e-05"_ba
                              << "1.000000E-08"_ba;
    QTest::newRow("upper-case exponent") << "-1E+00"_ba
                                         << "-1.000000E-03"_ba;
    QTest::newRow("leading plus and dot") << "+.5"_ba
                                          << "5.000000E-04"_ba;
    QTest::newRow("trailing zeros") << "2.50"_ba
                                    << "2.500000E-03"_ba;
    QTest::newRow("exactly 10 V") << "10"_ba
                                  << "1.000000E-02"_ba;
    QTest::newRow("negative zero") << "-0.0"_ba
                                   << "0.000000E+00"_ba;
}

void TestSimInstruments::levelTakesEveryNumberText()
{
    QFETCH(QByteArray, level);
    QFETCH(QByteArray, reading);
    Bench bench;
    bench.meter.execute(":MEAS:CURR:DC 5");
    bench.source.execute(QByteArray(":SOUR1:APPL:DC 1,1," + level));
    bench.source.execute(":OUTP1 ON");
    QCOMPARE(ask(bench.meter, ":MEAS:CURR:DC?"), reading);
    QCOMPARE(ask(bench.source, ":SYST:ERR?"), QByteArray("0,\"No error\""));
}

void TestSimInstruments::severalUnitsOnOneLine()
{
    Bench bench;
    QCOMPARE(ask(bench.source, ":SOUR1:APPL:DC 1,1,0.1; :OUTP1 ON;:OUTP1?;*OPC?"),
             QByteArray("ON;1"));
    QCOMPARE(ask(bench.meter, "*RST;:MEAS:CURR:DC?"), QByteArray("1.000000E-04"));
    QVERIFY(bench.meter.execute(":MEAS:CURR:DC?").measurement);
    QVERIFY(!bench.meter.execute("*IDN?").measurement);
}

void TestSimInstruments::errorQueueKeepsOrderAndOverflows()
{
    Bench bench;
    bench.meter.execute(":MEAS:CURR:DC 9");
    bench.meter.execute(":NOPE");
    bench.meter.execute(":RATE:CURR:DC Q");
    QCOMPARE(ask(bench.meter, ":SYST:ERR?"), QByteArray("-222,\"Data out of range\""));
    QCOMPARE(ask(bench.meter, ":SYST:ERR?"), QByteArray("-113,\"Undefined header\""));
    QCOMPARE(ask(bench.meter, ":SYST:ERR?"), QByteArray("-224,\"Illegal parameter value\""));
    QCOMPARE(ask(bench.meter, ":SYST:ERR?"), QByteArray("0,\"No error\""));

    for (int i = 0; i < 25; ++i)
        bench.meter.execute(":NOPE");
    for (std::size_t i = 1; i < ErrorQueue::capacity; ++i)
        QCOMPARE(ask(bench.meter, ":SYST:ERR?"), QByteArray("-113,\"Undefined header\""));
    QCOMPARE(ask(bench.meter, ":SYST:ERR?"), QByteArray("-350,\"Queue overflow\""));
    QCOMPARE(ask(bench.meter, ":SYST:ERR?"), QByteArray("0,\"No error\""));

    bench.meter.execute(":NOPE");
    bench.meter.execute("*CLS");
    QCOMPARE(ask(bench.meter, ":SYST:ERR?"), QByteArray("0,\"No error\""));
}

void TestSimInstruments::resetRestoresDefaultsButKeepsErrors()
{
    Bench bench;
    bench.source.execute(":SOUR1:APPL:DC 1,1,0.5;:OUTP1 ON");
    bench.meter.execute(":MEAS:CURR:DC 3;:RATE:CURR:DC F;:NOPE");
    QCOMPARE(ask(bench.meter, ":MEAS:CURR:DC?"), QByteArray("5.000000E-04"));

    bench.meter.execute("*RST");
    QCOMPARE(ask(bench.meter, ":RATE:CURR:DC?"), QByteArray("S"));
    // Back on the 200 uA range, where 500 uA is an overload.
    QCOMPARE(ask(bench.meter, ":MEAS:CURR:DC?"), QByteArray("9.900000E+37"));
    QCOMPARE(ask(bench.meter, ":SYST:ERR?"), QByteArray("-113,\"Undefined header\""));

    bench.source.execute("*RST");
    QCOMPARE(ask(bench.source, ":OUTP1?"), QByteArray("OFF"));
    bench.source.execute(":OUTP1 ON");
    QCOMPARE(ask(bench.meter, ":MEAS:CURR:DC?"), QByteArray("0.000000E+00"));
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

void TestSimInstruments::readingFormat_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("milliamps") << 1.234567e-3 << QByteArray("1.234567E-03");
    QTest::newRow("rounds to 7 digits") << 1.23456789e-7 << QByteArray("1.234568E-07");
    QTest::newRow("rounds up a decade") << 9.9999996e-4 << QByteArray("1.000000E-03");
    QTest::newRow("negative") << -0.5 << QByteArray("-5.000000E-01");
    QTest::newRow("zero") << 0.0 << QByteArray("0.000000E+00");
    QTest::newRow("negative zero") << -0.0 << QByteArray("0.000000E+00");
    QTest::newRow("overload") << 9.9e37 << QByteArray("9.900000E+37");
    QTest::newRow("three-digit exponent") << 1e-300 << QByteArray("1.000000E-300");
}

void TestSimInstruments::readingFormat()
{
    QFETCH(double, value);
    QFETCH(QByteArray, text);
    QCOMPARE(formatReading(value), text);
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
