#include "app/mainwindow.h"
#include "chart/barchart.h"
#include "data/ivpoints.h"
#include "data/numbertext.h"
#include "fakeinstruments.h"
#include "link/shellrunner.h"
#include "stdoutcapture.h"

#include <QApplication>
#include <qcustomplot.h>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

using namespace kestrel;

namespace
{

constexpr int sweepTimeoutMs = 20000;

// The real window with the real runner, a fake instrument script in a temporary home
// folder and a settings file of its own.
struct Bench {
    explicit Bench(const QByteArray& settingsText = "[General]\n", bool show = true)
    {
        QFile file(settingsPath());
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write the settings file");
        file.write(settingsText);
        file.close();
        window = std::make_unique<MainWindow>(
            fake.home(), std::make_unique<QSettings>(settingsPath(), QSettings::IniFormat));
        if (show)
            window->show();
    }

    QString settingsPath() const { return config.filePath(QStringLiteral("kestrel.conf")); }
    QByteArray settingsText() const
    {
        QFile file(settingsPath());
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    }
    ViewController& vc() { return window->controller(); }
    QString status() { return vc().sweepstatus->text(); }

    // Identifies both instruments at the fake's addresses and forgets those calls.
    void identifyBoth()
    {
        vc().sourceip->setText(FakeInstruments::sourceAddress);
        vc().sourceport->setText(QStringLiteral("5555"));
        vc().drainip->setText(FakeInstruments::meterAddress);
        vc().drainport->setText(QStringLiteral("5555"));
        vc().sourceIdentify->click();
        vc().drainIdentify->click();
        QTRY_VERIFY_WITH_TIMEOUT(vc().drainstat->text().startsWith(QLatin1String("FAKE")), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(vc().sourcestatt->text().startsWith(QLatin1String("FAKE")), 5000);
        fake.clearCalls();
    }

    void setSweep(const QString& start, const QString& stop, const QString& steps)
    {
        vc().IVstart->setText(start);
        vc().IVstop->setText(stop);
        vc().IVsteps->setText(steps);
    }

    // Runs a sweep from the fields and waits for its end.
    bool sweep(const QString& start, const QString& stop, const QString& steps)
    {
        startSweep(start, stop, steps);
        return waitForSweepEnd();
    }

    void startSweep(const QString& start, const QString& stop, const QString& steps)
    {
        setSweep(start, stop, steps);
        vc().ivRun->click();
    }

    bool waitForSweepEnd(int timeoutMs = sweepTimeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (vc().sweep().isRunning() && clock.elapsed() < timeoutMs)
            QTest::qWait(20);
        return !vc().sweep().isRunning();
    }

    FakeInstruments fake;
    QTemporaryDir config;
    std::unique_ptr<MainWindow> window;
};

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

  private slots:
    void restoresStoredEndpoints_data();
    void restoresStoredEndpoints();
    void identifiesEachInstrumentOnItsOwn();
    void missingScriptIsExplained();
    void runIsRefusedBeforeIdentification();
    void badSweepInputIsRefusedBeforeAnythingIsSent_data();
    void badSweepInputIsRefusedBeforeAnythingIsSent();
    void sweepSendsItsCommandsInOrder();
    void restartDuringSweepStartsClean();
    void stopSwitchesTheOutputOff();
    void failedMeasurementEndsTheSweepSafely_data();
    void failedMeasurementEndsTheSweepSafely();
    void complaintFromTheSourceEndsTheSweep();
    void windowStaysLiveWhileTheMeterThinks();
    void savesWhereverTheUserChose();
    void failedOrCancelledSaveIsReported();
    void savesLargeDataSets();
    void closingDuringSweepSwitchesTheOutputOff();
    void sweepFieldsComeBackAtTheNextStart();
    void exportsCsvAndChartFromTheWindow();
    void keyboardReachesTheMainActions();
};

void TestWindow::restoresStoredEndpoints_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QStringList>("fields"); // source address, port, drain address, port
    const QString d = QStringLiteral("192.168.1.100");
    const QString p = QStringLiteral("5555");
    QTest::newRow("nothing stored") << QByteArray("[General]\n") << QStringList{d, p, d, p};
    QTest::newRow("source only") << QByteArray("[General]\nsourceaddress=10.1.2.3, 5025\n")
                                 << QStringList{"10.1.2.3", "5025", d, p};
    QTest::newRow("both, extra elements ignored")
        << QByteArray("[General]\nsourceaddress=a, b, c\ndrainaddress=host.lab, 7\n")
        << QStringList{"a", "b", "host.lab", "7"};
    QTest::newRow("two empty strings are kept")
        << QByteArray("[General]\nsourceaddress=, \n") << QStringList{"", "", d, p};
    QTest::newRow("quoted text is one string")
        << QByteArray("[General]\nsourceaddress=\"10.1.2.3, 5025\"\n") << QStringList{d, p, d, p};
    QTest::newRow("single string")
        << QByteArray("[General]\nsourceaddress=10.1.2.3\n") << QStringList{d, p, d, p};
    QTest::newRow("number") << QByteArray("[General]\ndrainaddress=5\n") << QStringList{d, p, d, p};
    QTest::newRow("empty list") << QByteArray("[General]\nsourceaddress=@Invalid()\n")
                                << QStringList{d, p, d, p};
    QTest::newRow("typed number")
        << QByteArray("[General]\nsourceaddress=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)\n")
        << QStringList{d, p, d, p};
}

void TestWindow::restoresStoredEndpoints()
{
    QFETCH(QByteArray, settings);
    QFETCH(QStringList, fields);
    StdoutCapture out;
    resetPoints();
    appendPoint(1.0, 2.0);
    Bench bench(settings, false);
    out.restore();
    ViewController& vc = bench.vc();
    QCOMPARE((QStringList{vc.sourceip->text(), vc.sourceport->text(), vc.drainip->text(),
                          vc.drainport->text()}),
             fields);
    // Start-up touches neither the endpoints in use nor the store.
    QVERIFY(vc.sip.isEmpty() && vc.sport.isEmpty() && vc.dip.isEmpty() && vc.dport.isEmpty());
    QCOMPARE(bench.settingsText(), settings);
    QCOMPARE(describePoints(), std::string("[[0.0, 0.0]]"));
    QVERIFY(vc.xAxis->isHidden() && vc.YAxis->isHidden());
    QCOMPARE(out.text(), bench.fake.home().toUtf8() + '\n');
    // One chart, showing the start-up point.
    QCOMPARE(vc.contview->findChildren<BarChart*>().size(), 1);
    QCOMPARE(vc.chart()->livePointCount(), 1);
    QVERIFY(vc.chart()->height() >= 300);
}

void TestWindow::identifiesEachInstrumentOnItsOwn()
{
    Bench bench;
    ViewController& vc = bench.vc();
    StdoutCapture out;
    vc.sourceip->setText(QStringLiteral("127.0.0.2"));
    vc.sourceport->setText(QStringLiteral("5555"));
    vc.sourceIdentify->click();
    QTRY_COMPARE_WITH_TIMEOUT(vc.sourcestatt->text(),
                              QStringLiteral("FAKE,Instrument at 127.0.0.2,0,1.0\n"), 5000);
    QCOMPARE(bench.fake.calls(), QStringList{"127.0.0.2 5555 *IDN?"});
    QCOMPARE(out.text(), QByteArray("FAKE,Instrument at 127.0.0.2,0,1.0\n\n"));
    QCOMPARE(vc.sip, QStringLiteral("127.0.0.2"));
    QCOMPARE(vc.sport, QStringLiteral("5555"));
    QCOMPARE(vc.command, QStringLiteral("*IDN?"));
    QVERIFY(vc.dip.isEmpty() && vc.dport.isEmpty());
    QVERIFY(!vc.drainstat->text().startsWith(QLatin1String("FAKE")));

    // Identifying again with other texts keeps the second pair; an empty field still asks.
    vc.drainip->setText(QStringLiteral("127.0.0.3"));
    vc.drainport->setText(QString());
    vc.drainIdentify->click();
    QTRY_VERIFY_WITH_TIMEOUT(vc.drainstat->text().startsWith(QLatin1String("FAKE")), 5000);
    QCOMPARE(bench.fake.calls().last(), QStringLiteral("127.0.0.3  *IDN?"));
    QCOMPARE(vc.dport, QString());
    QCOMPARE(vc.sip, QStringLiteral("127.0.0.2"));
    QVERIFY(vc.identityline->text().contains(QLatin1String("FAKE,Instrument at 127.0.0.3")));
}

void TestWindow::missingScriptIsExplained()
{
    Bench bench;
    QVERIFY(QFile::remove(bench.fake.path(QStringLiteral("sendArbcmd.sh"))));
    bench.vc().sourceip->setText(FakeInstruments::sourceAddress);
    bench.vc().sourceIdentify->click();
    QTRY_VERIFY_WITH_TIMEOUT(!bench.vc().sourcestatt->text().startsWith(QLatin1String("Asking")),
                             5000);
    const QString shown = bench.vc().sourcestatt->text();
    QVERIFY2(shown.contains(QLatin1String("no such file")), qPrintable(shown)); // the shell's reply
    QVERIFY2(shown.contains(QLatin1String("which is missing")), qPrintable(shown));
}

void TestWindow::runIsRefusedBeforeIdentification()
{
    Bench bench;
    ViewController& vc = bench.vc();
    vc.ivRun->click();
    QVERIFY(bench.status().contains(QLatin1String("Identify the source and the meter first")));
    vc.sourceip->setText(FakeInstruments::sourceAddress);
    vc.sourceIdentify->click();
    QTRY_VERIFY_WITH_TIMEOUT(vc.sourcestatt->text().startsWith(QLatin1String("FAKE")), 5000);
    vc.ivRun->click();
    QVERIFY(bench.status().contains(QLatin1String("Identify the meter first")));
    QTest::qWait(300);
    QCOMPARE(bench.fake.calls().size(), 1); // the identification only
    QVERIFY(!bench.settingsText().contains("sourceaddress"));
    QVERIFY(!vc.sweep().isRunning());
}

void TestWindow::badSweepInputIsRefusedBeforeAnythingIsSent_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("stop");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<int>("shape");
    QTest::addColumn<QString>("limit");
    QTest::addColumn<QString>("named");
    QTest::newRow("start not a number") << "abc"
                                        << "1"
                                        << "10" << 0 << ""
                                        << "Start";
    QTest::newRow("start infinite") << "inf"
                                    << "1"
                                    << "10" << 0 << ""
                                    << "Start";
    QTest::newRow("stop with comma") << "0"
                                     << "1,5"
                                     << "10" << 0 << ""
                                     << "Stop";
    QTest::newRow("stop nan") << "0"
                              << "nan"
                              << "10" << 0 << ""
                              << "Stop";
    QTest::newRow("no steps") << "0"
                              << "1"
                              << "0" << 0 << ""
                              << "Steps";
    QTest::newRow("fractional steps") << "0"
                                      << "1"
                                      << "2.5" << 0 << ""
                                      << "Steps";
    QTest::newRow("too many steps") << "0"
                                    << "1"
                                    << "100001" << 0 << ""
                                    << "Steps";
    QTest::newRow("empty steps") << "0"
                                 << "1"
                                 << "" << 0 << ""
                                 << "Steps";
    QTest::newRow("log through zero") << "-1"
                                      << "1"
                                      << "10" << 2 << ""
                                      << "Start and Stop";
    QTest::newRow("log from zero") << "0"
                                   << "1"
                                   << "10" << 2 << ""
                                   << "Start and Stop";
    QTest::newRow("negative limit") << "0"
                                    << "1"
                                    << "10" << 0 << "-1"
                                    << "Limit";
    QTest::newRow("limit text") << "0"
                                << "1"
                                << "10" << 0 << "1 mA"
                                << "Limit";
}

void TestWindow::badSweepInputIsRefusedBeforeAnythingIsSent()
{
    QFETCH(QString, start);
    QFETCH(QString, stop);
    QFETCH(QString, steps);
    QFETCH(int, shape);
    QFETCH(QString, limit);
    QFETCH(QString, named);
    Bench bench;
    bench.identifyBoth();
    const QByteArray storedBefore = bench.settingsText();
    bench.setSweep(start, stop, steps);
    bench.vc().ivShape->setCurrentIndex(shape);
    bench.vc().ivLimit->setText(limit);
    bench.vc().ivRun->click();
    QVERIFY2(bench.status().contains(named), qPrintable(bench.status()));
    QVERIFY(!bench.vc().sweep().isRunning());
    QTest::qWait(200);
    QCOMPARE(bench.fake.calls(), QStringList());
    QCOMPARE(bench.settingsText(), storedBefore);
}

void TestWindow::sweepSendsItsCommandsInOrder()
{
    Bench bench;
    bench.identifyBoth();
    ViewController& vc = bench.vc();
    bench.setSweep("0", "1", "4");
    vc.drainSensitivity->setCurrentIndex(2);
    StdoutCapture out;
    vc.ivRun->click();
    QVERIFY(vc.IVstart->isEnabled() == false); // fields are locked while it runs
    QVERIFY(bench.waitForSweepEnd());
    out.restore();

    const QString s = QStringLiteral("127.0.0.2 5555 ");
    const QString m = QStringLiteral("127.0.0.3 5555 ");
    QStringList expected{s + ":SOUR1:APPL:DC 1,1,0.0", s + ":OUTP1 ON", m + ":FUNCtion:CURRent:DC",
                         m + ":MEAS:CURR:DC 2", m + ":RATE:CURR:DC M"};
    for (const char* level : {"0.0", "0.25", "0.5", "0.75", "1.0"})
        expected << s + ":SOUR1:APPL:DC 1,1," + level << m + ":MEAS:CURR:DC?";
    expected << s + ":OUTP1 OFF";
    QCOMPARE(bench.fake.calls(), expected);

    // Each point pairs a level with the current measured at that level.
    QCOMPARE(describePoints(),
             std::string("[[0.0, 0.0], [0.25, 0.00025], [0.5, 0.0005], [0.75, 0.00075], "
                         "[1.0, 0.001]]"));
    QCOMPARE(out.text(), QByteArray("0.000000E+00\n\n2.500000E-04\n\n5.000000E-04\n\n"
                                    "7.500000E-04\n\n1.000000E-03\n\n"));
    QVERIFY(bench.status().contains(QLatin1String("complete")));
    QCOMPARE(vc.ivProgress->value(), 5);
    QCOMPARE(vc.chart()->livePointCount(), 5);
    QVERIFY(vc.IVstart->isEnabled());
    QVERIFY(!vc.xAxis->isHidden());
    // The endpoints of the identifications are remembered for the next start.
    QSettings stored(bench.settingsPath(), QSettings::IniFormat);
    QCOMPARE(stored.value(QStringLiteral("sourceaddress")).toStringList(),
             (QStringList{"127.0.0.2", "5555"}));
    QCOMPARE(stored.value(QStringLiteral("drainaddress")).toStringList(),
             (QStringList{"127.0.0.3", "5555"}));
}

void TestWindow::restartDuringSweepStartsClean()
{
    Bench bench;
    bench.identifyBoth();
    bench.fake.setMeasureDelay(0.15);
    bench.setSweep("0", "1", "5");
    ViewController& vc = bench.vc();
    vc.ivRun->click();
    QTRY_VERIFY_WITH_TIMEOUT(vc.sweep().pointsDone() >= 2, 10000);
    vc.ivRun->click(); // restart while a reading is in flight
    QVERIFY(bench.waitForSweepEnd());
    // Exactly the new sweep's six points, none left over from the first.
    QCOMPARE(describePoints(),
             std::string("[[0.0, 0.0], [0.2, 0.0002], [0.4, 0.0004], [0.6, 0.0006], "
                         "[0.8, 0.0008], [1.0, 0.001]]"));
    QCOMPARE(bench.fake.sourceCommands().count(QStringLiteral(":OUTP1 ON")), 2);
    QCOMPARE(bench.fake.sourceCommands().last(), QStringLiteral(":OUTP1 OFF"));
    QCOMPARE(vc.chart()->livePointCount(), 6);
    QCOMPARE(vc.chart()->earlierTraceCount(), 1);
}

void TestWindow::stopSwitchesTheOutputOff()
{
    Bench bench;
    bench.identifyBoth();
    bench.fake.setMeasureDelay(0.2);
    bench.setSweep("0", "1", "50");
    ViewController& vc = bench.vc();
    vc.ivRun->click();
    QTRY_VERIFY_WITH_TIMEOUT(vc.sweep().pointsDone() >= 2, 10000);
    QVERIFY(vc.ivStop->isEnabled());
    vc.ivStop->click();
    QVERIFY(bench.waitForSweepEnd(5000));
    const int kept = int(ivPoints().size());
    QVERIFY(kept >= 2 && kept < 51);
    QCOMPARE(vc.sweep().pointsDone(), kept);
    QCOMPARE(bench.fake.sourceCommands().last(), QStringLiteral(":OUTP1 OFF"));
    QVERIFY2(bench.status().contains(QLatin1String("stopped")), qPrintable(bench.status()));
    QVERIFY(!vc.ivStop->isEnabled());
    const int calls = bench.fake.calls().size();
    QTest::qWait(400);
    QCOMPARE(bench.fake.calls().size(), calls); // nothing more is sent
}

void TestWindow::failedMeasurementEndsTheSweepSafely_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("shown");
    QTest::newRow("garbage") << QByteArray("#$%garbage\n") << "#$%garbage";
    QTest::newRow("link error") << QByteArray("kestrel-scpi: 127.0.0.3:5555: connection refused\n")
                                << "connection refused";
    QTest::newRow("carriage return") << QByteArray("1.0E-03\r\n") << "not a number";
    QTest::newRow("empty") << QByteArray("") << "(no reply)";
    QTest::newRow("overload") << QByteArray("9.9E37\n") << "overloaded";
}

void TestWindow::failedMeasurementEndsTheSweepSafely()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, shown);
    Bench bench;
    bench.identifyBoth();
    bench.fake.setMeterReply(4, reply);
    QVERIFY(bench.sweep("0", "1", "10"));
    QCOMPARE(describePoints(), std::string("[[0.0, 0.0], [0.1, 0.0001], [0.2, 0.0002]]"));
    QVERIFY2(bench.status().contains(shown), qPrintable(bench.status()));
    QVERIFY(bench.status().contains(QLatin1String("0.3 V")));
    QCOMPARE(bench.fake.sourceCommands().last(), QStringLiteral(":OUTP1 OFF"));
    QCOMPARE(bench.vc().sweepstatus->styleSheet().isEmpty(), false); // shown as a problem
}

void TestWindow::complaintFromTheSourceEndsTheSweep()
{
    Bench bench;
    bench.identifyBoth();
    bench.fake.setSettingReply("kestrel-scpi: 127.0.0.2:5555: connection refused\n");
    QVERIFY(bench.sweep("0", "1", "10"));
    QVERIFY2(bench.status().contains(QLatin1String("did not take \":SOUR1:APPL:DC 1,1,0.0\"")),
             qPrintable(bench.status()));
    QVERIFY(bench.status().contains(QLatin1String("may still be on")));
    QCOMPARE(bench.fake.sourceCommands(), (QStringList{":SOUR1:APPL:DC 1,1,0.0", ":OUTP1 OFF"}));
}

void TestWindow::windowStaysLiveWhileTheMeterThinks()
{
    Bench bench;
    bench.identifyBoth();
    bench.fake.setMeasureDelay(0.3);
    bench.startSweep("0", "1", "100");
    // A window that waited for each reading would stall 300 ms at a time.
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longestGap = 0;
    while (clock.elapsed() < 1500) {
        QTest::qWait(10);
        longestGap = std::max(longestGap, clock.elapsed() - last);
        last = clock.elapsed();
    }
    QVERIFY(bench.vc().sweep().pointsDone() >= 2);
    QVERIFY2(longestGap < 200, qPrintable(QString::number(longestGap)));
    bench.vc().ivStop->click();
    QVERIFY(bench.waitForSweepEnd());
}

void TestWindow::savesWhereverTheUserChose()
{
    Bench bench;
    bench.identifyBoth();
    QVERIFY(bench.sweep("-1", "1", "2"));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("my \"quoted\" data's $HOME *.txt"));
    bench.vc().showSavePanel = [&] { return path; };
    StdoutCapture out;
    bench.vc().savebutton->click();
    QTRY_VERIFY_WITH_TIMEOUT(bench.status().startsWith(QLatin1String("Saved")), 5000);
    out.restore();
    QCOMPARE(bench.status(), QStringLiteral("Saved 3 points to ") + path);
    QCOMPARE(out.text(), path.toUtf8() + '\n');
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("[[-1.0, -0.001], [0.0, 0.0], [1.0, 0.001]]\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 1);
}

void TestWindow::failedOrCancelledSaveIsReported()
{
    Bench bench;
    QTemporaryDir dir;
    bench.vc().showSavePanel = [] { return QString(); };
    bench.vc().savebutton->click();
    QCOMPARE(bench.status(), QStringLiteral("Nothing saved."));

    const QString missing = dir.filePath(QStringLiteral("gone/iv.txt"));
    bench.vc().showSavePanel = [&] { return missing; };
    bench.vc().savebutton->click();
    QTRY_VERIFY_WITH_TIMEOUT(bench.status().startsWith(QLatin1String("Could not save")), 5000);
    QVERIFY(bench.status().contains(missing));
    QVERIFY(!bench.vc().sweepstatus->styleSheet().isEmpty());
    QVERIFY(QDir(dir.path()).isEmpty());
}

void TestWindow::savesLargeDataSets()
{
    Bench bench;
    resetPoints();
    for (int i = 1; i < 10000; ++i)
        appendPoint(i * 1e-4, -i * 3.3e-9);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("large.txt"));
    bench.vc().showSavePanel = [&] { return path; };
    bench.vc().savebutton->click();
    QTRY_VERIFY_WITH_TIMEOUT(bench.status().startsWith(QLatin1String("Saved 10000 points")), 10000);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray::fromStdString(describePoints()) + '\n');
}

void TestWindow::closingDuringSweepSwitchesTheOutputOff()
{
    Bench bench;
    bench.identifyBoth();
    bench.fake.setMeasureDelay(2);
    bench.startSweep("0", "1", "10");
    QTRY_VERIFY_WITH_TIMEOUT(bench.fake.calls().size() >= 6, 5000); // a reading is under way
    QTest::qWait(100);
    QElapsedTimer clock;
    clock.start();
    bench.window->close();
    QVERIFY(clock.elapsed() < shellTimeoutMs);
    QVERIFY(!bench.window->isVisible());
    QCOMPARE(bench.fake.sourceCommands().last(), QStringLiteral(":OUTP1 OFF"));
    QVERIFY(!bench.vc().sweep().isRunning());
}

void TestWindow::sweepFieldsComeBackAtTheNextStart()
{
    QByteArray stored;
    {
        Bench bench;
        bench.identifyBoth();
        bench.setSweep("0.5", "0.01", "2");
        bench.vc().ivShape->setCurrentIndex(2); // log
        bench.vc().drainSensitivity->setCurrentIndex(3);
        bench.vc().ivLimit->setText(QStringLiteral("0.25"));
        bench.vc().ivRun->click();
        QVERIFY(bench.waitForSweepEnd());
        QVERIFY2(bench.status().contains(QLatin1String("complete")), qPrintable(bench.status()));
        stored = bench.settingsText();
    }
    Bench again(stored);
    ViewController& vc = again.vc();
    QCOMPARE(vc.IVstart->text(), QStringLiteral("0.5"));
    QCOMPARE(vc.IVstop->text(), QStringLiteral("0.01"));
    QCOMPARE(vc.IVsteps->text(), QStringLiteral("2"));
    QCOMPARE(vc.ivShape->currentData().toString(), QStringLiteral("log"));
    QCOMPARE(vc.drainSensitivity->currentIndex(), 3);
    QCOMPARE(vc.ivLimit->text(), QStringLiteral("0.25"));
    QCOMPARE(vc.sourceip->text(), FakeInstruments::sourceAddress);
    QCOMPARE(vc.drainip->text(), FakeInstruments::meterAddress);

    // Values of the wrong kind fall back to the defaults, silently.
    Bench odd("[General]\nsweepstart=1, 2\nsweeprange=99\nsweepshape=zigzag\n");
    QCOMPARE(odd.vc().IVstart->text(), QStringLiteral("-1"));
    QCOMPARE(odd.vc().drainSensitivity->currentIndex(), 0);
    QCOMPARE(odd.vc().ivShape->currentData().toString(), QStringLiteral("linear"));
}

void TestWindow::exportsCsvAndChartFromTheWindow()
{
    Bench bench;
    bench.identifyBoth();
    QVERIFY(bench.sweep("0", "1", "2"));

    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("iv data.csv"));
    bench.vc().showCsvPanel = [&] { return csv; };
    bench.vc().csvbutton->click();
    QTRY_VERIFY_WITH_TIMEOUT(bench.status().startsWith(QLatin1String("Exported 3 points")), 5000);
    QFile file(csv);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(
        text.contains("# source: 127.0.0.2:5555\n# source identity: FAKE,Instrument at 127.0.0.2"));
    QVERIFY(
        text.contains("# meter: 127.0.0.3:5555\n# meter identity: FAKE,Instrument at 127.0.0.3"));
    QVERIFY(text.endsWith("voltage_V,current_A\n0.0,0.0\n0.5,0.0005\n1.0,0.001\n"));

    const QString png = dir.filePath(QStringLiteral("chart.png"));
    bench.vc().showChartPanel = [&] { return png; };
    bench.vc().exportChart->click();
    QCOMPARE(bench.status(), QStringLiteral("Chart exported to ") + png);
    QVERIFY(!QImage(png).isNull());

    bench.vc().logCurrent->setChecked(true);
    QCOMPARE(bench.vc().chart()->plot()->yAxis->scaleType(), QCPAxis::stLogarithmic);
    QVERIFY(bench.vc().YAxis->text().contains(QLatin1String("logarithmic")));
}

void TestWindow::keyboardReachesTheMainActions()
{
    Bench bench;
    ViewController& vc = bench.vc();
    QCOMPARE(vc.ivRun->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
    QCOMPARE(vc.ivStop->shortcut(), QKeySequence(Qt::Key_Escape));
    QCOMPARE(vc.savebutton->shortcut(), QKeySequence(QKeySequence::Save));
    // Every field and button says what it does.
    for (QWidget* widget : std::initializer_list<QWidget*>{
             vc.sourceip, vc.sourceport, vc.drainip, vc.drainport, vc.sourceIdentify,
             vc.drainIdentify, vc.IVstart, vc.IVstop, vc.IVsteps, vc.ivShape, vc.drainSensitivity,
             vc.ivLimit, vc.ivRun, vc.ivStop, vc.savebutton, vc.csvbutton, vc.logCurrent,
             vc.clearTraces, vc.exportChart})
        QVERIFY2(widget && widget->toolTip().size() > 10,
                 widget ? qPrintable(widget->objectName()) : "missing");
    QVERIFY(vc.IVstart->toolTip().contains(QLatin1String("volts")));
    QVERIFY(vc.ivLimit->toolTip().contains(QLatin1String("amps")));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
