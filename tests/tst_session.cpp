// The sweep's logic against kestrel-sim's own instruments in this process: what is
// sent, how every setting is confirmed, what a run records, and that every way a
// sweep ends leaves the source output off.
#include "controller/scpidrivers.h"
#include "controller/session.h"
#include "controller/sweepdescription.h"
#include "data/ivpoints.h"
#include "data/numbertext.h"
#include "data/sitext.h"
#include "simlink.h"
#include "store/rundatabase.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using namespace kestrel;
using Which = Session::Which;
using Outcome = Run::Outcome;

namespace
{

constexpr qint64 everyOff = kestrel::sim::SourceInstrument::refuseEveryOff;

struct Bench {
    explicit Bench(qint64 refusedOffs = 0, const SessionOptions& options = {})
        : link(new SimLink("resistor:1000", 10.0, refusedOffs)),
          session(home.path(), std::unique_ptr<InstrumentLink>(link), nullptr, options)
    {
        session.sweep().setTickInterval(1);
    }

    bool identify()
    {
        QSignalSpy answers(&session, &Session::identified);
        session.identify(Which::Source, SimLink::source);
        session.identify(Which::Meter, SimLink::meter);
        while (answers.count() < 2 && answers.wait(5000)) {
        }
        return session.isIdentified(Which::Source) && session.isIdentified(Which::Meter);
    }

    bool start(double start, double stop, int steps, int range = 2, int settleMs = 0,
               MeterRate rate = MeterRate::Medium)
    {
        SweepRequest request;
        request.plan = SweepPlan{start, stop, steps};
        request.rangeIndex = range;
        request.settleMs = settleMs;
        request.meterRate = rate;
        return session.start(request);
    }

    // Runs a sweep to its end: the run, or null when it did not start or end.
    std::shared_ptr<const Run> sweep(double start, double stop, int steps, int range = 2,
                                     MeterRate rate = MeterRate::Medium)
    {
        QSignalSpy finished(&session.sweep(), &SweepEngine::finished);
        if (!this->start(start, stop, steps, range, 0, rate) || !finished.wait(10000))
            return nullptr;
        return session.currentRun();
    }

    QString lastStatus(QSignalSpy& spy) const { return spy.last().at(0).toString(); }

    QTemporaryDir home;
    SimLink* link; // owned by the session
    Session session;
};

// Answers `reply` for every command to that instrument starting with prefix, from its
// nth such command on.
SimLink::Hook answerFrom(const QString& instrument, const QString& prefix, int nth,
                         const LinkReply& reply)
{
    auto seen = std::make_shared<int>(0);
    return [=](const QString& to, const QString& command) -> std::optional<LinkReply> {
        if (to != instrument || !command.startsWith(prefix) || ++*seen < nth)
            return std::nullopt;
        return reply;
    };
}

QStringList setUpCommands(int range, char rate = 'M')
{
    return QStringLiteral("source :SYST:ERR?|meter :SYST:ERR?|meter :FUNCtion:CURRent:DC|meter "
                          ":SYST:ERR?|meter :MEAS:CURR:DC %1|meter :SYST:ERR?|meter :RATE:CURR:DC "
                          "%2|meter :SYST:ERR?|source :SOUR1:APPL:DC 1,1,0.0|source :SYST:ERR?|"
                          "source :OUTP1 ON|source :SYST:ERR?")
        .arg(range)
        .arg(QLatin1Char(rate))
        .split('|');
}

} // namespace

class TestSession : public QObject
{
    Q_OBJECT

  private slots:
    void init() { resetPoints(); }
    void everySettingIsConfirmed_data();
    void everySettingIsConfirmed();
    void stopEndsALongSettleAtOnce();
    void expectedEndCountsTheTicksNotTheSetUp();
    void aSweepEndsSafely_data();
    void aSweepEndsSafely();
    void identityMustLookLikeAnInstrument_data();
    void identityMustLookLikeAnInstrument();
    void oneSweepAtATime();
    void switchOffSaysWhatTheSourceSays_data();
    void switchOffSaysWhatTheSourceSays();
    void stopKeepsThePointTheStoreHas();
    void aBusyStoreNeitherSlowsNorLosesTheSweep();
    void anEndTheStoreLostIsToldAsItWas();
    void dataBelongsToItsRun();
    void complianceIsSetConfirmedAndKeptWithEachPoint_data();
    void complianceIsSetConfirmedAndKeptWithEachPoint();
    void aProfileInTheWrongRoleIsNamedWithItsOwnRoles();
    void theLongSweepQuestionComesLast_data();
    void theLongSweepQuestionComesLast();
};

void TestSession::everySettingIsConfirmed_data()
{
    QTest::addColumn<MeterRate>("rate");
    QTest::addColumn<char>("letter");
    QTest::newRow("medium, the default") << MeterRate::Medium << 'M';
    QTest::newRow("fast") << MeterRate::Fast << 'F';
    QTest::newRow("slow") << MeterRate::Slow << 'S';
}

void TestSession::everySettingIsConfirmed()
{
    QFETCH(MeterRate, rate);
    QFETCH(char, letter);
    Bench bench;
    const CancelSignal cancel;
    bench.link->exchange(SimLink::source, "BOGUS", cancel); // an error from before the sweep
    QVERIFY(bench.identify());
    const auto run = bench.sweep(0.0, 1.0, 4, 3, rate);
    QVERIFY(run);
    QCOMPARE(run->outcome, Outcome::Completed);
    QVERIFY(run->outputOff);
    QCOMPARE(
        run->message,
        R"(Sweep complete: 5 points. Before the sweep the source had -113,"Undefined header" in its error queue, now read and cleared.)");

    QStringList expected{"source BOGUS", "source *IDN?", "meter *IDN?", "source :SYST:ERR?"};
    expected << setUpCommands(3, letter);
    IVPointList points;
    for (const double level : {0.0, 0.25, 0.5, 0.75, 1.0}) {
        const QString text = QString::fromStdString(formatDouble(level));
        expected << "source :SOUR1:APPL:DC 1,1," + text << "source :SYST:ERR?"
                 << "meter :MEAS:CURR:DC?";
        points.push_back(IVPoint{level, level / 1000.0});
    }
    // The switch-off, confirmed by the error queue and the output's own word.
    expected << "source :OUTP1 OFF"
             << "source :SYST:ERR?"
             << "source :OUTP1?";
    QCOMPARE(bench.link->log(), expected);
    QCOMPARE(run->points, points);
    QCOMPARE(ivPoints(), points);
    QVERIFY(!bench.link->outputOn());
    QCOMPARE(run->sourceIdentity, bench.session.identity(Which::Source));
    QVERIFY(run->started.isValid() && run->ended >= run->started);
}

void TestSession::stopEndsALongSettleAtOnce()
{
    Bench bench;
    QVERIFY(bench.identify());
    QSignalSpy progress(&bench.session.sweep(), &SweepEngine::progress);
    QSignalSpy finished(&bench.session.sweep(), &SweepEngine::finished);
    QVERIFY(bench.start(0.0, 1.0, 2, 2, 5000));
    // The first level is set, confirmed, and the settle time has begun.
    QTRY_COMPARE(bench.link->log().count("source :SOUR1:APPL:DC 1,1,0.0"), 2);
    QTRY_COMPARE(bench.link->log().constLast(), "source :SYST:ERR?");
    QVERIFY(bench.session.sweep().tickMs() > 5000 && bench.session.sweep().tickMs() < 5100);
    // "ends about" counts three such ticks.
    QVERIFY(progress.count() == 1 &&
            progress[0][2].toDateTime() > QDateTime::currentDateTime().addSecs(14));
    QElapsedTimer stopping;
    stopping.start();
    bench.session.stop();
    QVERIFY(finished.wait(1000) && stopping.elapsed() < 1000);
    QVERIFY(bench.session.currentRun()->outcome == Outcome::Stopped &&
            bench.session.currentRun()->outputOff && !bench.link->outputOn());
    QVERIFY(!bench.link->log().contains("meter :MEAS:CURR:DC?"));
}

// A slow set-up is not spread over the points to come: the end said at the start and
// after the first point is the one the ticks keep.
void TestSession::expectedEndCountsTheTicksNotTheSetUp()
{
    Bench bench;
    QVERIFY(bench.identify());
    // Each of the meter's set-up exchanges takes 150 ms (about a second in all); its
    // reading, like every exchange of a tick, is quick.
    bench.link->setHook(
        [](const QString& instrument, const QString& command) -> std::optional<LinkReply> {
            if (instrument == "meter" && command != MeterDriver::readCommand)
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
            return std::nullopt;
        });
    QSignalSpy progress(&bench.session.sweep(), &SweepEngine::progress);
    QSignalSpy finished(&bench.session.sweep(), &SweepEngine::finished);
    QVERIFY(bench.start(0.0, 1.0, 4, 2, 300));
    QVERIFY(finished.wait(20000));
    const QDateTime ended = QDateTime::currentDateTime();
    QVERIFY(progress.count() >= 2);
    for (const int said : {0, 1}) {
        const qint64 offMs = progress[said][2].toDateTime().msecsTo(ended);
        QVERIFY2(std::abs(offMs) < 700, qPrintable(QString("after %1 points the end said was "
                                                           "%2 ms off")
                                                       .arg(progress[said][0].toInt())
                                                       .arg(offMs)));
    }
}

// A refusal, a broken reply or a failing script ends the sweep: nothing is measured
// after it, no point recorded for it, and the output goes off (or the message says
// it may not have).
void TestSession::aSweepEndsSafely_data()
{
    QTest::addColumn<QList<double>>("sweep"); // start, stop, meter range
    QTest::addColumn<QString>("instrument");  // whose command the hook answers, if any
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("nth");
    QTest::addColumn<LinkReply>("reply");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<int>("points");
    QTest::addColumn<QString>("message");
    QTest::addColumn<qint64>("refusedOffs"); // by the source itself
    QTest::addColumn<bool>("outputOff");     // as the run says
    QTest::addColumn<bool>("stillOn");       // as the source is
    const QString read = MeterDriver::readCommand;
    const QList<double> usual{0.0, 1.0, 2};
    const auto row = [&](const char* name, const QList<double>& sweep, const QString& instrument,
                         const QString& command, int nth, const LinkReply& reply, Outcome outcome,
                         int points, const char* message, qint64 refusedOffs = 0,
                         bool outputOff = true, bool stillOn = false) {
        QTest::newRow(name) << sweep << instrument << command << nth << reply << outcome << points
                            << QString(message) << refusedOffs << outputOff << stillOn;
    };
    const auto text = [](const char* reply) { return LinkReply{reply, true, {}}; };
    const auto failure = [](const char* reply, const char* reason) {
        return LinkReply{reply, false, reason};
    };
    row("level beyond the source's limit", {0.0, 20.0, 4}, "", "", 0, {}, Outcome::Failed, 3,
        R"(The source refused ":SOUR1:APPL:DC 1,1,15.0": -222,"Data out of range". The source output is off.)");
    row("start beyond the limit", {12.0, 20.0, 4}, "", "", 0, {}, Outcome::Failed, 0,
        R"(The source refused ":SOUR1:APPL:DC 1,1,12.0": -222,"Data out of range". The source output is off.)");
    row("a range the meter lacks", {0.0, 1.0, 9}, "", "", 0, {}, Outcome::Failed, 0,
        R"(The meter's profile default has no range 9 (it has 0 to 5). Nothing was switched on.)");
    row("nan", usual, "meter", read, 3, text("nan\n"), Outcome::Failed, 2,
        R"(The meter's reply at 0.5 V is not a number: "nan".)");
    row("control bytes", usual, "meter", read, 1, text("\x1b[2J\x1b]0;owned\x07\n"),
        Outcome::Failed, 0, R"(is not a number: "\x1b[2J\x1b]0;owned\x07")");
    row("blank before a number", usual, "meter", read, 1, text(" 1e-3\n"), Outcome::Failed, 0,
        R"(is not a number: " 1e-3".)");
    row("overload", usual, "meter", read, 4, text("9.9E+37\n"), Outcome::Overload, 3,
        "The meter overloaded at 0.75 V");
    row("no reading in time", usual, "meter", read, 2, failure("", "timed out after 10 s"),
        Outcome::Failed, 1,
        R"(did not answer ":MEAS:CURR:DC?": no reply (timed out after 10 s) (at 0.25 V))");
    row("script fails on a level", usual, "source", ":SOUR1:APPL:DC", 3,
        failure("oops\n", "exit status 2"), Outcome::Failed, 1,
        R"(The source at 127.0.0.2:5555 did not take ":SOUR1:APPL:DC 1,1,0.25": "oops" (exit status 2))");
    row("no SCPI error queue", usual, "source", ":SYST:ERR?", 1, text("Welcome\n"), Outcome::Failed,
        0,
        R"(did not answer ":SYST:ERR?" like a SCPI instrument: "Welcome". Nothing was switched on.)");
    row("a queue that never empties", usual, "meter", ":SYST:ERR?", 1,
        text("-100,\"Command error\"\n"), Outcome::Failed, 0,
        R"(still reported errors after 20 reads of ":SYST:ERR?")");
    row("blank before an error", usual, "source", ":SYST:ERR?", 1,
        text(" -222,\"Data out of range\"\n"), Outcome::Failed, 0,
        R"((the last:  -222,"Data out of range"))");
    row("nor is it said to be cleared", usual, "meter", ":SYST:ERR?", 1,
        text("-100,\"Command error\"\n"), Outcome::Failed, 0,
        R"(in its error queue, read out, but the queue was not emptied. Nothing was switched on.)");
    row("switch-off fails", usual, "source", ":OUTP1 OFF", 1,
        failure("", "ended by signal 9 (Killed)"), Outcome::Completed, 5,
        R"(Sweep complete: 5 points. The source output may still be on: The source at 127.0.0.2:5555 did not take ":OUTP1 OFF": no reply (ended by signal 9 (Killed)).)",
        0, false, true);
    row("switch-off refused", usual, "", "", 0, {}, Outcome::Completed, 5,
        R"(Sweep complete: 5 points. The source output is still on: The source refused ":OUTP1 OFF": -221,"Settings conflict"; it answers "ON" to ":OUTP1?".)",
        everyOff, false, true);
    row("switch-off refused at a refusal", {0.0, 20.0, 4}, "", "", 0, {}, Outcome::Failed, 3,
        R"(-222,"Data out of range". The source output is still on: The source refused ":OUTP1 OFF")",
        everyOff, false, true);
    row("output state unknown", usual, "source", ":OUTP1?", 1, failure("", "exit status 1"),
        Outcome::Completed, 5,
        R"(Sweep complete: 5 points. The source output may still be on: The source took ":OUTP1 OFF" without an error, but it did not say whether its output is off (The source at 127.0.0.2:5555 did not answer ":OUTP1?": no reply (exit status 1)).)",
        0, false, false);
    row("output state still on", usual, "source", ":OUTP1?", 1, text("ON\n"), Outcome::Completed, 5,
        R"(The source output is still on: The source took ":OUTP1 OFF" without an error, but it answers "ON" to ":OUTP1?".)",
        0, false, false);
}

void TestSession::aSweepEndsSafely()
{
    QFETCH(QList<double>, sweep);
    QFETCH(QString, instrument);
    QFETCH(QString, command);
    QFETCH(int, nth);
    QFETCH(LinkReply, reply);
    QFETCH(Outcome, outcome);
    QFETCH(int, points);
    QFETCH(QString, message);
    QFETCH(qint64, refusedOffs);
    QFETCH(bool, outputOff);
    QFETCH(bool, stillOn);

    Bench bench(refusedOffs);
    QVERIFY(bench.identify());
    if (!instrument.isEmpty())
        bench.link->setHook(answerFrom(instrument, command, nth, reply));
    QSignalSpy shown(&bench.session, &Session::statusShown);
    const auto run = bench.sweep(sweep[0], sweep[1], 4, int(sweep[2]));
    QVERIFY(run);
    QCOMPARE(bench.lastStatus(shown), run->message);
    QVERIFY(shown.last().at(1).toBool()); // shown as a problem
    QCOMPARE(run->outcome, outcome);
    QVERIFY2(run->message.contains(message), qPrintable(run->message));
    QVERIFY(!run->message.contains(QChar(0x1b)));
    QCOMPARE(int(run->points.size()), points);
    for (const IVPoint& point : run->points)
        QVERIFY(point[0] <= 10.0);
    QCOMPARE(run->outputOff, outputOff);
    // The switch-off, when anything reached the source, is the last setting it gets.
    QStringList settings = bench.link->commands("source");
    settings.removeIf([](const QString& command) { return command.contains('?'); });
    QCOMPARE(!settings.isEmpty() && settings.constLast() == SourceDriver::offCommand,
             settings.contains(SourceDriver::levelCommand(sweep[0])));
    QCOMPARE(bench.link->outputOn(), stillOn);
}

void TestSession::identityMustLookLikeAnInstrument_data()
{
    QTest::addColumn<Endpoint>("source");
    QTest::addColumn<QString>("reply"); // empty: the simulator's own
    QTest::addColumn<QString>("shown");
    const Endpoint sim = SimLink::source;

    QTest::newRow("an instrument") << sim << ""
                                   << "Kestrel,SIM-SOURCE,00000001," KESTREL_VERSION;
    QTest::newRow("nothing listens")
        << Endpoint{"127.0.0.9", "1"} << ""
        << R"(The source at 127.0.0.9:1 did not answer "*IDN?": "kestrel-scpi: 127.0.0.9:1: connection refused" (exit status 1))";
    QTest::newRow("telnet banner")
        << sim << "Welcome to the console\r\n"
        << R"(The source at 127.0.0.2:5555 did not answer like an instrument: "Welcome to the console")";
    QTest::newRow("echo") << sim << "*IDN?\n"
                          << R"(did not answer like an instrument: "*IDN?")";
    QTest::newRow("control bytes") << sim << "\x1b]0;owned\x07,B,C,D\n"
                                   << R"(like an instrument: "\x1b]0;owned\x07,B,C,D")";
    QTest::newRow("three fields") << sim << "Maker,Model,1\n"
                                  << R"(like an instrument: "Maker,Model,1")";
    QTest::newRow("a fifth field, the hardware version of a Siglent supply")
        << sim << "Siglent Technologies,SPD3303X-E,SPD3XIDQ5R4761,1.01.01.02.07R2,V3.0\n"
        << "Siglent Technologies,SPD3303X-E,SPD3XIDQ5R4761,1.01.01.02.07R2,V3.0";
}

void TestSession::identityMustLookLikeAnInstrument()
{
    QFETCH(Endpoint, source);
    QFETCH(QString, reply);
    QFETCH(QString, shown);

    Bench bench;
    QVERIFY(bench.identify()); // an earlier identity, which a failed answer must clear
    if (!reply.isEmpty())
        bench.link->setHook(answerFrom("source", "*IDN?", 1, LinkReply{reply, true, {}}));
    QSignalSpy answers(&bench.session, &Session::identified);
    bench.session.identify(Which::Source, source);
    QVERIFY(answers.wait(5000));
    const bool ok = answers.last().at(1).toBool();
    QCOMPARE(ok, !shown.contains("like an instrument") && source == SimLink::source);
    QVERIFY2(answers.last().at(2).toString().contains(shown),
             qPrintable(answers.last().at(2).toString()));
    QCOMPARE(bench.session.identity(Which::Source).isEmpty(), !ok);
    QCOMPARE(bench.session.sip, source.address);

    QCOMPARE(bench.start(0, 1, 2), ok);
}

void TestSession::oneSweepAtATime()
{
    Bench bench;
    QSignalSpy status(&bench.session, &Session::statusShown);
    QVERIFY(!bench.start(0, 1, 2));
    QCOMPARE(bench.lastStatus(status), "Identify the source and the meter first: press Identify "
                                       "next to each address.");
    QVERIFY(bench.identify());
    bench.link->setDelayMs(5);
    QSignalSpy finished(&bench.session.sweep(), &SweepEngine::finished);
    QVERIFY(bench.start(-1, 1, 100));
    QTRY_VERIFY(bench.session.sweep().pointsDone() >= 2);

    // Neither a second Run nor another source is taken while the first runs.
    QVERIFY(!bench.start(0, 1, 2));
    bench.session.identify(Which::Source, Endpoint{"127.0.0.9", "1"});
    QCOMPARE(bench.session.sip, SimLink::source.address);
    QVERIFY(bench.session.isIdentified(Which::Source));

    bench.session.stop();
    QVERIFY(bench.session.isSweeping()); // until the switch-off is confirmed
    QVERIFY(!bench.start(0, 1, 2));
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.last().at(0).value<Outcome>(), Outcome::Stopped);
    QCOMPARE(bench.link->commands("source").last(3),
             QStringList({SourceDriver::offCommand, ":SYST:ERR?", SourceDriver::stateQuery}));

    const int before = bench.link->log().size();
    QVERIFY(bench.start(0, 1, 2));
    QVERIFY(finished.wait(5000));
    QCOMPARE(bench.link->log().mid(before, 2), setUpCommands(2).mid(0, 2));
    QCOMPARE(bench.link->log().count("source :OUTP1 ON"), 2);
    QCOMPARE(bench.link->log().count("source :OUTP1 OFF"), 2);
}

void TestSession::switchOffSaysWhatTheSourceSays_data()
{
    QTest::addColumn<qint64>("refusedOffs");
    QTest::addColumn<QString>("status");
    QTest::newRow("off") << qint64(0) << "The source at 127.0.0.2:5555 was switched off.";
    QTest::newRow("refused")
        << qint64(1)
        << R"(The source at 127.0.0.2:5555 is still on: The source refused ":OUTP1 OFF": -221,"Settings conflict"; it answers "ON" to ":OUTP1?".)";
}

void TestSession::switchOffSaysWhatTheSourceSays()
{
    QFETCH(qint64, refusedOffs);
    QFETCH(QString, status);
    Bench bench(refusedOffs);
    QVERIFY(bench.identify());
    const CancelSignal cancel;
    bench.link->exchange(SimLink::source, SourceDriver::onCommand, cancel);
    QSignalSpy shown(&bench.session, &Session::statusShown);
    bench.session.switchSourceOff(Endpoint{});
    QTRY_COMPARE(shown.count(), 2);
    QCOMPARE(bench.lastStatus(shown), status);
    QCOMPARE(shown.last().at(1).toBool(), refusedOffs > 0);
    QCOMPARE(bench.link->outputOn(), refusedOffs > 0);
}

// A point handed to the store is the run's, even when Stop comes while the store is
// still committing it: Save, Export and the store never disagree.
void TestSession::stopKeepsThePointTheStoreHas()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    Bench bench(0, SessionOptions{path, "test", false, {}});
    QVERIFY(bench.identify());
    bench.link->setDelayMs(2);
    QSignalSpy kept(&bench.session, &Session::runKept);
    QSignalSpy finished(&bench.session.sweep(), &SweepEngine::finished);
    QVERIFY(bench.start(0, 1, 1000));
    QTRY_VERIFY(kept.count() == 1 && bench.session.sweep().pointsDone() >= 3);
    {
        // Another program holds the store while the next point is being committed.
        QSqlDatabase holder = QSqlDatabase::addDatabase("QSQLITE", "holder");
        holder.setDatabaseName(path);
        holder.setConnectOptions("QSQLITE_BUSY_TIMEOUT=5000");
        QVERIFY(holder.open());
        QSqlQuery hold(holder);
        QVERIFY(hold.exec("BEGIN EXCLUSIVE"));
        QTest::qWait(300);
        bench.session.stop();
        QVERIFY(hold.exec("COMMIT"));
    }
    QSqlDatabase::removeDatabase("holder");
    QVERIFY(finished.wait(5000));
    const auto run = bench.session.currentRun();
    QVERIFY(run->outcome == Outcome::Stopped && run->outputOff);
    QVERIFY2(run->message.startsWith(QString("Sweep stopped after %1 of 1,001 points.")
                                         .arg(countText(qint64(run->points.size())))),
             qPrintable(run->message));
    RunDatabase store(path);
    QCOMPARE(store.open(), QString());
    QTRY_COMPARE(store.load(kept[0][0].toLongLong())->run.outcome, Outcome::Stopped);
    QCOMPARE(store.load(kept[0][0].toLongLong())->run.points, run->points);
}

// Another program holds the store far longer than a write waits for it, until after
// the sweep has ended: the sweep keeps its tick, the window is told that points wait and
// then that they are kept, and the store ends up with every point and the true outcome.
void TestSession::aBusyStoreNeitherSlowsNorLosesTheSweep()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    Bench bench(0, SessionOptions{path, "test", false, {}});
    bench.session.sweep().setTickInterval(SweepEngine::tickIntervalMs);
    QVERIFY(bench.identify());
    QSignalSpy kept(&bench.session, &Session::runKept);
    QSignalSpy waiting(&bench.session, &Session::storeWaiting);
    QSignalSpy finished(&bench.session.sweep(), &SweepEngine::finished);
    QVERIFY(bench.start(0, 1, 20));
    QTRY_VERIFY(kept.count() == 1 && bench.session.sweep().pointsDone() >= 2);
    {
        QSqlDatabase holder = QSqlDatabase::addDatabase("QSQLITE", "holder");
        holder.setDatabaseName(path);
        QSqlQuery hold(holder.open() ? holder : QSqlDatabase());
        QVERIFY(hold.exec("BEGIN EXCLUSIVE") && finished.wait(10000));
        QTest::qWait(2 * RunRecorder::busyTimeoutMs); // the run's end waits too
        QVERIFY(!waiting.isEmpty() && waiting.last().at(1).toBool() &&
                waiting.last().at(0).toString().contains(" wait in memory since "));
        QVERIFY(hold.exec("COMMIT"));
    }
    QSqlDatabase::removeDatabase("holder");
    QTRY_VERIFY(!waiting.last().at(1).toBool() &&
                waiting.last().at(0).toString().startsWith("The run store is free again: all "));

    const auto run = bench.session.currentRun();
    RunDatabase store(path);
    const auto stored = store.open().isEmpty() ? store.load(kept[0][0].toLongLong()) : std::nullopt;
    QVERIFY(stored && stored->run.outcome == Outcome::Completed &&
            stored->run.message == run->message && stored->run.points == run->points &&
            run->points.size() == 21);
    // The times the sweep read its points at: a tick of 0.1 s, never a second's gap.
    {
        QSqlDatabase reader = QSqlDatabase::addDatabase("QSQLITE", "reader");
        reader.setDatabaseName(path);
        QSqlQuery gap(reader.open() ? reader : QSqlDatabase());
        QVERIFY(gap.exec("SELECT max(b.ms - a.ms) FROM points a JOIN points b ON b.run = a.run "
                         "AND b.idx = a.idx + 1") &&
                gap.next());
        QVERIFY2(gap.value(0).toLongLong() < 1000, qPrintable(gap.value(0).toString()));
    }
    QSqlDatabase::removeDatabase("reader");
}

// The store takes no more as a completed sweep ends (a full disk): the next start says
// that its end was not recorded and how it ended, not that the output may be on.
void TestSession::anEndTheStoreLostIsToldAsItWas()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    qint64 id = 0;
    {
        Bench bench(0, SessionOptions{path, "test", false, {}});
        QVERIFY(bench.identify());
        QSignalSpy kept(&bench.session, &Session::runKept);
        bench.session.recorder().failEnds(3);
        const auto run = bench.sweep(0, 1, 3);
        QTRY_VERIFY(run && run->outcome == Outcome::Completed && run->outputOff && !kept.empty());
        id = kept.at(0).at(0).toLongLong();
    }
    Bench next(0, SessionOptions{path, "test", false, {}});
    QStringList said;
    bool mayBeOn = true;
    next.session.recover([&](const QStringList& sentences, bool on) {
        said = sentences;
        mayBeOn = on;
    });
    QTRY_COMPARE(said.size(), 1);
    QVERIFY2(said[0].startsWith(QString("The end of run %1 was not recorded (the run store could "
                                        "not be written): the sweep started at ")
                                    .arg(id)) &&
                 said[0].endsWith(" ended completed with the source output switched off and "
                                  "confirmed; its 4 points are kept."),
             qPrintable(said[0]));
    QVERIFY(!mayBeOn);
    RunDatabase store(path);
    const auto stored = store.open().isEmpty() ? store.load(id) : std::nullopt;
    QVERIFY(stored && stored->run.outcome == Outcome::Completed && stored->run.outputOff &&
            stored->pointCount == 4);
    QCOMPARE(QDir(dir.path()).entryList({"runs.sqlite-end-*"}, QDir::Files), QStringList());
}

void TestSession::dataBelongsToItsRun()
{
    Bench bench;
    const QString txt = bench.home.filePath("iv.txt");
    const QString csv = bench.home.filePath("iv.csv");
    QSignalSpy status(&bench.session, &Session::statusShown);
    QCOMPARE(bench.session.nothingToSave(), "Nothing to save: no sweep has run yet.");
    bench.session.save(txt);
    QCOMPARE(bench.lastStatus(status), "Nothing to save: no sweep has run yet.");

    QVERIFY(bench.identify());
    const auto first = bench.sweep(5.0, 6.0, 2);
    QVERIFY(first && first->points.size() == 3);
    // The next sweep fails before its first point: nothing may go out under its name.
    bench.link->setHook(
        answerFrom("meter", MeterDriver::readCommand, 1, LinkReply{"x\n", true, {}}));
    const auto second = bench.sweep(0.0, 1.0, 2);
    QVERIFY(second && second->points.empty());
    QCOMPARE(bench.session.nothingToSave(), "Nothing to save: the last sweep recorded no points.");
    bench.session.save(txt);
    bench.session.exportCsv(csv);
    QCOMPARE(bench.lastStatus(status), "Nothing to export: the last sweep recorded no points.");
    QVERIFY(!QFile::exists(txt) && !QFile::exists(csv));

    bench.link->setHook({});
    const auto third = bench.sweep(0.0, 1.0, 2);
    QVERIFY(third && third->points.size() == 3);
    bench.session.exportCsv(csv);
    QTRY_VERIFY(bench.lastStatus(status).startsWith("Exported 3 points"));
    QFile file(csv);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    const QString started =
        third->started.toOffsetFromUtc(third->started.offsetFromUtc()).toString(Qt::ISODate);
    QVERIFY(text.contains(QByteArray("# started: " + started.toUtf8() + "\n# ended: ")));
    QVERIFY(text.contains("\n# outcome: completed\n# message: Sweep complete: 3 points.\n"));
    QVERIFY(text.contains("\n# start V: 0.0\n"));
    QVERIFY(text.contains("\n# source identity: Kestrel,SIM-SOURCE,00000001,"));
    QVERIFY(text.endsWith("voltage_V,current_A\n0.0,0.0\n0.5,0.0005\n1.0,0.001\n"));
}

// A supply speaking the simulator's source commands, with a current limit and a
// compliance query the hook answers for it.
const char* const limitedSupply = R"(description = "A limited supply"
identity = "^Kestrel,SIM-SOURCE,"
roles = ["source"]
[source]
level = ":SOUR{channel}:APPL:DC 1,1,{volts}"
on = ":OUTP{channel} ON"
off = ":OUTP{channel} OFF"
state = ":OUTP{channel}?"
limit = ":SOUR{channel}:CURR:LIM {amps}"
default_limit = 0.02
compliance = { query = ":STAT:QUES:COND?", bit = 1 }
)";

void TestSession::complianceIsSetConfirmedAndKeptWithEachPoint_data()
{
    QTest::addColumn<std::optional<double>>("compliance");
    QTest::addColumn<bool>("goOn");
    QTest::addColumn<QString>("statusAnswer"); // from this point on (1 for the first)
    QTest::addColumn<int>("atLimitFrom");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("limitSent");
    QTest::addColumn<QString>("message");
    const std::optional<double> fiveMilli = 5e-3;
    QTest::newRow("the first point at the limit ends the sweep")
        << fiveMilli << false << "2" << 3 << Outcome::Compliance << ":SOUR1:CURR:LIM 0.005"
        << "The source reached its compliance of 5 mA at 0.5 V. The source output is off.";
    QTest::newRow("or not, when asked to continue")
        << fiveMilli << true << "+3" << 3 << Outcome::Completed << ":SOUR1:CURR:LIM 0.005"
        << "Sweep complete: 5 points.";
    QTest::newRow("without one, the profile's default limit")
        << std::optional<double>() << false << "0x2" << 3 << Outcome::Compliance
        << ":SOUR1:CURR:LIM 0.02"
        << "The source reached its compliance of 20 mA at 0.5 V. The source output is off.";
    QTest::newRow("at the limit from the very first point, asked to continue")
        << fiveMilli << true << "+3" << 1 << Outcome::Completed << ":SOUR1:CURR:LIM 0.005"
        << "Sweep complete: 5 points.";
    QTest::newRow("a bit that is not the compliance bit")
        << fiveMilli << false << "5" << 3 << Outcome::Completed << ":SOUR1:CURR:LIM 0.005"
        << "Sweep complete: 5 points.";
    QTest::newRow("an answer that is no status word ends the sweep")
        << fiveMilli << true << "ON" << 3 << Outcome::Failed << ":SOUR1:CURR:LIM 0.005"
        << R"(did not say whether it is at its current limit: "ON" to ":STAT:QUES:COND?" (at )"
           "0.5 V). The source output is off.";
}

void TestSession::complianceIsSetConfirmedAndKeptWithEachPoint()
{
    QFETCH(std::optional<double>, compliance);
    QFETCH(bool, goOn);
    QFETCH(QString, statusAnswer);
    QFETCH(int, atLimitFrom);
    QFETCH(Outcome, outcome);
    QFETCH(QString, limitSent);
    QFETCH(QString, message);
    QTemporaryDir config;
    QVERIFY(QDir().mkpath(config.path() + "/kestrel/instruments"));
    QFile file(config.path() + "/kestrel/instruments/limited-supply.toml");
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(limitedSupply) > 0);
    file.close();
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    const auto restore = qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", oldConfig); });

    Bench bench;
    QVERIFY(bench.identify());
    QCOMPARE(bench.session.profile(Which::Source)->name, QString("limited-supply"));
    auto statusReads = std::make_shared<int>(0);
    bench.link->setHook([=](const QString& to, const QString& command) -> std::optional<LinkReply> {
        if (to != "source")
            return std::nullopt;
        if (command.startsWith(":SOUR1:CURR:LIM"))
            return LinkReply{"", true, {}}; // taken, the queue stays empty
        if (command == ":STAT:QUES:COND?")
            return LinkReply{(++*statusReads >= atLimitFrom ? statusAnswer : QString("0")) + "\n",
                             true, {}};
        return std::nullopt;
    });
    SweepRequest request;
    request.plan = SweepPlan{0.0, 1.0, 4};
    request.rangeIndex = 2;
    request.complianceAmps = compliance;
    request.continueAtCompliance = goOn;
    QSignalSpy finished(&bench.session.sweep(), &SweepEngine::finished);
    QVERIFY(bench.session.start(request));
    QVERIFY(finished.wait(10000));
    const auto run = bench.session.currentRun();
    QCOMPARE(run->outcome, outcome);
    QVERIFY2(run->message.endsWith(message), qPrintable(run->message));
    QVERIFY(!bench.link->outputOn());
    // Set and confirmed before the output goes on.
    const QStringList log = bench.link->log();
    const qsizetype limit = log.indexOf("source " + limitSent);
    QVERIFY2(limit >= 0, qPrintable(log.join('|')));
    QCOMPARE(log.at(limit + 1), QString("source :SYST:ERR?"));
    QVERIFY(limit < log.indexOf("source :OUTP1 ON"));
    // Each point carries what the source said, the one at the limit kept.
    const int points = outcome == Outcome::Completed ? 5 : 3;
    QCOMPARE(run->points.size(), std::size_t(points));
    if (outcome == Outcome::Failed)
        return;
    const bool bitSet = statusAnswer != "5";
    std::vector<std::uint8_t> flags(std::size_t(points), 0);
    for (int i = atLimitFrom - 1; i < points; ++i)
        flags[std::size_t(i)] = bitSet ? 1 : 0;
    QCOMPARE(run->inCompliance, flags);
    const QString csv =
        QString::fromUtf8(csvText(describeRun("test", *run), run->points, run->inCompliance));
    QVERIFY2(csv.contains(QString("voltage_V,current_A,in_compliance\n0.0,0.0,%1\n").arg(flags[0])),
             qPrintable(csv));
    QCOMPARE(csv.contains("\n0.5,0.0005,1\n"), bitSet);
}

void TestSession::aProfileInTheWrongRoleIsNamedWithItsOwnRoles()
{
    auto meterOnly = parseProfile("description = \"m\"\nidentity = \".\"\nroles = [\"meter\"]\n"
                                  "[meter]\nread = \"READ?\"\noverload = [9.9e37]\n"
                                  "auto_range_on = \"RANG:AUTO ON\"\n",
                                  "/profiles/meter-only.toml");
    QVERIFY(std::holds_alternative<InstrumentProfile>(meterOnly));
    const InstrumentProfile& meter = std::get<InstrumentProfile>(meterOnly);
    SweepSettings settings;
    settings.rangeIndex = autoRangeIndex;
    // Its own roles, not the other instrument's.
    QCOMPARE(sweepProfileProblem(settings, meter, *defaultProfile()),
             "The profile meter-only cannot be the source: it is for a meter.");
    QCOMPARE(sweepProfileProblem(settings, *defaultProfile(), meter), QString());
}

void TestSession::theLongSweepQuestionComesLast_data()
{
    QTest::addColumn<QString>("limit");
    QTest::addColumn<QString>("compliance");
    QTest::addColumn<bool>("asked");
    QTest::newRow("a limit that is no number") << "abc"
                                               << "" << false;
    QTest::newRow("a compliance the profile cannot set") << ""
                                                         << "0.001" << false;
    QTest::newRow("every field valid") << ""
                                       << "" << true;
}

// Only a sweep that would start is asked about: nobody is asked before a refusal.
void TestSession::theLongSweepQuestionComesLast()
{
    QFETCH(QString, limit);
    QFETCH(QString, compliance);
    QFETCH(bool, asked);
    Bench bench;
    QVERIFY(bench.identify());
    StoredSweep typed;
    typed.steps = "20000";
    typed.limit = limit;
    typed.compliance = compliance;
    QList<int> questions;
    QSignalSpy finished(&bench.session.sweep(), &SweepEngine::finished);
    if (bench.session.runTyped(typed, [&](const SweepPlan& plan, int, int, int) {
            questions << plan.count();
            return false;
        }))
        QVERIFY(finished.wait(5000)); // refused by the profile: the run ends at once
    QCOMPARE(questions, asked ? QList<int>{20001} : QList<int>());
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
