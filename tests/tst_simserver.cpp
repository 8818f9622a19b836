#include "simprocess/simprocess.h"
#include "simulator.h"
#include "testhome.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace
{

// A client connection to one simulated instrument.
class Client : public QTcpSocket
{
  public:
    Client(const QString& address, const QString& port)
    {
        connectToHost(QHostAddress(address), quint16(port.toUInt()));
        waitForConnected(3000);
    }

    void send(const QByteArray& bytes)
    {
        write(bytes);
        flush();
    }

    // The next line without its line feed, or "<no line>" when none ends in time.
    QByteArray line(int timeoutMs = 3000)
    {
        while (!canReadLine() && waitForReadyRead(timeoutMs)) {
        }
        return canReadLine() ? readLine().chopped(1) : QByteArray("<no line>");
    }
};

ToolRun runSimToEnd(const QStringList& args)
{
    ToolRun run = runTool(kestrelToolPath(u"kestrel-sim"_s), args);
    run.out += run.err; // one stream to look into
    return run;
}

} // namespace

class TestSimServer : public QObject
{
    Q_OBJECT

  private slots:
    void everyConnectionRunsItsLinesInOrder();
    void faultsChangeOnlyTheReplies_data();
    void faultsChangeOnlyTheReplies();
    void smuServesAloneAtTheSource();
    void stepSourceDrivesTheGate_data();
    void stepSourceDrivesTheGate();
    void reportsATakenPortAndEndsOnSigterm();
    void refusesBadCommandLines_data();
    void refusesBadCommandLines();
};

void TestSimServer::everyConnectionRunsItsLinesInOrder()
{
    Simulator sim({u"--max-level"_s, u"2"_s, u"--latency"_s, u"700"_s});
    QVERIFY(sim.start());
    Client first(sim.sourceAddress(), sim.sourcePort());
    first.send("*IDN?\r\n:OUTP1 ON\n\r\n  \n:OUTP1?\r\n:SOUR1:APPL:DC 1,1,-2;:SYST:ERR?\n"
               ":SOUR1:APPL:DC 1,1,2.5\n:SYST:ERR?\n");
    QVERIFY(first.line().startsWith("Kestrel,SIM-SOURCE,"));
    QCOMPARE(first.line(), "ON"_ba);
    QCOMPARE(first.line(), "0,\"No error\""_ba);             // -2 V: within --max-level 2
    QCOMPARE(first.line(), "-222,\"Data out of range\""_ba); // 2.5 V: beyond it

    // A second connection, the first still open, sees the same instrument.
    Client second(sim.sourceAddress(), sim.sourcePort());
    second.send(":outp1?\n");
    QCOMPARE(second.line(), "ON"_ba);

    // A line may come in pieces.
    first.send(":OUTP1 O");
    QTest::qWait(100);
    first.send("FF\n:OUTP");
    QTest::qWait(100);
    first.send("1?\n");
    QCOMPARE(first.line(), "OFF"_ba);

    // A slow reading (--latency 700) holds back the lines after it on its own connection only.
    Client slow(sim.meterAddress(), sim.meterPort());
    Client quick(sim.meterAddress(), sim.meterPort());
    QElapsedTimer clock;
    clock.start();
    slow.send(":MEAS:CURR:DC 2;:BAD\tTAB\n:MEAS:CURR:DC?\n*IDN?\n");
    QTest::qWait(50);
    quick.send("*IDN?\n");
    QVERIFY(quick.line().startsWith("Kestrel,SIM-METER,"));
    QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
    const QByteArray reading = slow.line();
    QVERIFY2(clock.elapsed() >= 700 && reading.contains('E'), reading.constData());
    QVERIFY(slow.line().startsWith("Kestrel,SIM-METER,"));

    // Every line that is not blank, as received, without its line end.
    QTRY_COMPARE(sim.log(),
                 u"source\t*IDN?|source\t:OUTP1 ON|source\t:OUTP1?|"
                 "source\t:SOUR1:APPL:DC 1,1,-2;:SYST:ERR?|source\t:SOUR1:APPL:DC 1,1,2.5|"
                 "source\t:SYST:ERR?|source\t:outp1?|source\t:OUTP1 OFF|source\t:OUTP1?|"
                 "meter\t:MEAS:CURR:DC 2;:BAD\tTAB|meter\t:MEAS:CURR:DC?|meter\t*IDN?|"
                 "meter\t*IDN?"_s.split(u'|'));
}

void TestSimServer::faultsChangeOnlyTheReplies_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("silent") << "silent";
    QTest::newRow("close") << "close";
    QTest::newRow("garbage") << "garbage";
}

// From the meter's 3rd command line on; the 2nd (a range) has no reply to spoil.
void TestSimServer::faultsChangeOnlyTheReplies()
{
    QFETCH(QString, kind);
    Simulator sim({u"--device"_s, u"resistor:1000"_s, u"--noise"_s, u"0"_s, u"--fault"_s,
                   kind + u":meter:3"_s});
    QVERIFY(sim.start());
    Client source(sim.sourceAddress(), sim.sourcePort());
    source.send(":SOUR1:APPL:DC 1,1,1.5;:OUTP1 ON\n");
    Client meter(sim.meterAddress(), sim.meterPort());
    meter.send("*IDN?\n");
    QVERIFY(meter.line().startsWith("Kestrel,SIM-METER,"));
    meter.send(":MEAS:CURR:DC 1\n:MEAS:CURR:DC?\n");

    // The range took effect: 1.5 mA fits 2 mA, where 200 uA would overload.
    const QByteArray reading = "1.500000E-03";
    if (kind == u"silent") {
        QCOMPARE(meter.line(500), "<no line>"_ba);
        QCOMPARE(meter.state(), QAbstractSocket::ConnectedState);
    } else if (kind == u"garbage") {
        QCOMPARE(meter.line(), "#$%garbage"_ba);
    } else {
        meter.waitForDisconnected(3000);
        const QByteArray part = meter.readAll();
        QVERIFY2(!part.isEmpty() && part.size() < reading.size() && reading.startsWith(part),
                 part.constData());
        QCOMPARE(meter.state(), QAbstractSocket::UnconnectedState);
    }
    // The source has no fault.
    source.send(":OUTP1?\n");
    QCOMPARE(source.line(), "ON"_ba);
}

// 1 V on 1 kOhm against the 2450's *RST limit of 105 uA, through the log like any source.
void TestSimServer::smuServesAloneAtTheSource()
{
    Simulator sim(
        {u"--smu"_s, u"keithley-2450"_s, u"--device"_s, u"resistor:1000"_s, u"--noise"_s, u"0"_s});
    QVERIFY(sim.start());
    QCOMPARE(sim.meterPort(), u"0"_s);
    Client smu(sim.sourceAddress(), sim.sourcePort());
    smu.send(":SOUR:VOLT 1;:OUTP ON;:READ?;:SOUR:VOLT:ILIM:TRIP?\n");
    QCOMPARE(smu.line(), "1.050000E-04;1"_ba);
    QTRY_COMPARE(sim.log(),
                 QStringList{u"source\t:SOUR:VOLT 1;:OUTP ON;:READ?;:SOUR:VOLT:ILIM:TRIP?"_s});
}

void TestSimServer::stepSourceDrivesTheGate_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<bool>("gateOn");
    QTest::addColumn<double>("gateVolts");
    QTest::addColumn<double>("drainVolts");
    QTest::addColumn<double>("amps");
    // By hand from the square law; "mosfet" is Vth 1 V, K 2e-3 A/V^2, lambda 0.02 1/V.
    QTest::newRow("cutoff") << u"mosfet"_s << true << 0.5 << 5.0 << 0.0;
    QTest::newRow("triode") << u"mosfet"_s << true << 3.0 << 1.0 << 2e-3 * (2 * 1 - 0.5) * 1.02;
    QTest::newRow("saturation") << u"mosfet"_s << true << 3.0 << 5.0 << 1e-3 * 2 * 2 * 1.1;
    // The drain acts as the source: the gate 4 V above it, Vds 1 V, the current reversed.
    QTest::newRow("negative") << u"mosfet"_s << true << 3.0 << -1.0 << -2e-3 * (3 - 0.5) * 1.02;
    QTest::newRow("gate off") << u"mosfet"_s << false << 3.0 << 5.0 << 0.0;
    QTest::newRow("own values") << u"mosfet:0.5,1e-3,0.1"_s << true << 2.5 << 4.0 << 2e-3 * 1.4;
    QTest::newRow("no gate") << u"resistor:1000"_s << true << 3.0 << 5.0 << 5e-3;
}

// The step source takes the default source's commands and sets the device's gate.
void TestSimServer::stepSourceDrivesTheGate()
{
    QFETCH(QString, device);
    QFETCH(bool, gateOn);
    QFETCH(double, gateVolts);
    QFETCH(double, drainVolts);
    QFETCH(double, amps);
    Simulator sim({u"--device"_s, device, u"--noise=0"_s, u"--step-source=127.0.0.4:0"_s});
    QVERIFY(sim.start());
    Client step(u"127.0.0.4"_s, sim.stepPort());
    const QByteArray output = gateOn ? "ON" : "OFF";
    step.send(":APPL:DC 1,1," + QByteArray::number(gateVolts) + ";:OUTP1 " + output + ";*IDN?\n");
    QVERIFY(step.line().startsWith("Kestrel,SIM-SOURCE,00000003,"));
    Client source(sim.sourceAddress(), sim.sourcePort());
    source.send(":SOUR1:APPL:DC 1,1," + QByteArray::number(drainVolts) + ";:OUTP1 ON;*OPC?\n");
    QCOMPARE(source.line(), "1"_ba);
    Client meter(sim.meterAddress(), sim.meterPort());
    meter.send(":MEAS:CURR:DC 2\n:MEAS:CURR:DC?\n");
    QCOMPARE(meter.line().toDouble(), amps); // 7 digits, as many as the values have
    QVERIFY(sim.log().value(0).startsWith(u"step\t:APPL:DC 1,1,"_s));
}

// A second simulator cannot take its port; an open connection does not keep it alive.
void TestSimServer::reportsATakenPortAndEndsOnSigterm()
{
    kestrel::SimProcess sim;
    QString error;
    QVERIFY2(sim.start(kestrelToolPath(u"kestrel-sim"_s),
                       {u"--source"_s, u"127.0.0.2:0"_s, u"--meter"_s, u"127.0.0.3:0"_s}, 5000,
                       &error),
             qPrintable(error));
    const QString taken = u"127.0.0.2:%1"_s.arg(sim.sourcePort());
    const ToolRun second = runSimToEnd({u"--source"_s, taken, u"--meter"_s, u"127.0.0.3:0"_s});
    QCOMPARE(second.exitCode, 1);
    QVERIFY2(
        second.out.contains(QByteArray("kestrel-sim: source: cannot listen on " + taken.toUtf8())),
        second.out.constData());

    Client client(sim.meterAddress(), QString::number(sim.meterPort()));
    QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(sim.stop(), 0); // -1 if it crashed or had to be killed
}

void TestSimServer::refusesBadCommandLines_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    const QString loopbackOnly = u"only loopback addresses (127.0.0.0/8) are allowed"_s;
    QTest::newRow("any address") << QStringList{"--meter", "0.0.0.0:0"} << loopbackOnly;
    QTest::newRow("lan address") << QStringList{"--meter=192.168.1.2:0"} << loopbackOnly;
    QTest::newRow("unknown fault") << QStringList{"--fault", "loud:meter:1"} << "--fault";
    QTest::newRow("fault from 0") << QStringList{"--fault", "close:meter:0"} << "--fault";
    QTest::newRow("max level 0") << QStringList{"--max-level", "0"} << "--max-level 0: expected";
    QTest::newRow("step dialect") << QStringList{"--step-dialect=siglent-spd"}
                                  << "needs --step-source";
    QTest::newRow("mosfet K 0") << QStringList{"--device", "mosfet:1,0,0"} << "mosfet:VTH,K,LAMBDA";
    QTest::newRow("unknown option") << QStringList{"--bogus", "1"} << "unknown option --bogus";
}

// No listening line that a caller could take for a start.
void TestSimServer::refusesBadCommandLines()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    const ToolRun run = runSimToEnd(args);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.out.startsWith("kestrel-sim: ") && run.out.contains(message.toUtf8()) &&
                 !run.out.contains("listening"),
             run.out.constData());
}

QTEST_GUILESS_MAIN(TestSimServer)
#include "tst_simserver.moc"
