#include "scpi/printablebytes.h"
#include "scpi/target.h"
#include "testhome.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

namespace
{

// A stand-in instrument on 127.0.0.1: records what arrives and, once the first line is
// complete, sends the pieces one by one, 100 ms apart; an empty piece closes the
// connection. No pieces: stays silent.
class ScriptedInstrument : public QTcpServer
{
  public:
    explicit ScriptedInstrument(QList<QByteArray> pieces = {}) : pieces_(std::move(pieces))
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            socket_ = nextPendingConnection();
            connect(socket_, &QTcpSocket::readyRead, this, [this] {
                const bool lineWasComplete = received.contains('\n');
                received += socket_->readAll();
                if (!lineWasComplete && received.contains('\n'))
                    sendNext();
            });
        });
        listen(QHostAddress::LocalHost);
    }

    QString port() const { return QString::number(serverPort()); }
    QByteArray received;

  private:
    void sendNext()
    {
        if (pieces_.isEmpty())
            return;
        const QByteArray piece = pieces_.takeFirst();
        if (piece.isEmpty()) {
            socket_->disconnectFromHost();
            return;
        }
        socket_->write(piece);
        QTimer::singleShot(100, this, &ScriptedInstrument::sendNext);
    }

    QTcpSocket* socket_ = nullptr;
    QList<QByteArray> pieces_;
};

QByteArray errorLine(const QString& port, const QByteArray& reason)
{
    return "kestrel-scpi: 127.0.0.1:" + port.toUtf8() + ": " + reason + '\n';
}

} // namespace

class TestScpi : public QObject
{
    Q_OBJECT

  private slots:
    void replyLineOrWhyNot_data();
    void replyLineOrWhyNot();
    void fullBacklogHitsTheConnectLimit();
    void badArgumentsAreRefused_data();
    void badArgumentsAreRefused();
    void messagesShowControlsEscaped_data();
    void messagesShowControlsEscaped();
};

void TestScpi::replyLineOrWhyNot_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QByteArray>("printed");
    QTest::addColumn<QByteArray>("reason"); // on standard error; empty when it worked
    QTest::addColumn<QStringList>("args");  // PORT stands for the instrument's port
    const auto row =
        [](const char* name, const QList<QByteArray>& pieces, const QByteArray& printed,
           const QByteArray& reason = {},
           const QStringList& args = {"--timeout", "1", "127.0.0.1", "PORT", "*IDN?"}) {
            QTest::newRow(name) << pieces << printed << reason << args;
        };
    row("one write", {"Kestrel,SIM\n"}, "Kestrel,SIM\n");
    row("crlf", {"1.000000E-03\r\n"}, "1.000000E-03\n");
    row("two segments", {"1.2345", "67E-03\n"}, "1.234567E-03\n");
    row("crlf split between segments", {"ON\r", "\n"}, "ON\n");
    row("only the first line", {"first\nsecond\n"}, "first\n");
    row("empty line", {"\r\n"}, "\n");
    row("inner carriage return kept", {"a\rb\r\n"}, "a\rb\n");
    row("half a line, then silent", {"1.23"}, {}, "no reply within 1 s");
    row("closed without a reply", {""}, {}, "connection closed before the reply ended");
    row("no line feed in 1 MiB", {QByteArray(1 << 20, 'x')}, {}, "reply line longer than 1 MiB");
    const QByteArray rawPort = "; use the instrument's raw socket port (often 5025 or 5555)";
    row("telnet IAC DO, split", {"\xff", "\xfd\x18"}, {},
        "the port answers like a telnet console, not a raw SCPI socket" + rawPort);
    row("command echoed", {"*IDN?\r\n"}, {},
        "the port echoed the command back, as a telnet console does" + rawPort);
    // Without '?' it sends and ends, never waiting for the silent instrument's reply.
    row("command", {}, {}, {}, {"127.0.0.1", "PORT", ":OUTP1 ON"});
}

void TestScpi::replyLineOrWhyNot()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QByteArray, printed);
    QFETCH(QByteArray, reason);
    QFETCH(QStringList, args);
    ScriptedInstrument instrument(pieces);
    args.replace(args.indexOf(QStringLiteral("PORT")), instrument.port());
    const ToolRun run = runScpi(args);
    QCOMPARE(run.err, reason.isEmpty() ? QByteArray() : errorLine(instrument.port(), reason));
    QCOMPARE(run.exitCode, reason.isEmpty() ? 0 : 1);
    QCOMPARE(run.out, printed);
    QTRY_COMPARE(instrument.received, args.last().toUtf8() + '\n');
    // Only a silent instrument makes it wait out the limit.
    const qint64 minMs = reason.startsWith("no reply") ? 1000 : 0;
    QVERIFY2(run.ms >= minMs && run.ms < 1500 + minMs, qPrintable(QString::number(run.ms)));
}

// With its accept queue full, a listener drops further connection requests, so
// connecting neither succeeds nor fails until the limit.
void TestScpi::fullBacklogHitsTheConnectLimit()
{
    QTcpServer listener;
    listener.setListenBacklogSize(0);
    QVERIFY(listener.listen(QHostAddress::LocalHost));
    listener.pauseAccepting();
    QTcpSocket filler;
    filler.connectToHost(QHostAddress::LocalHost, listener.serverPort());
    QVERIFY(filler.waitForConnected(2000));

    const QString port = QString::number(listener.serverPort());
    const ToolRun run = runScpi({"--connect-timeout", "0.5", "127.0.0.1", port, "*IDN?"});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.err, errorLine(port, "no connection within 0.5 s"));
    QVERIFY2(run.ms >= 500 && run.ms < 2000, qPrintable(QString::number(run.ms)));
}

void TestScpi::badArgumentsAreRefused_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("err");
    const auto refused = [](const char* name, const QString& address, const QString& port,
                            const QByteArray& why) {
        QTest::newRow(name) << QStringList{address, port, "*IDN?"} << 1
                            << "kestrel-scpi: " + (address + ':' + port).toUtf8() + ": " + why +
                                   '\n';
    };
    const QByteArray forms = kestrel::scpi::targetForms;
    refused("zero", "127.0.0.1", "0", "not a port number (1 to 65535)");
    refused("too big", "127.0.0.1", "65536", "not a port number (1 to 65535)");
    refused("letters", "127.0.0.1", "x1", "not a port number or a VXI-11 device name; " + forms);
    refused("fraction", "127.0.0.1", "55.5", "not a port number or a VXI-11 device name; " + forms);
    refused("device name with a stray part", "127.0.0.1", "gpib0,5x",
            "not a port number or a VXI-11 device name; " + forms);
    refused("a path that is no instrument", "/tmp/x", "5025",
            "not an instrument address; " + forms);
    refused("USBTMC with a baud rate", "/dev/usbtmc0", "9600",
            "a USBTMC device is /dev/usbtmcN with the port usbtmc or -; " + forms);
    const QByteArray serial = "a serial port takes a baud rate (50 to 4000000, such as 9600), "
                              "optionally with framing: data bits 5 to 8, parity N, E or O, stop "
                              "bits 1 or 2 (115200,8N1); " +
                              forms;
    refused("serial at no standard rate", "/dev/ttyUSB0", "9601", serial);
    refused("serial with nine data bits", "/dev/ttyS0", "9600,9N1", serial);
    refused("serial with a port number's word", "/dev/serial/by-id/x", "usbtmc", serial);
    refused("pseudo-terminal with three stop bits", "/dev/pts/0", "9600,8N3", serial);
    // A limit of 10 s or more would let the shell runner give up first, without this
    // tool's error line.
    QTest::newRow("reply limit of 10 s")
        << QStringList{"--timeout=10", "127.0.0.1", "5025", "*IDN?"} << 2
        << QByteArray("kestrel-scpi: --timeout 10: seconds must be a number above 0 and below "
                      "10 (see kestrel-scpi --help)\n");
    // A terminal shows what a message quotes, never obeys it.
    QTest::newRow("escape in the address")
        << QStringList{"127.0.0.1\x1b[2J", "0", "*IDN?"} << 1
        << QByteArray("kestrel-scpi: 127.0.0.1\\x1b[2J:0: not a port number (1 to 65535)\n");
    QTest::newRow("CSI in the port") << QStringList{"127.0.0.1", "\u009b0m", "*IDN?"} << 1
                                     << "kestrel-scpi: 127.0.0.1:\\x9b0m: not a port number or a "
                                        "VXI-11 device name; " +
                                            QByteArray(kestrel::scpi::targetForms) + '\n';
    QTest::newRow("bell in a limit")
        << QStringList{"--timeout", "\a", "127.0.0.1", "5025", "*IDN?"} << 2
        << QByteArray("kestrel-scpi: --timeout \\x07: seconds must be a number above 0 and "
                      "below 10 (see kestrel-scpi --help)\n");
}

// Refused before any connection is tried.
void TestScpi::badArgumentsAreRefused()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, err);
    const ToolRun run = runScpi(args);
    QCOMPARE(run.err, err);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.out, QByteArray());
}

void TestScpi::messagesShowControlsEscaped_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("shown");
    QTest::newRow("C0 and DEL") << QByteArray("a\x1b]0;t\x07\n\x7f")
                                << QByteArray(R"(a\x1b]0;t\x07\x0a\x7f)");
    QTest::newRow("C1 as UTF-8") << QByteArray("\xc2\x80\xc2\x9b"
                                               "2J\xc2\x9f")
                                 << QByteArray(R"(\x80\x9b2J\x9f)");
    QTest::newRow("other UTF-8 kept") << QByteArray("\xc2\xa0\xc2\xb5 \xce\xa9 \xf0\x9f\x94\x8c")
                                      << QByteArray("\xc2\xa0\xc2\xb5 \xce\xa9 \xf0\x9f\x94\x8c");
    QTest::newRow("invalid UTF-8 byte by byte")
        << QByteArray("\x9b"
                      "1m \xc0\x9b \xed\xa0\x80 \xc2")
        << QByteArray(R"(\x9b1m \xc0\x9b \xed\xa0\x80 \xc2)");
}

void TestScpi::messagesShowControlsEscaped()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, shown);
    QCOMPARE(QByteArray::fromStdString(
                 kestrel::scpi::printableBytes(std::string_view(bytes.constData(), bytes.size()))),
             shown);
}

QTEST_GUILESS_MAIN(TestScpi)
#include "tst_scpi.moc"
