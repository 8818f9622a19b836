// The whole way an instrument command goes: runShell -> zsh -> sendArbcmd.sh ->
// kestrel-scpi -> kestrel-sim, all on loopback.

#include "data/currentranges.h"
#include "data/numbertext.h"
#include "link/commandline.h"
#include "link/shellrunner.h"
#include "simulator.h"
#include "testhome.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>

#include <cmath>

using namespace kestrel;
using namespace Qt::Literals::StringLiterals;

namespace
{

// The simulator and a home whose sendArbcmd.sh leads to it.
struct Chain {
    explicit Chain(QStringList simArgs = {}) : sim(std::move(simArgs)) {}

    bool start()
    {
        if (!sim.start())
            return false;
        home.installRealScript();
        return !QTest::currentTestFailed();
    }
    QString source(const QString& command) const
    {
        return runShell(
            instrumentCommandLine(home.pat(), sim.sourceAddress(), sim.sourcePort(), command));
    }
    QString meter(const QString& command) const
    {
        return runShell(
            instrumentCommandLine(home.pat(), sim.meterAddress(), sim.meterPort(), command));
    }

    Simulator sim;
    TestHome home;
};

std::optional<double> number(const QString& reply)
{
    const QByteArray text = reply.toLatin1();
    return parseReplyNumber(std::string_view(text.constData(), std::size_t(text.size())));
}

const QStringList exactResistor{u"--device"_s, u"resistor:1000"_s, u"--noise"_s, u"0"_s};

} // namespace

class TestChain : public QObject
{
    Q_OBJECT

  private slots:
    void identifiesBothInstruments();
    void readingMatchesTheResistor_data();
    void readingMatchesTheResistor();
    void diodeConductsOnlyWhenOnAndForward();
    void errorsAreQueuedAndReadBack();
    void tooSmallARangeReadsOverload();
    void closedPortGivesTheErrorLine();
    void faultyInstrument_data();
    void faultyInstrument();
};

void TestChain::identifiesBothInstruments()
{
    Chain chain;
    QVERIFY(chain.start());
    const QString source = chain.source(u"*IDN?"_s);
    const QString meter = chain.meter(u"*IDN?"_s);
    QVERIFY2(source.startsWith(u"Kestrel,SIM-SOURCE,"_s), qPrintable(source));
    QVERIFY2(meter.startsWith(u"Kestrel,SIM-METER,"_s), qPrintable(meter));
    for (const QString& reply : {source, meter}) {
        QVERIFY(reply.endsWith(u'\n'));
        QCOMPARE(reply.count(u'\n'), 1);
    }
    QTRY_COMPARE(chain.sim.log(), (QStringList{u"source\t*IDN?"_s, u"meter\t*IDN?"_s}));
}

void TestChain::readingMatchesTheResistor_data()
{
    QTest::addColumn<QString>("level");
    QTest::addColumn<int>("range");
    QTest::newRow("150 mV") << "0.15" << 0;
    QTest::newRow("rounding residue") << "-5.551115123125783e-17" << 0;
    QTest::newRow("10 uV") << "1e-05" << 0;
    QTest::newRow("-199.9 mV, near full scale") << "-0.1999" << 0;
    QTest::newRow("1.234567891 V on 2 mA") << "1.234567891" << 1;
    QTest::newRow("-7.25 V on 20 mA") << "-7.25" << 2;
}

// With the resistor and no noise the reading is level/1000 to the reply's 7 digits.
void TestChain::readingMatchesTheResistor()
{
    QFETCH(QString, level);
    QFETCH(int, range);
    Chain chain(exactResistor);
    QVERIFY(chain.start());
    QCOMPARE(chain.meter(u":FUNC:CURR:DC"_s), QString());
    QCOMPARE(chain.meter(u":MEAS:CURR:DC %1"_s.arg(range)), QString());
    QCOMPARE(chain.source(u":SOUR1:APPL:DC 1,1,"_s + level), QString());
    QCOMPARE(chain.source(u":OUTP1 ON"_s), QString());

    const QString reply = chain.meter(u":MEAS:CURR:DC?"_s);
    const std::optional<double> amps = number(reply);
    QVERIFY2(amps && reply.endsWith(u'\n'), qPrintable(reply));
    const double expected = *number(level) / 1000.0;
    QVERIFY2(std::abs(*amps - expected) <= 5e-7 * std::abs(expected),
             qPrintable(u"%1 read, %2 expected"_s.arg(reply.trimmed()).arg(expected, 0, 'g', 17)));
    // The level reached the source byte for byte.
    QVERIFY(chain.sim.sourceCommands().contains(u":SOUR1:APPL:DC 1,1,"_s + level));

    QCOMPARE(chain.source(u":OUTP1 OFF"_s), QString());
    QCOMPARE(chain.meter(u":MEAS:CURR:DC?"_s), u"0.000000E+00\n"_s);
}

// The default device, with the default noise: a reading is about zero unless the
// output is on and the diode forward biased past its knee.
void TestChain::diodeConductsOnlyWhenOnAndForward()
{
    Chain chain;
    QVERIFY(chain.start());
    chain.source(u":SOUR1:APPL:DC 1,1,1.0"_s);
    const auto offAtOneVolt = number(chain.meter(u":MEAS:CURR:DC?"_s));
    chain.source(u":OUTP1 ON"_s);
    const auto onAtOneVolt = number(chain.meter(u":MEAS:CURR:DC?"_s));
    chain.source(u":SOUR1:APPL:DC 1,1,0.3"_s);
    const auto onBelowKnee = number(chain.meter(u":MEAS:CURR:DC?"_s));
    chain.source(u":SOUR1:APPL:DC 1,1,-1"_s);
    const auto onReverse = number(chain.meter(u":MEAS:CURR:DC?"_s));

    QVERIFY(offAtOneVolt && onAtOneVolt && onBelowKnee && onReverse);
    // The noise is 20 nA (1e-4 of the 200 uA range); 200 nA is ten times that.
    QVERIFY2(std::abs(*offAtOneVolt) < 200e-9, qPrintable(QString::number(*offAtOneVolt)));
    QVERIFY2(std::abs(*onBelowKnee) < 200e-9, qPrintable(QString::number(*onBelowKnee)));
    QVERIFY2(std::abs(*onReverse) < 200e-9, qPrintable(QString::number(*onReverse)));
    QVERIFY2(*onAtOneVolt > 10e-6 && *onAtOneVolt < 200e-6,
             qPrintable(QString::number(*onAtOneVolt)));
}

void TestChain::errorsAreQueuedAndReadBack()
{
    Chain chain;
    QVERIFY(chain.start());
    QCOMPARE(chain.source(u":BOGUS:CMD 1"_s), QString());
    QCOMPARE(chain.source(u":SYST:ERR?"_s), u"-113,\"Undefined header\"\n"_s);
    QCOMPARE(chain.source(u":SYST:ERR?"_s), u"0,\"No error\"\n"_s);

    QCOMPARE(chain.meter(u":MEAS:CURR:DC 6"_s), QString());
    QCOMPARE(chain.meter(u":SYSTem:ERRor?"_s), u"-222,\"Data out of range\"\n"_s);
    QCOMPARE(chain.meter(u":SYSTem:ERRor?"_s), u"0,\"No error\"\n"_s);
}

void TestChain::tooSmallARangeReadsOverload()
{
    Chain chain(exactResistor);
    QVERIFY(chain.start());
    chain.source(u":SOUR1:APPL:DC 1,1,0.5"_s);
    chain.source(u":OUTP1 ON"_s);
    chain.meter(u":MEAS:CURR:DC 0"_s);
    const auto overload = number(chain.meter(u":MEAS:CURR:DC?"_s));
    QVERIFY(overload);
    QVERIFY(*overload >= overloadReadingAmps);

    chain.meter(u":MEAS:CURR:DC 1"_s);
    QCOMPARE(chain.meter(u":MEAS:CURR:DC?"_s), u"5.000000E-04\n"_s);
}

void TestChain::closedPortGivesTheErrorLine()
{
    TestHome home;
    home.installRealScript();
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress(u"127.0.0.1"_s)));
    const QString port = QString::number(server.serverPort());
    server.close();

    QElapsedTimer clock;
    clock.start();
    const QString reply =
        runShell(instrumentCommandLine(home.pat(), u"127.0.0.1"_s, port, u"*IDN?"_s));
    QCOMPARE(reply, u"kestrel-scpi: 127.0.0.1:%1: connection refused\n"_s.arg(port));
    QVERIFY(clock.elapsed() < 3000);
}

void TestChain::faultyInstrument_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reply"); // %1: the meter's port
    QTest::newRow("silent") << "silent"
                            << "kestrel-scpi: 127.0.0.3:%1: no reply within 1 s\n";
    QTest::newRow("close") << "close"
                           << "kestrel-scpi: 127.0.0.3:%1: connection closed before the reply "
                              "ended\n";
    QTest::newRow("garbage") << "garbage"
                             << "#$%garbage\n";
}

// The meter goes wrong from its 3rd command line on; the source stays healthy.
void TestChain::faultyInstrument()
{
    QFETCH(QString, kind);
    QFETCH(QString, reply);
    Chain chain({u"--fault"_s, kind + u":meter:3"_s});
    QVERIFY(chain.sim.start());
    // A short reply limit keeps the silent case quick.
    chain.home.installScript("#!/bin/sh\nexec '" + kestrelToolPath(u"kestrel-scpi"_s).toUtf8() +
                             "' --timeout 1 -- \"$@\"\n");

    QVERIFY(chain.meter(u"*IDN?"_s).startsWith(u"Kestrel,SIM-METER,"_s));
    QVERIFY(number(chain.meter(u":MEAS:CURR:DC?"_s)));
    QElapsedTimer clock;
    clock.start();
    const QString third = chain.meter(u":MEAS:CURR:DC?"_s);
    QCOMPARE(third, reply.arg(chain.sim.meterPort()));
    QVERIFY(!number(third));
    QVERIFY(clock.elapsed() < 3000);
    QCOMPARE(chain.meter(u"*IDN?"_s), reply.arg(chain.sim.meterPort()));
    QVERIFY(chain.source(u"*IDN?"_s).startsWith(u"Kestrel,SIM-SOURCE,"_s));
}

QTEST_GUILESS_MAIN(TestChain)
#include "tst_chain.moc"
