#include "sim/device.h"

#include <QTest>

#include <cmath>

using namespace kestrel::sim;

class TestSimDevice : public QObject
{
    Q_OBJECT

  private slots:
    void diodeCurrentSolvesTheCircuit_data();
    void diodeCurrentSolvesTheCircuit();
    void diodeCurveHasItsKneeNearSixTenthsOfAVolt();
    void diodeCurrentNeverFallsAsTheVoltageRises();
    void deviceTexts_data();
    void deviceTexts();
};

void TestSimDevice::diodeCurrentSolvesTheCircuit_data()
{
    QTest::addColumn<double>("volts");
    for (const double v :
         {-10.0, -1.0, -0.3, -1e-9, 0.0, 1e-9, 0.3, 0.55, 0.6, 0.65, 0.7, 0.8, 1.0, 5.0, 10.0})
        QTest::addRow("%g V", v) << v;
}

// I = Is * (exp((V - I*Rs) / (n*Vt)) - 1) holds for the returned current, from deep
// reverse bias (I = -Is) to where the series resistor takes almost all of V.
void TestSimDevice::diodeCurrentSolvesTheCircuit()
{
    QFETCH(double, volts);
    const Diode diode;
    const DiodeParameters& p = diode.parameters();
    const double amps = diode.current(volts);
    QVERIFY(std::isfinite(amps));
    const double predicted = p.saturationAmps * std::expm1((volts - amps * p.seriesOhms) /
                                                           (p.ideality * p.thermalVolts));
    const double scale = std::max(std::abs(amps), p.saturationAmps);
    QVERIFY2(
        std::abs(predicted - amps) <= 1e-9 * scale,
        qPrintable(
            QStringLiteral("I=%1 predicted=%2").arg(amps, 0, 'g', 17).arg(predicted, 0, 'g', 17)));
    if (volts < -0.3)
        QVERIFY(std::abs(amps + p.saturationAmps) < 1e-6 * p.saturationAmps);
}

void TestSimDevice::diodeCurveHasItsKneeNearSixTenthsOfAVolt()
{
    const Diode diode;
    const double atOneVolt = diode.current(1.0);
    // Fits the most sensitive meter range (200 uA) over a -1 V .. 1 V sweep...
    QVERIFY2(atOneVolt > 10e-6 && atOneVolt < 200e-6, qPrintable(QString::number(atOneVolt)));
    // ...and reaches 1 % of that between 0.55 V and 0.7 V: flat below, steep above.
    QVERIFY(diode.current(0.55) < 0.01 * atOneVolt);
    QVERIFY(diode.current(0.7) > 0.01 * atOneVolt);
    QVERIFY(diode.current(0.8) > 0.2 * atOneVolt);
}

void TestSimDevice::diodeCurrentNeverFallsAsTheVoltageRises()
{
    const Diode diode;
    double previous = diode.current(-1.0);
    for (int step = -99; step <= 100; ++step) {
        const double amps = diode.current(step / 100.0);
        QVERIFY2(amps >= previous, qPrintable(QString::number(step / 100.0)));
        previous = amps;
    }
}

void TestSimDevice::deviceTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<double>("ampsAtTwoVolts");
    QTest::newRow("resistor") << "resistor:1000" << true << 2e-3;
    QTest::newRow("resistor, exponent") << "resistor:4e3" << true << 0.5e-3;
    QTest::newRow("resistor, fraction") << "resistor:0.5" << true << 4.0;
    QTest::newRow("zero ohms") << "resistor:0" << false << 0.0;
    QTest::newRow("negative") << "resistor:-5" << false << 0.0;
    QTest::newRow("infinite") << "resistor:inf" << false << 0.0;
    QTest::newRow("not a number") << "resistor:1k" << false << 0.0;
    QTest::newRow("no value") << "resistor:" << false << 0.0;
    QTest::newRow("unknown device") << "capacitor" << false << 0.0;
    QTest::newRow("case matters") << "Diode" << false << 0.0;
}

void TestSimDevice::deviceTexts()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(double, ampsAtTwoVolts);
    QString error;
    const auto device = makeDevice(text, &error);
    QCOMPARE(device != nullptr, valid);
    QCOMPARE(error.isEmpty(), valid);
    if (valid)
        QCOMPARE(device->current(2.0), ampsAtTwoVolts);
    else
        QVERIFY(error.contains(text));
}

QTEST_GUILESS_MAIN(TestSimDevice)
#include "tst_simdevice.moc"
