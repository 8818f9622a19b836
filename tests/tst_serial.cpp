// kestrel-scpi over serial lines: kestrel-sim's pseudo-terminals, a port another
// program holds, a file that is no port, and a line that hangs up mid-reply.
#include "scpi/seriallink.h"
#include "simulator.h"
#include "testhome.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <future>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

namespace
{

ToolRun runScpi(const QStringList& args)
{
    return runTool(kestrelToolPath("kestrel-scpi"), args);
}

// What arrives on fd within ms, or until `until` has arrived.
QByteArray readFor(int fd, int ms, const QByteArray& until = {})
{
    QByteArray received;
    char chunk[256];
    pollfd p{fd, POLLIN, 0};
    while ((until.isEmpty() || !received.endsWith(until)) && poll(&p, 1, ms) > 0) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        received.append(chunk, n);
    }
    return received;
}

// The CSV without the lines that name the endpoints and the times.
QByteArray withoutEndpointsAndTimes(const QByteArray& csv)
{
    QByteArray kept;
    for (const QByteArray& line : csv.split('\n'))
        if (!line.startsWith("# taken:") && !line.startsWith("# ended:") &&
            !line.startsWith("# source:") && !line.startsWith("# meter:"))
            kept += line + '\n';
    return kept;
}

} // namespace

class TestSerial : public QObject
{
    Q_OBJECT

  private slots:
    void answersAsOverTheSocket();
    void sweepWritesTheSameData();
    void linesEndInCrLfAndACloseFaultStopsShort();
    void failuresSayWhy();
    void aHeldPortIsInUse();
    void aFileIsNotASerialPort();
    void aHangUpEndsTheReply();
};

void TestSerial::answersAsOverTheSocket()
{
    Simulator sim({"--serial", "--noise", "0"});
    QVERIFY(sim.start());
    QVERIFY(sim.sourceSerial().startsWith("/dev/pts/") && sim.meterSerial() != sim.sourceSerial());
    for (const char* command : {"*IDN?", ":MEAS:CURR:DC?"}) {
        const ToolRun socket = runScpi({sim.meterAddress(), sim.meterPort(), command});
        const ToolRun serial = runScpi({sim.meterSerial(), "115200,8N1", command});
        QCOMPARE(serial.err, QByteArray());
        QCOMPARE(serial.out, socket.out);
        QVERIFY(serial.out.endsWith("\n") && !serial.out.contains('\r'));
    }
    QCOMPARE(runScpi({sim.sourceSerial(), "9600", ":OUTP1 ON"}).exitCode, 0);
    QCOMPARE(runScpi({sim.sourceSerial(), "9600", ":OUTP1?"}).out, QByteArray("ON\n"));
    QTRY_COMPARE(sim.sourceCommands(), QStringList({":OUTP1 ON", ":OUTP1?"}));
}

void TestSerial::sweepWritesTheSameData()
{
    Simulator sim({"--serial", "--device", "resistor:1000", "--noise", "0"});
    QVERIFY(sim.start());
    TestHome home;
    home.installRealScript();
    QTemporaryDir files;
    const auto sweep = [&](const QString& name, const QString& source, const QString& meter) {
        const ToolRun run = runTool(kestrelToolPath("sweep/kestrel-sweep"),
                                    {"--source", source,
                                     "--meter",  meter,
                                     "--home",   home.path(),
                                     "--range",  "2",
                                     "--start",  "-1",
                                     "--stop",   "1",
                                     "--steps",  "4",
                                     "--out",    files.filePath(name + ".txt"),
                                     "--csv",    files.filePath(name + ".csv"),
                                     "--store",  files.filePath("runs.sqlite")});
        QFile txt(files.filePath(name + ".txt")), csv(files.filePath(name + ".csv"));
        return QByteArrayList{
            QByteArray::number(run.exitCode), run.out,
            txt.open(QIODevice::ReadOnly) ? txt.readAll() : "<missing>",
            csv.open(QIODevice::ReadOnly) ? withoutEndpointsAndTimes(csv.readAll()) : "<missing>"};
    };
    const QByteArrayList socket = sweep("socket", sim.sourceAddress() + ':' + sim.sourcePort(),
                                        sim.meterAddress() + ':' + sim.meterPort());
    const QByteArrayList serial =
        sweep("serial", sim.sourceSerial() + ":115200", sim.meterSerial() + ":9600,8N1");
    QCOMPARE(socket[0], QByteArray("0"));
    QCOMPARE(socket[2], QByteArray("[[-1.0, -0.001], [-0.5, -0.0005], [0.0, 0.0], [0.5, 0.0005], "
                                   "[1.0, 0.001]]\n"));
    QCOMPARE(serial, socket);
}

void TestSerial::linesEndInCrLfAndACloseFaultStopsShort()
{
    Simulator sim({"--serial", "--fault", "close:source:2"});
    QVERIFY(sim.start());
    const int fd = open(qPrintable(sim.sourceSerial()), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    const QByteArray identity = "Kestrel,SIM-SOURCE,00000001," KESTREL_VERSION;
    QCOMPARE(write(fd, "*IDN?\n", 6), 6);
    QCOMPARE(readFor(fd, 2000, "\r\n"), QByteArray(identity + "\r\n"));
    QCOMPARE(write(fd, "*IDN?\r\n", 7), 7);
    QCOMPARE(readFor(fd, 300), QByteArray(identity.first(identity.size() / 2)));
    // The line stays: the next command still arrives.
    QCOMPARE(write(fd, "*CLS\n", 5), 5);
    QTRY_COMPARE(sim.sourceCommands(), QStringList({"*IDN?", "*IDN?", "*CLS"}));
    close(fd);
}

void TestSerial::failuresSayWhy()
{
    Simulator sim({"--serial", "--fault", "silent:meter:1"});
    QVERIFY(sim.start());
    const QByteArray meter = sim.meterSerial().toUtf8();
    const auto check = [&](const QByteArray& port, const QByteArray& reason) {
        const ToolRun run = runScpi({"--timeout", "0.5", meter, port, "*IDN?"});
        QCOMPARE(run.err, QByteArray("kestrel-scpi: " + meter + ':' + port + ": " + reason + '\n'));
        QCOMPARE(run.exitCode, 1);
    };
    check("9600", "no reply within 0.5 s");
    // A pseudo-terminal is always 8 data bits without parity.
    check("9600,7E1", "the serial port does not take 9600,7E1");
}

void TestSerial::aHeldPortIsInUse()
{
    Simulator sim({"--serial"});
    QVERIFY(sim.start());
    const int fd = open(qPrintable(sim.sourceSerial()), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(fd >= 0 && flock(fd, LOCK_EX) == 0);
    const ToolRun run =
        runScpi({"--connect-timeout", "0.5", sim.sourceSerial(), "9600", ":OUTP1 ON"});
    close(fd);
    QCOMPARE(run.err, QByteArray("kestrel-scpi: " + sim.sourceSerial().toUtf8() +
                                 ":9600: the serial port is in use by another program\n"));
    QVERIFY2(run.ms >= 500 && run.ms < 1500, qPrintable(QString::number(run.ms)));
    QTest::qWait(100);
    QCOMPARE(sim.sourceCommands(), QStringList());
    // Free again, the next command gets through.
    QCOMPARE(runScpi({sim.sourceSerial(), "9600", ":OUTP1 ON"}).exitCode, 0);
}

void TestSerial::aFileIsNotASerialPort()
{
    QTemporaryDir dir;
    QFile file(dir.filePath("ttyFile"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    kestrel::scpi::Target target;
    target.transport = kestrel::scpi::Transport::Serial;
    target.device = file.fileName().toStdString();
    const kestrel::scpi::Exchange result = kestrel::scpi::serialExchange(target, {});
    QCOMPARE(result.failure, std::string("not a serial port"));
    QCOMPARE(file.size(), 0);
}

// The far end of the line goes away after part of the reply.
void TestSerial::aHangUpEndsTheReply()
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    kestrel::scpi::Target target;
    target.transport = kestrel::scpi::Transport::Serial;
    target.device = ptsname(master);
    // Held open here too, so the line is not hung up before the exchange opens it.
    const int terminal = open(target.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(terminal >= 0);
    kestrel::scpi::Options options;
    options.command = "*IDN?";
    auto exchange = std::async(std::launch::async,
                               [&] { return kestrel::scpi::serialExchange(target, options); });
    QCOMPARE(readFor(master, 2000, "\n"), QByteArray("*IDN?\n"));
    QCOMPARE(write(master, "Kest", 4), 4);
    QTest::qWait(100);
    close(master);
    const bool ended = exchange.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    close(terminal);
    QVERIFY(ended);
    QCOMPARE(exchange.get().failure, std::string("the serial port hung up before the reply ended"));
}

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
