// VXI-11 end to end: kestrel-scpi and kestrel-sweep against kestrel-sim --vxi11, an
// independent client (PyVISA-py) against the simulator, and the failures in their limits.
#include "sim/rpcmessage.h"
#include "simulator.h"
#include "testhome.h"

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <memory>
#include <unistd.h>

namespace
{

// Addresses no other test's simulator uses, as port 111 is one per address.
const QStringList vxi11Sim{"--vxi11", "--source", "127.0.0.22:0", "--meter", "127.0.0.23:0"};

#define SKIP_UNLESS_ROOT()                                                                         \
    if (geteuid() != 0)                                                                            \
    QSKIP("port 111 (the portmapper) needs root")

QByteArray words(std::initializer_list<quint32> values)
{
    QByteArray bytes;
    for (quint32 word : values) {
        const quint32 big = qToBigEndian(word);
        bytes.append(reinterpret_cast<const char*>(&big), 4);
    }
    return bytes;
}

// A portmapper GETPORT call for program/version over TCP (protocol 6).
QByteArray getPort(quint32 program, quint32 version)
{
    return words({0x4b455354u, 0u, 2u, 100000u, 2u, 3u, 0u, 0u, 0u, 0u, program, version, 6u, 0u});
}

// The port in a GETPORT reply (after xid, type, status, verifier and accept status).
quint32 portIn(const QByteArray& reply)
{
    return reply.size() == 28 ? qFromBigEndian<quint32>(reply.constData() + 24) : 0xFFFFFFFF;
}

} // namespace

class TestVxi11 : public QObject
{
    Q_OBJECT

  private slots:
    void sweepGivesTheDataOfTheRawSocket();
    void pyvisaTalksToTheSimulator();
    void portmapperAnswersOverUdpAndTcp();
    void failuresComeWithinTheLimit_data();
    void failuresComeWithinTheLimit();
    void hostileHostsAreHeldToTheLimits_data();
    void hostileHostsAreHeldToTheLimits();
    void recordsComeTogetherFromAnyPieces();
};

// The same sweep, with the default noise, once over the raw sockets and once over VXI-11,
// each against a fresh simulator: the same commands give the same readings.
void TestVxi11::sweepGivesTheDataOfTheRawSocket()
{
    SKIP_UNLESS_ROOT();
    // The data file, the CSV file and the simulator's log.
    const auto sweep = [](bool vxi11) {
        Simulator sim(vxi11Sim.mid(vxi11 ? 0 : 1));
        TestHome home;
        home.installRealScript();
        QTemporaryDir files;
        if (!sim.start())
            return QStringList();
        const auto endpoint = [&](const QString& address, const QString& port) -> QString {
            return address + ':' + (vxi11 ? QString("inst0") : port);
        };
        const ToolRun run = runTool(
            kestrelToolPath("sweep/kestrel-sweep"),
            QString("--range 2 --start -1 --stop 2 --steps 6").split(' ') +
                QStringList{"--source", endpoint(sim.sourceAddress(), sim.sourcePort()), "--meter",
                            endpoint(sim.meterAddress(), sim.meterPort()), "--home", home.path(),
                            "--out", files.filePath("iv.txt"), "--csv", files.filePath("iv.csv"),
                            "--store", files.filePath("runs.sqlite")});
        if (run.exitCode != 0)
            qWarning("kestrel-sweep: %s", run.err.constData());
        QTest::qWait(100); // the last command is logged once the simulator has read it
        return QStringList{readWithoutEndpoints(files.filePath("iv.txt")),
                           readWithoutEndpoints(files.filePath("iv.csv"))} +
               sim.log();
    };
    const QStringList raw = sweep(false), vxi11 = sweep(true);
    QVERIFY(raw.value(0).startsWith("[[-1.0, "));
    QVERIFY(raw.value(1).contains("# source identity: Kestrel,SIM-SOURCE,"));
    QCOMPARE(vxi11.size(), 2 + 38);
    QCOMPARE(vxi11, raw);
}

void TestVxi11::pyvisaTalksToTheSimulator()
{
    SKIP_UNLESS_ROOT();
    Simulator sim(vxi11Sim);
    QVERIFY(sim.start());
    // Debian's PyVISA-py is a module of the system's interpreter.
    const ToolRun run = runTool("/usr/bin/python3", {"-c", R"PY(
import pyvisa
instrument = pyvisa.ResourceManager('@py').open_resource('TCPIP0::127.0.0.22::inst0::INSTR')
print(instrument.query('*IDN?').strip())
instrument.write(':OUTP1 ON')
print(instrument.query(':OUTP1?').strip())
instrument.close()
)PY"});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.out, QByteArray("Kestrel,SIM-SOURCE,00000001," KESTREL_VERSION "\nON\n"));
    QCOMPARE(sim.sourceCommands(), QStringList({"*IDN?", ":OUTP1 ON", ":OUTP1?"}));
}

void TestVxi11::portmapperAnswersOverUdpAndTcp()
{
    SKIP_UNLESS_ROOT();
    Simulator sim(vxi11Sim);
    QVERIFY(sim.start());
    const QHostAddress address(sim.sourceAddress());
    QVERIFY(sim.sourceCorePort() != 0);

    QUdpSocket udp;
    udp.writeDatagram(getPort(0x0607AF, 1), address, 111);
    QVERIFY(udp.waitForReadyRead(2000));
    QCOMPARE(portIn(udp.receiveDatagram().data()), sim.sourceCorePort());

    // Over TCP each message has its record mark; a program it does not know has port 0.
    QTcpSocket tcp;
    tcp.connectToHost(address, 111);
    QVERIFY(tcp.waitForConnected(2000));
    for (const auto& [program, port] :
         {std::pair{0x0607AFu, quint32(sim.sourceCorePort())}, std::pair{0x0607B0u, 0u}}) {
        const QByteArray call = getPort(program, 1);
        const quint32 mark = qToBigEndian(0x80000000u | quint32(call.size()));
        tcp.write(QByteArray(reinterpret_cast<const char*>(&mark), 4) + call);
        QByteArray reply;
        while (reply.size() < 32 && tcp.waitForReadyRead(2000))
            reply += tcp.readAll();
        QCOMPARE(qFromBigEndian<quint32>(reply.constData()), 0x8000001Cu);
        QCOMPARE(portIn(reply.sliced(4)), port);
    }
}

void TestVxi11::failuresComeWithinTheLimit_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("reason");
    QTest::addColumn<int>("minMs");
    const auto row = [](const char* name, const QStringList& args, const char* reason, int minMs) {
        QTest::newRow(name) << args << QByteArray(reason) << minMs;
    };
    // No simulator on .24: nothing listens on its port 111.
    row("no portmapper", {"127.0.0.24", "inst0", "*IDN?"},
        "no portmapper on the host: is it a VXI-11 instrument? (raw socket instruments take a "
        "port number)",
        0);
    row("device not there", {"127.0.0.22", "inst5", "*IDN?"},
        "the instrument refused the link to inst5 (device error 3: device not accessible)", 0);
    row("silent source", {"--timeout", "1", "127.0.0.22", "vxi11", "*IDN?"}, "no reply within 1 s",
        1000);
    row("meter closes mid-reply", {"127.0.0.23", "inst0", "*IDN?"},
        "connection closed before the reply ended", 0);
}

void TestVxi11::failuresComeWithinTheLimit()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, reason);
    QFETCH(int, minMs);
    std::unique_ptr<Simulator> sim;
    if (!args.contains("127.0.0.24")) {
        SKIP_UNLESS_ROOT();
        sim = std::make_unique<Simulator>(
            vxi11Sim + QStringList{"--fault", "silent:source:1", "--fault", "close:meter:1"});
        QVERIFY(sim->start());
    }
    const ToolRun run = runScpi(args);
    QCOMPARE(run.err,
             "kestrel-scpi: " + (args[args.size() - 3] + ':' + args[args.size() - 2]).toUtf8() +
                 ": " + reason + '\n');
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.ms >= minMs && run.ms < minMs + 500, qPrintable(QString::number(run.ms)));
}

void TestVxi11::hostileHostsAreHeldToTheLimits_data()
{
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("portmapper drips")
        << QByteArray("the portmapper at 127.0.0.25:111 did not answer within 1 s");
    QTest::newRow("read drips") << QByteArray("no reply within 1 s");
    QTest::newRow("huge read") << QByteArray(
        "reply line longer than 1 MiB (the instrument announced 2147483648 bytes)");
}

// A VXI-11 host on 127.0.0.25, answered by hand: the link and the write as asked, the
// rest as the row's name says. With each limit 1 s, the command ends soon after.
void TestVxi11::hostileHostsAreHeldToTheLimits()
{
    using namespace kestrel::sim::rpc;
    SKIP_UNLESS_ROOT();
    QFETCH(QByteArray, reason);
    const QByteArray fault = QTest::currentDataTag();
    QTcpServer portmapper, core;
    const auto answer = [&](QTcpSocket* socket, const Call& call) {
        const bool getPort = call.program == 100000, read = call.procedure == 12;
        QByteArray result = words({0}); // destroy_link: no error
        if (getPort)
            result = words({core.serverPort()});
        else if (call.procedure == 10) // create_link: link 1, writes of up to 1 KiB
            result = words({0, 1, 0, 1024});
        else if (call.procedure == 11) // device_write: all of it taken
            result = words({0, qFromBigEndian<quint32>(call.arguments.constData() + 16)});
        else if (read) // 2 GiB announced and none sent, or "1\n" with END
            result = fault == "huge read" ? words({0, 4, 0x80000000u})
                                          : words({0, 4, 2}) + QByteArray("1\n\0\0", 4);
        const QByteArray bytes = recordMarked(reply(call.xid, Accept::Success, result));
        if (fault != (getPort ? "portmapper drips" : read ? "read drips" : ""))
            socket->write(bytes);
        else // a byte every 200 ms: each of these replies would take over 6 s
            for (qsizetype i = 0; i < bytes.size(); ++i)
                QTimer::singleShot(200 * i, socket,
                                   [socket, byte = bytes.sliced(i, 1)] { socket->write(byte); });
    };
    for (QTcpServer* server : {&portmapper, &core})
        connect(server, &QTcpServer::newConnection, server, [server, answer] {
            QTcpSocket* socket = server->nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket,
                    [socket, answer, records = std::make_shared<RecordReader>()] {
                        records->feed(socket->readAll());
                        while (const auto message = records->next())
                            if (const auto call = parseCall(*message))
                                answer(socket, *call);
                    });
        });
    QVERIFY(core.listen(QHostAddress("127.0.0.25")) &&
            portmapper.listen(QHostAddress("127.0.0.25"), 111));
    const ToolRun run =
        runScpi({"--connect-timeout", "1", "--timeout", "1", "127.0.0.25", "inst0", ":MEAS:VOLT?"});
    QCOMPARE(run.err, "kestrel-scpi: 127.0.0.25:inst0: " + reason + '\n');
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.ms < 3000, qPrintable(QString::number(run.ms)));
}

// A message in two fragments, the second in the same read as the start of the next
// message, arrives whole and once; a fragment longer than any message is refused.
void TestVxi11::recordsComeTogetherFromAnyPieces()
{
    using kestrel::sim::rpc::RecordReader;
    const auto fragment = [](const QByteArray& bytes, bool last) -> QByteArray {
        const quint32 mark = qToBigEndian((last ? 0x80000000u : 0u) | quint32(bytes.size()));
        return QByteArray(reinterpret_cast<const char*>(&mark), 4) + bytes;
    };
    const QByteArray stream =
        fragment("first ", false) + fragment("message", true) + fragment("second", true);
    RecordReader reader;
    QVERIFY(reader.feed(stream.first(13)));
    QCOMPARE(reader.next(), std::nullopt);
    QVERIFY(reader.feed(stream.sliced(13)));
    QCOMPARE(reader.next(), QByteArray("first message"));
    QCOMPARE(reader.next(), QByteArray("second"));
    QCOMPARE(reader.next(), std::nullopt);
    QVERIFY(!RecordReader().feed(QByteArray::fromHex("80300000")));
}

QTEST_GUILESS_MAIN(TestVxi11)
#include "tst_vxi11.moc"
