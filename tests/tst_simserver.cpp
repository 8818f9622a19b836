#include "simulator.h"
#include "testhome.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>

#include <csignal>

using namespace Qt::Literals::StringLiterals;

namespace
{

// A client connection to one simulated instrument.
class Client
{
  public:
    Client(const QString& address, const QString& port)
    {
        socket_.connectToHost(QHostAddress(address), quint16(port.toUInt()));
        socket_.waitForConnected(3000);
    }

    bool isConnected() const { return socket_.state() == QAbstractSocket::ConnectedState; }

    void send(const QByteArray& bytes)
    {
        socket_.write(bytes);
        socket_.waitForBytesWritten(3000);
    }

    // The next line without its line feed, or "<no line>" when none ends in time.
    QByteArray readLine(int timeoutMs = 3000)
    {
        QElapsedTimer clock;
        clock.start();
        while (!socket_.canReadLine()) {
            const int left = timeoutMs - int(clock.elapsed());
            if (left <= 0 || !socket_.waitForReadyRead(left))
                return "<no line>";
        }
        return socket_.readLine().chopped(1);
    }

    // Everything that arrives until the instrument closes the connection.
    QByteArray readUntilClosed(int timeoutMs = 3000)
    {
        if (socket_.state() != QAbstractSocket::UnconnectedState)
            socket_.waitForDisconnected(timeoutMs);
        return socket_.readAll();
    }

    QByteArray readAvailable(int waitMs)
    {
        socket_.waitForReadyRead(waitMs);
        return socket_.readAll();
    }

  private:
    QTcpSocket socket_;
};

struct SimRun {
    int exitCode;
    QByteArray out;
    QByteArray err;
};

SimRun runSimToEnd(const QStringList& args)
{
    QProcess process;
    process.start(kestrelToolPath(u"kestrel-sim"_s), args);
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished();
        return {-1, {}, "did not end"};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

} // namespace

class TestSimServer : public QObject
{
    Q_OBJECT

  private slots:
    void commandsRunInOrderOnEveryConnection();
    void latencyHoldsBackOnlyItsOwnConnection();
    void logRecordsEveryCommandLine();
    void faultsChangeOnlyTheReplies_data();
    void faultsChangeOnlyTheReplies();
    void endsCleanlyOnSignal_data();
    void endsCleanlyOnSignal();
    void refusesBadCommandLines_data();
    void refusesBadCommandLines();
    void portInUseIsReported();
};

void TestSimServer::commandsRunInOrderOnEveryConnection()
{
    Simulator sim;
    QVERIFY(sim.start());
    Client first(sim.sourceAddress(), sim.sourcePort());
    QVERIFY(first.isConnected());
    first.send("*IDN?\r\n:OUTP1 ON\n:OUTP1?\r\n:SYST:ERR?\n");
    QVERIFY(first.readLine().startsWith("Kestrel,SIM-SOURCE,"));
    QCOMPARE(first.readLine(), "ON"_ba);
    QCOMPARE(first.readLine(), "0,\"No error\""_ba);

    // A second connection, the first still open, sees the same instrument.
    Client second(sim.sourceAddress(), sim.sourcePort());
    second.send(":outp1?\n");
    QCOMPARE(second.readLine(), "ON"_ba);

    // A line may come in pieces.
    first.send(":OUTP1 O");
    QTest::qWait(100);
    first.send("FF\n:OUTP");
    QTest::qWait(100);
    first.send("1?\n");
    QCOMPARE(first.readLine(), "OFF"_ba);

    Client meter(sim.meterAddress(), sim.meterPort());
    meter.send("*IDN?\n");
    QVERIFY(meter.readLine().startsWith("Kestrel,SIM-METER,"));
}

void TestSimServer::latencyHoldsBackOnlyItsOwnConnection()
{
    Simulator sim({u"--latency"_s, u"700"_s});
    QVERIFY(sim.start());
    Client slow(sim.meterAddress(), sim.meterPort());
    Client quick(sim.meterAddress(), sim.meterPort());
    QElapsedTimer clock;
    clock.start();
    slow.send(":MEAS:CURR:DC?\n*IDN?\n");
    QTest::qWait(50);
    quick.send("*IDN?\n");
    QVERIFY(quick.readLine().startsWith("Kestrel,SIM-METER,"));
    QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));

    const QByteArray reading = slow.readLine();
    QVERIFY2(clock.elapsed() >= 700, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(reading.contains('E'), reading.constData());
    // The line after the reading waits for it.
    QVERIFY(slow.readLine().startsWith("Kestrel,SIM-METER,"));
}

void TestSimServer::logRecordsEveryCommandLine()
{
    Simulator sim;
    QVERIFY(sim.start());
    Client source(sim.sourceAddress(), sim.sourcePort());
    Client meter(sim.meterAddress(), sim.meterPort());
    source.send("*IDN?\r\n\r\n  \n:SOUR1:APPL:DC 1,1,0.5\n");
    QVERIFY(source.readLine().startsWith("Kestrel"));
    meter.send(":MEAS:CURR:DC 2;:BAD\tTAB\n");
    QTRY_COMPARE(sim.log().size(), 3);
    source.send(":OUTP1 ON\r\n");
    const QStringList expected{u"source\t*IDN?"_s, u"source\t:SOUR1:APPL:DC 1,1,0.5"_s,
                               u"meter\t:MEAS:CURR:DC 2;:BAD\tTAB"_s, u"source\t:OUTP1 ON"_s};
    QTRY_COMPARE(sim.log(), expected);
    QCOMPARE(sim.sourceCommands(),
             (QStringList{u"*IDN?"_s, u":SOUR1:APPL:DC 1,1,0.5"_s, u":OUTP1 ON"_s}));
    QCOMPARE(sim.meterCommands(), (QStringList{u":MEAS:CURR:DC 2;:BAD\tTAB"_s}));
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
    QVERIFY(meter.readLine().startsWith("Kestrel,SIM-METER,"));
    meter.send(":MEAS:CURR:DC 1\n");
    meter.send(":MEAS:CURR:DC?\n");

    // The range took effect: 1.5 mA fits 2 mA, where 200 uA would overload.
    const QByteArray reading = "1.500000E-03";
    if (kind == u"silent") {
        QCOMPARE(meter.readAvailable(500), QByteArray());
        QVERIFY(meter.isConnected());
    } else if (kind == u"garbage") {
        QCOMPARE(meter.readLine(), "#$%garbage"_ba);
    } else {
        const QByteArray part = meter.readUntilClosed();
        QVERIFY2(!part.isEmpty() && part.size() < reading.size() && reading.startsWith(part),
                 part.constData());
        QVERIFY(!meter.isConnected());
    }
    // The source has no fault.
    source.send(":OUTP1?\n");
    QCOMPARE(source.readLine(), "ON"_ba);
}

void TestSimServer::endsCleanlyOnSignal_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestSimServer::endsCleanlyOnSignal()
{
    QFETCH(int, signalNumber);
    QProcess process;
    process.start(kestrelToolPath(u"kestrel-sim"_s),
                  {u"--source"_s, u"127.0.0.2:0"_s, u"--meter"_s, u"127.0.0.3:0"_s});
    QByteArray output;
    QTRY_VERIFY((output += process.readAllStandardOutput()).contains("meter listening"));
    // An open connection must not keep it alive.
    const QByteArray meterPort = output.sliced(output.lastIndexOf(':') + 1).trimmed();
    Client client(u"127.0.0.3"_s, QString::fromLatin1(meterPort));
    QVERIFY(client.isConnected());
    QVERIFY(::kill(pid_t(process.processId()), signalNumber) == 0);
    QVERIFY(process.waitForFinished(3000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}

void TestSimServer::refusesBadCommandLines_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    const QString loopbackOnly = u"only loopback addresses (127.0.0.0/8) are allowed"_s;
    const QString notAnEndpoint = u"expected IPV4ADDRESS:PORT"_s;
    QTest::newRow("any address") << QStringList{"--meter", "0.0.0.0:0"} << loopbackOnly;
    QTest::newRow("lan address") << QStringList{"--meter=192.168.1.2:0"} << loopbackOnly;
    QTest::newRow("host name") << QStringList{"--source", "localhost:0"} << notAnEndpoint;
    QTest::newRow("ipv6 loopback") << QStringList{"--source", "::1:0"} << notAnEndpoint;
    QTest::newRow("no port") << QStringList{"--source", "127.0.0.2"} << notAnEndpoint;
    QTest::newRow("port too big") << QStringList{"--meter", "127.0.0.3:65536"} << notAnEndpoint;
    QTest::newRow("unknown fault") << QStringList{"--fault", "loud:meter:1"} << "--fault";
    QTest::newRow("unknown instrument") << QStringList{"--fault", "close:both:1"} << "--fault";
    QTest::newRow("fault from 0") << QStringList{"--fault", "close:meter:0"} << "--fault";
    QTest::newRow("unknown device") << QStringList{"--device", "capacitor"} << "capacitor";
    QTest::newRow("negative noise") << QStringList{"--noise", "-1"} << "--noise -1";
    QTest::newRow("max level 0") << QStringList{"--max-level", "0"} << "--max-level 0: expected";
    QTest::newRow("latency text") << QStringList{"--latency", "abc"} << "--latency abc";
    QTest::newRow("seed text") << QStringList{"--seed", "x"} << "--seed x";
    QTest::newRow("missing value") << QStringList{"--log"} << "--log needs a value";
    QTest::newRow("unknown option") << QStringList{"--bogus", "1"} << "unknown option --bogus";
    QTest::newRow("stray argument") << QStringList{"stray"} << "unexpected argument stray";
}

void TestSimServer::refusesBadCommandLines()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    const SimRun run = runSimToEnd(args);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QByteArray());
    QVERIFY2(run.err.startsWith("kestrel-sim: ") && run.err.contains(message.toUtf8()),
             run.err.constData());
}

void TestSimServer::portInUseIsReported()
{
    Simulator sim;
    QVERIFY(sim.start());
    const QString taken = sim.sourceAddress() + u':' + sim.sourcePort();
    const SimRun run = runSimToEnd({u"--source"_s, taken, u"--meter"_s, u"127.0.0.3:0"_s});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(
        run.err.contains(QByteArray("kestrel-sim: source: cannot listen on " + taken.toUtf8())),
        run.err.constData());
}

QTEST_GUILESS_MAIN(TestSimServer)
#include "tst_simserver.moc"
