#include "sim/meterinstrument.h"
#include "sim/readingformat.h"
#include "sim/sourceinstrument.h"

#include "data/currentranges.h"

#include <QTest>

#include <clocale>

using namespace kestrel::sim;
using namespace Qt::Literals::StringLiterals;

namespace
{

// Both instruments on a 1 kOhm resistor, without noise.
struct Bench {
    Circuit circuit{std::make_shared<Resistor>(1000.0)};
    SourceInstrument source{circuit};
    MeterInstrument meter{circuit, {0.0, 1}};
};

// The reply line, or "<none>".
QByteArray ask(Instrument& instrument, const QByteArray& line)
{
    return instrument.execute(line).reply.value_or("<none>");
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
    void readingFormatIgnoresTheLocale();
    void refusedSwitchOffKeepsTheOutputOn();
};

void TestSimInstruments::commandsReportErrors_data()
{
    QTest::addColumn<bool>("onMeter");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("error");
    const QByteArray none = "0,\"No error\"", undefined = "-113,\"Undefined header\"",
                     range = "-222,\"Data out of range\"", type = "-104,\"Data type error\"",
                     missing = "-109,\"Missing parameter\"",
                     extra = "-108,\"Parameter not allowed\"",
                     illegal = "-224,\"Illegal parameter value\"";
    const auto row = [](const char* name, bool onMeter, const char* command, const QByteArray& e) {
        QTest::newRow(name) << onMeter << QByteArray(command) << e;
    };
    const bool source = false, meter = true;
    row("apply, short", source, ":SOUR1:APPL:DC 1,1,0.5", none);
    row("apply, defaults", source, ":SOUR:APPL:DC DEF,def,0.5", none);
    row("apply, two values", source, ":SOUR1:APPL:DC 1,1", missing);
    row("apply, level text", source, ":SOUR1:APPL:DC 1,1,abc", type);
    row("apply, comma decimal", source, ":SOUR1:APPL:DC 1,1,0,5", extra);
    row("apply, nan is no number", source, ":SOUR1:APPL:DC 1,1,nan", type);
    row("apply, above 10 V", source, ":SOUR1:APPL:DC 1,1,-10.5", range);
    row("apply, overflow", source, ":SOUR1:APPL:DC 1,1,1e999", range);
    row("apply, abbreviated", source, ":SOURC1:APPL:DC 1,1,0.5", undefined);
    row("apply, channel 2", source, ":SOUR2:APPL:DC 1,1,0.5", undefined);
    row("output, bad value", source, ":OUTP1 MAYBE", illegal);
    row("unknown command", source, ":BOGUS:CMD 1", undefined);
    row("function", meter, ":FUNC:CURR:DC", none);
    row("range 0", meter, ":MEAS:CURR:DC 0", none);
    row("range 6", meter, ":MEAS:CURR:DC 6", range);
    row("range text", meter, ":MEAS:CURR:DC abc", type);
    row("rate X", meter, ":RATE:CURR:DC X", illegal);
    row("reading with a value", meter, ":MEAS:CURR:DC? 2", extra);
}

void TestSimInstruments::commandsReportErrors()
{
    QFETCH(bool, onMeter);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, error);
    Bench bench;
    bench.circuit.levelVolts = 0.25;
    Instrument& target = onMeter ? static_cast<Instrument&>(bench.meter) : bench.source;
    target.execute(command);
    QCOMPARE(ask(target, ":SYST:ERR?"), error);
    if (error != "0,\"No error\"") // a refused command leaves the level as it was
        QCOMPARE(bench.circuit.levelVolts, 0.25);
    QCOMPARE(ask(target, ":SYSTem:ERRor:NEXT?"), "0,\"No error\""_ba);
}

void TestSimInstruments::readingOverloadsBeyondFullScale_data()
{
    QTest::addColumn<QByteArray>("level");
    QTest::addColumn<int>("range");
    QTest::addColumn<QByteArray>("reading");
    QTest::newRow("150 uA on 200 uA") << "0.15"_ba << 0 << "1.500000E-04"_ba;
    QTest::newRow("250 uA on 200 uA") << "0.25"_ba << 0 << "9.900000E+37"_ba;
    QTest::newRow("-250 uA on 200 uA") << "-0.25"_ba << 0 << "9.900000E+37"_ba;
    QTest::newRow("250 uA on 2 mA") << "0.25"_ba << 1 << "2.500000E-04"_ba;
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
    QCOMPARE(ask(bench.meter, ":MEAS:CURR:DC?"), "0.000000E+00"_ba);
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
    QCOMPARE(text, "-1.500000E-03"_ba);
    QCOMPARE(error, "<none>"_ba);
    QCOMPARE(bench.circuit.levelVolts, 0.5);
}

void TestSimInstruments::refusedSwitchOffKeepsTheOutputOn()
{
    Circuit circuit{std::make_shared<Resistor>(1000.0)};
    SourceInstrument source(circuit, SourceInstrument::defaultMaxLevelVolts, 1);
    source.execute(":OUTP1 OFF"); // already off: nothing to refuse
    QCOMPARE(ask(source, ":SYST:ERR?"), "0,\"No error\""_ba);
    source.execute(":OUTP1 ON;:OUTP1 OFF");
    QCOMPARE(ask(source, ":SYST:ERR?"), "-221,\"Settings conflict\""_ba);
    QCOMPARE(ask(source, ":OUTP1?"), "ON"_ba);
    source.execute(":OUTP1 OFF"); // the one refusal is spent
    QCOMPARE(ask(source, ":SYST:ERR?"), "0,\"No error\""_ba);
    QCOMPARE(ask(source, ":OUTP1?"), "OFF"_ba);
}

QTEST_GUILESS_MAIN(TestSimInstruments)
#include "tst_siminstruments.moc"
