// kestrel-scpi over serial lines: kestrel-sim's pseudo-terminals against its sockets,
// and the ways an exchange fails.
#include "scpi/seriallink.h"
#include "scpi/target.h"
#include "scpi/writeall.h"
#include "simulator.h"
#include "testhome.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace
{

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

} // namespace

class TestSerial : public QObject
{
    Q_OBJECT

  private slots:
    void answersAsOverTheSocket();
    void sweepWritesTheSameData();
    void failuresSayWhy_data();
    void failuresSayWhy();
    void repliesOnATerminalShowEscaped();
    void writeAllSendsEveryByteByTheDeadline();
};

void TestSerial::answersAsOverTheSocket()
{
    Simulator sim({"--serial", "--noise", "0", "--fault", "close:source:4"});
    QVERIFY(sim.start());
    QVERIFY(sim.sourceSerial().startsWith("/dev/pts/") && sim.meterSerial() != sim.sourceSerial());
    for (const char* command : {"*IDN?", ":MEAS:CURR:DC?"}) {
        const ToolRun socket = runScpi({sim.meterAddress(), sim.meterPort(), command});
        const ToolRun serial = runScpi({sim.meterSerial(), "115200,8N1", command});
        QCOMPARE(serial.err, QByteArray());
        QCOMPARE(serial.out, socket.out);
    }
    QCOMPARE(runScpi({sim.sourceSerial(), "9600", ":OUTP1 ON"}).exitCode, 0);
    QCOMPARE(runScpi({sim.sourceSerial(), "9600", ":OUTP1?"}).out, QByteArray("ON\n"));

    // On the line itself: replies end in CR LF; the close fault stops one short, and
    // the line stays open.
    const int fd = open(qPrintable(sim.sourceSerial()), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    const QByteArray identity = "Kestrel,SIM-SOURCE,00000001," KESTREL_VERSION;
    QCOMPARE(write(fd, "*IDN?\n*IDN?\r\n*CLS\n", 19), 19);
    QCOMPARE(readFor(fd, 300), QByteArray(identity + "\r\n" + identity.first(identity.size() / 2)));
    close(fd);
    QTRY_COMPARE(sim.sourceCommands(),
                 QStringList({":OUTP1 ON", ":OUTP1?", "*IDN?", "*IDN?", "*CLS"}));
}

void TestSerial::sweepWritesTheSameData()
{
    Simulator sim({"--serial", "--device", "resistor:1000", "--noise", "0"});
    QVERIFY(sim.start());
    TestHome home;
    home.installRealScript();
    QTemporaryDir files;
    const auto sweep = [&](const QString& name, const QString& source, const QString& meter) {
        const QString out = files.filePath(name + ".txt"), csv = files.filePath(name + ".csv");
        const ToolRun run = runTool(kestrelToolPath("sweep/kestrel-sweep"),
                                    QString("--range 2 --start -1 --stop 1 --steps 4").split(' ') +
                                        QStringList{"--source", source, "--meter", meter, "--home",
                                                    home.path(), "--out", out, "--csv", csv,
                                                    "--store", files.filePath("runs.sqlite")});
        return QStringList{QString::number(run.exitCode), run.out, readWithoutEndpoints(out),
                           readWithoutEndpoints(csv)};
    };
    const QStringList socket = sweep("socket", sim.sourceAddress() + ':' + sim.sourcePort(),
                                     sim.meterAddress() + ':' + sim.meterPort());
    const QStringList serial =
        sweep("serial", sim.sourceSerial() + ":115200", sim.meterSerial() + ":9600,8N1");
    QCOMPARE(socket[0], "0");
    QCOMPARE(socket[2],
             "[[-1.0, -0.001], [-0.5, -0.0005], [0.0, 0.0], [0.5, 0.0005], [1.0, 0.001]]\n");
    QCOMPARE(serial, socket);
}

void TestSerial::failuresSayWhy_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QByteArray>("farEnd"); // what happens on the far end of the line
    QTest::addColumn<QByteArray>("failure");
    const auto row = [](const char* name, const char* port, const char* farEnd, const char* why) {
        QTest::newRow(name) << QString(port) << QByteArray(farEnd) << QByteArray(why);
    };
    row("silent", "9600", "silent", "no reply within 0.3 s");
    row("hang-up mid-reply", "9600", "hang up", "the serial port hung up before the reply ended");
    // A pseudo-terminal is always 8 data bits without parity.
    row("framing it cannot do", "9600,7E1", "", "the serial port does not take 9600,7E1");
    row("held", "9600", "locked", "the serial port is in use by another program");
    row("a plain file", "9600", "file", "not a serial port");
    row("echo", "9600", "echo",
        "the serial line echoed the command back: switch the instrument's echo off, or check "
        "that the cable does not join TX to RX");
}

// On a pseudo-terminal of the test's own, or a file.
void TestSerial::failuresSayWhy()
{
    QFETCH(QString, port);
    QFETCH(QByteArray, farEnd);
    QFETCH(QByteArray, failure);
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    QTemporaryDir dir;
    std::optional<kestrel::scpi::Target> target =
        kestrel::scpi::parseTarget(ptsname(master), port.toStdString(), nullptr);
    QVERIFY(target);
    if (farEnd == "file") {
        target->device = dir.filePath("ttyFile").toStdString();
        QVERIFY(QFile(dir.filePath("ttyFile")).open(QIODevice::WriteOnly));
    }
    // Held open here too, so the line is up before the exchange opens it.
    const int held = open(target->device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(held >= 0 && (farEnd != "locked" || flock(held, LOCK_EX) == 0));
    kestrel::scpi::Options options;
    options.command = "*IDN?";
    options.connectSeconds = options.replySeconds = 0.3;
    QElapsedTimer clock;
    clock.start();
    auto exchange = std::async(std::launch::async,
                               [&] { return kestrel::scpi::serialExchange(*target, options); });
    if (farEnd == "hang up" || farEnd == "echo") {
        QCOMPARE(readFor(master, 2000, "\n"), QByteArray("*IDN?\n"));
        const QByteArray answer = farEnd == "echo" ? "*IDN?\r\n" : "Kest";
        QCOMPARE(write(master, answer.constData(), answer.size()), answer.size());
    }
    if (farEnd == "hang up") {
        QTest::qWait(50);
        close(std::exchange(master, -1));
    }
    const kestrel::scpi::Exchange result = exchange.get();
    close(held);
    close(master);
    QCOMPARE(QByteArray::fromStdString(result.failure), failure);
    const bool waits = farEnd == "silent" || farEnd == "locked";
    QVERIFY2(clock.elapsed() < 1000 && (!waits || clock.elapsed() >= 300),
             qPrintable(QString::number(clock.elapsed())));
    if (farEnd == "file")
        QCOMPARE(QFileInfo(dir.filePath("ttyFile")).size(), 0);
}

// kestrel-scpi's standard output on a pipe and on a terminal (a pseudo-terminal of the
// test's own): controls are escaped only where a terminal would obey them.
void TestSerial::repliesOnATerminalShowEscaped()
{
    int ends[4]; // the instrument's line, then the screen: each master, then its far end
    for (int i : {0, 2}) {
        ends[i] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(ends[i] >= 0 && grantpt(ends[i]) == 0 && unlockpt(ends[i]) == 0);
        ends[i + 1] = open(ptsname(ends[i]), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    for (bool onTerminal : {false, true}) {
        auto farEnd = std::async(std::launch::async, [&] {
            readFor(ends[0], 2000, "\n");
            return write(ends[0],
                         "1\x1b[2J\xc2\x9b"
                         "5\r\n",
                         10);
        });
        QProcess scpi;
        if (onTerminal)
            scpi.setChildProcessModifier([screen = ends[3]] { dup2(screen, STDOUT_FILENO); });
        scpi.start(kestrelToolPath("kestrel-scpi"), {ptsname(ends[0]), "9600", ":MEAS:VOLT?"});
        QVERIFY(scpi.waitForFinished(5000) && farEnd.get() == 10);
        // The terminal itself makes the line feed CR LF.
        QCOMPARE(onTerminal ? readFor(ends[2], 1000, "\n") : scpi.readAllStandardOutput(),
                 onTerminal ? QByteArray(R"(1\x1b[2J\x9b5)"
                                         "\r\n")
                            : QByteArray("1\x1b[2J\xc2\x9b"
                                         "5\n"));
    }
    for (int fd : ends)
        close(fd);
}

// Far more than a port's buffer holds at once goes in parts as the far end reads; with
// nothing read, the write stops at the deadline and says so. A pipe stands for the port.
void TestSerial::writeAllSendsEveryByteByTheDeadline()
{
    using namespace kestrel::scpi;
    int ends[2];
    QVERIFY(pipe2(ends, O_NONBLOCK) == 0);
    const auto error = [](int) { return std::string("error"); };
    std::string failure;
    QVERIFY(!writeAll(ends[1], Descriptor::Device, std::string(1 << 20, 'x'), deadlineAfter(0.05),
                      "timed out", error, failure));
    QCOMPARE(failure, std::string("timed out"));
    fcntl(ends[0], F_SETFL, 0);                    // the reader blocks
    auto ys = std::async(std::launch::async, [&] { // what arrives of the second write
        std::size_t count = 0;
        char chunk[65536];
        for (ssize_t n; (n = read(ends[0], chunk, sizeof chunk)) > 0;)
            count += std::size_t(std::count(chunk, chunk + n, 'y'));
        return count;
    });
    const std::string data(4 << 20, 'y');
    const bool written =
        writeAll(ends[1], Descriptor::Device, data, deadlineAfter(10), "timed out", error, failure);
    close(ends[1]);
    QVERIFY2(written, failure.c_str());
    QCOMPARE(ys.get(), data.size());
    close(ends[0]);
}

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
