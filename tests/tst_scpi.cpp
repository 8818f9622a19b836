#include "testhome.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

struct ToolRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    qint64 ms = 0;
};

// Runs kestrel-scpi while this thread's event loop keeps serving the test's servers.
ToolRun runScpi(const QStringList& args)
{
    ToolRun run;
    QProcess process;
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    process.start(kestrelToolPath(QStringLiteral("kestrel-scpi")), args);
    if (!process.waitForStarted()) {
        run.err = process.errorString().toUtf8();
        return run;
    }
    loop.exec();
    run.ms = clock.elapsed();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        run.err = "still running after 20 s";
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// A stand-in instrument on 127.0.0.1: records what arrives and, once the first line
// is complete, sends the given pieces one by one, a pause between them, and then
// optionally closes. No pieces: stays silent.
class ScriptedInstrument : public QObject
{
  public:
    explicit ScriptedInstrument(QList<QByteArray> pieces = {}, bool closeAfter = false)
        : pieces_(std::move(pieces)), closeAfter_(closeAfter)
    {
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            socket_ = server_.nextPendingConnection();
            connect(socket_, &QTcpSocket::readyRead, this, &ScriptedInstrument::read);
        });
        server_.listen(QHostAddress(QStringLiteral("127.0.0.1")));
    }

    QString port() const { return QString::number(server_.serverPort()); }
    QByteArray received() const { return received_; }

  private:
    void read()
    {
        received_ += socket_->readAll();
        if (!answering_ && received_.contains('\n') && (!pieces_.isEmpty() || closeAfter_)) {
            answering_ = true;
            sendNext();
        }
    }

    void sendNext()
    {
        if (pieces_.isEmpty()) {
            if (closeAfter_)
                socket_->disconnectFromHost();
            return;
        }
        socket_->write(pieces_.takeFirst());
        socket_->flush();
        QTimer::singleShot(100, this, &ScriptedInstrument::sendNext);
    }

    QTcpServer server_;
    QTcpSocket* socket_ = nullptr;
    QList<QByteArray> pieces_;
    bool closeAfter_;
    bool answering_ = false;
    QByteArray received_;
};

QByteArray errorLine(const QString& port, const char* reason)
{
    return "kestrel-scpi: 127.0.0.1:" + port.toUtf8() + ": " + reason + '\n';
}

} // namespace

class TestScpi : public QObject
{
    Q_OBJECT

  private slots:
    void replyArrivesAsOneLine_data();
    void replyArrivesAsOneLine();
    void commandIsDeliveredWithoutWaitingForAReply_data();
    void commandIsDeliveredWithoutWaitingForAReply();
    void brokenRepliesEndWithinTheLimit_data();
    void brokenRepliesEndWithinTheLimit();
    void fullBacklogHitsTheConnectLimit();
    void portMustBeAPortNumber_data();
    void portMustBeAPortNumber();
};

void TestScpi::replyArrivesAsOneLine_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QByteArray>("printed");
    QTest::newRow("one write") << QList<QByteArray>{"Kestrel,SIM\n"} << QByteArray("Kestrel,SIM\n");
    QTest::newRow("crlf") << QList<QByteArray>{"1.000000E-03\r\n"} << QByteArray("1.000000E-03\n");
    QTest::newRow("two segments") << QList<QByteArray>{"1.2345", "67E-03\n"}
                                  << QByteArray("1.234567E-03\n");
    QTest::newRow("crlf split between segments")
        << QList<QByteArray>{"ON\r", "\n"} << QByteArray("ON\n");
    QTest::newRow("only the first line")
        << QList<QByteArray>{"first\nsecond\n"} << QByteArray("first\n");
    QTest::newRow("empty line") << QList<QByteArray>{"\r\n"} << QByteArray("\n");
    QTest::newRow("inner carriage return kept")
        << QList<QByteArray>{"a\rb\r\n"} << QByteArray("a\rb\n");
}

void TestScpi::replyArrivesAsOneLine()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QByteArray, printed);
    ScriptedInstrument instrument(pieces);
    const ToolRun run = runScpi({QStringLiteral("127.0.0.1"), instrument.port(), "*IDN?"});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, printed);
    QCOMPARE(instrument.received(), QByteArray("*IDN?\n"));
}

void TestScpi::commandIsDeliveredWithoutWaitingForAReply_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("delivered");
    QTest::newRow("command") << QStringList{"127.0.0.1", "PORT", ":OUTP1 ON"}
                             << QByteArray(":OUTP1 ON\n");
    QTest::newRow("after --, starting with -")
        << QStringList{"--", "127.0.0.1", "PORT", "-5 volts"} << QByteArray("-5 volts\n");
    QTest::newRow("option after the operands")
        << QStringList{"127.0.0.1", "PORT", "--timeout=2", ":SOUR1:APPL:DC 1,1,0.5"}
        << QByteArray(":SOUR1:APPL:DC 1,1,0.5\n");
}

// The instrument never answers; a command without '?' must not wait for it.
void TestScpi::commandIsDeliveredWithoutWaitingForAReply()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, delivered);
    ScriptedInstrument instrument;
    args.replace(args.indexOf(QStringLiteral("PORT")), instrument.port());
    const ToolRun run = runScpi(args);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray());
    QVERIFY2(run.ms < 2000, qPrintable(QString::number(run.ms)));
    QTRY_COMPARE(instrument.received(), delivered);
}

void TestScpi::brokenRepliesEndWithinTheLimit_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<bool>("closeAfter");
    QTest::addColumn<QByteArray>("reason");
    QTest::addColumn<int>("minMs");
    const QByteArray rawPort = "; use the instrument's raw socket port (often 5025 or 5555)";
    const QByteArray telnet = "the port answers like a telnet console, not a raw SCPI socket";
    const QByteArray echo = "the port echoed the command back, as a telnet console does";
    QTest::newRow("half a line, then silent")
        << QList<QByteArray>{"1.23"} << false << QByteArray("no reply within 1 s") << 1000;
    QTest::newRow("closed without a reply")
        << QList<QByteArray>{} << true << QByteArray("connection closed before the reply ended")
        << 0;
    QTest::newRow("no line feed in 1 MiB") << QList<QByteArray>{QByteArray(1 << 20, 'x')} << false
                                           << QByteArray("reply line longer than 1 MiB") << 0;
    QTest::newRow("telnet IAC DO, split")
        << QList<QByteArray>{"\xff", "\xfd\x18"} << false << telnet + rawPort << 0;
    QTest::newRow("command echoed")
        << QList<QByteArray>{"*IDN?\r\n"} << false << echo + rawPort << 0;
}

void TestScpi::brokenRepliesEndWithinTheLimit()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(bool, closeAfter);
    QFETCH(QByteArray, reason);
    QFETCH(int, minMs);
    ScriptedInstrument instrument(pieces, closeAfter);
    const ToolRun run =
        runScpi({"--timeout", "1", QStringLiteral("127.0.0.1"), instrument.port(), "*IDN?"});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(run.err, errorLine(instrument.port(), reason));
    QVERIFY2(run.ms >= minMs && run.ms < 2500, qPrintable(QString::number(run.ms)));
}

// With its accept queue full, a listener drops further connection requests, so
// connecting neither succeeds nor fails until the limit.
void TestScpi::fullBacklogHitsTheConnectLimit()
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    QVERIFY(bind(listener, reinterpret_cast<sockaddr*>(&address), size) == 0);
    QVERIFY(listen(listener, 0) == 0);
    QVERIFY(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) == 0);
    const QString port = QString::number(ntohs(address.sin_port));
    QTcpSocket filler;
    filler.connectToHost(QHostAddress(QStringLiteral("127.0.0.1")), ntohs(address.sin_port));
    QVERIFY(filler.waitForConnected(2000));

    const ToolRun run =
        runScpi({"--connect-timeout", "0.5", QStringLiteral("127.0.0.1"), port, "*IDN?"});
    close(listener);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.err, errorLine(port, "no connection within 0.5 s"));
    QVERIFY2(run.ms >= 500 && run.ms < 2000, qPrintable(QString::number(run.ms)));
}

void TestScpi::portMustBeAPortNumber_data()
{
    QTest::addColumn<QString>("port");
    QTest::newRow("letters") << "x1";
    QTest::newRow("zero") << "0";
    QTest::newRow("too big") << "65536";
    QTest::newRow("empty") << "";
    QTest::newRow("fraction") << "55.5";
}

void TestScpi::portMustBeAPortNumber()
{
    QFETCH(QString, port);
    const ToolRun run = runScpi({"--", QStringLiteral("127.0.0.1"), port, "*IDN?"});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(run.err, errorLine(port, "not a port number"));
}

QTEST_GUILESS_MAIN(TestScpi)
#include "tst_scpi.moc"
