// The whole way an instrument command goes: runShell -> zsh -> sendArbcmd.sh ->
// kestrel-scpi -> kestrel-sim, all on loopback.

#include "data/numbertext.h"
#include "link/commandline.h"
#include "link/shellrunner.h"
#include "simulator.h"
#include "testhome.h"

#include <QFileInfo>
#include <QTcpServer>
#include <QTest>

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
    ShellResult source(const QString& command) const
    {
        return runShell(
            instrumentCommandLine(home.pat(), sim.sourceAddress(), sim.sourcePort(), command));
    }
    ShellResult meter(const QString& command) const
    {
        return runShell(
            instrumentCommandLine(home.pat(), sim.meterAddress(), sim.meterPort(), command));
    }

    Simulator sim;
    TestHome home;
};

} // namespace

class TestChain : public QObject
{
    Q_OBJECT

  private slots:
    void commandsArriveWholeAndRepliesAsOneLine();
    void readingMatchesTheResistor_data();
    void readingMatchesTheResistor();
    void refusedConnectionIsAFailedCommand();
};

// Each reply is one line; quotes, $(...), backquotes and ; in a command reach the
// instrument byte for byte, and run nothing.
void TestChain::commandsArriveWholeAndRepliesAsOneLine()
{
    Chain chain;
    QVERIFY(chain.start());
    const ShellResult source = chain.source(u"*IDN?"_s);
    const ShellResult meter = chain.meter(u"*IDN?"_s);
    QVERIFY2(source.output.startsWith(u"Kestrel,SIM-SOURCE,"_s), qPrintable(source.output));
    QVERIFY2(meter.output.startsWith(u"Kestrel,SIM-METER,"_s), qPrintable(meter.output));
    for (const ShellResult& reply : {source, meter})
        QVERIFY2(reply.ok && reply.output.indexOf(u'\n') == reply.output.size() - 1,
                 qPrintable(reply.reason + u": "_s + reply.output));

    const QString injected = chain.home.pat() + u"injected"_s;
    const QString command = u":BOGUS 'a b' \"$(touch %1)\" `touch %1`;x|y&z >%1"_s.arg(injected);
    QCOMPARE(chain.source(command).output, QString());
    QCOMPARE(chain.source(u":SYST:ERR?"_s).output, u"-113,\"Undefined header\"\n"_s);
    QTRY_COMPARE(chain.sim.log(), (QStringList{u"source\t*IDN?"_s, u"meter\t*IDN?"_s,
                                               u"source\t"_s + command, u"source\t:SYST:ERR?"_s}));
    QVERIFY(!QFileInfo::exists(injected));
}

void TestChain::readingMatchesTheResistor_data()
{
    QTest::addColumn<QString>("level");
    QTest::addColumn<int>("range");
    QTest::addColumn<QString>("reading");
    QTest::newRow("150 mV") << "0.15" << 0 << "1.500000E-04";
    QTest::newRow("rounding residue") << "-5.551115123125783e-17" << 0 << "-5.551115E-20";
    QTest::newRow("1.234567891 V on 2 mA") << "1.234567891" << 1 << "1.234568E-03";
    QTest::newRow("-7.25 V on 20 mA") << "-7.25" << 2 << "-7.250000E-03";
    QTest::newRow("500 mV overloads 200 uA") << "0.5" << 0 << "9.900000E+37";
}

// With a 1 kOhm resistor and no noise the reading is level/1000, to the meter's 7 digits.
void TestChain::readingMatchesTheResistor()
{
    QFETCH(QString, level);
    QFETCH(int, range);
    QFETCH(QString, reading);
    Chain chain({u"--device"_s, u"resistor:1000"_s, u"--noise"_s, u"0"_s});
    QVERIFY(chain.start());
    QCOMPARE(chain.meter(u":MEAS:CURR:DC %1"_s.arg(range)).output, QString());
    QCOMPARE(chain.source(u":SOUR1:APPL:DC 1,1,"_s + level).output, QString());
    QCOMPARE(chain.source(u":OUTP1 ON"_s).output, QString());
    const QString reply = chain.meter(u":MEAS:CURR:DC?"_s).output;
    QCOMPARE(reply, reading + u'\n');
    // Kestrel reads the reply by its own number rule.
    const QByteArray text = reply.toLatin1();
    QVERIFY(parseReplyNumber(std::string_view(text.constData(), std::size_t(text.size()))));
}

void TestChain::refusedConnectionIsAFailedCommand()
{
    TestHome home;
    home.installRealScript();
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress(u"127.0.0.3"_s)));
    const QString port = QString::number(server.serverPort());
    server.close();
    const ShellResult result =
        runShell(instrumentCommandLine(home.pat(), u"127.0.0.3"_s, port, u"*IDN?"_s));
    QCOMPARE(result.output, u"kestrel-scpi: 127.0.0.3:%1: connection refused\n"_s.arg(port));
    QVERIFY(!result.ok);
    QCOMPARE(result.reason, u"exit status 1"_s);
}

QTEST_GUILESS_MAIN(TestChain)
#include "tst_chain.moc"
