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
    void diodeCurveRisesWithItsKneeNearSixTenthsOfAVolt();
    void solarCellSolvesItsCircuitInTheMetersConvention();
    void solarCellIsSpeltWithItsThreeValues();
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
    QVERIFY2(std::abs(predicted - amps) <= 1e-9 * std::max(std::abs(amps), p.saturationAmps),
             qPrintable(QStringLiteral("I=%1 predicted=%2").arg(amps, 0, 'g', 17).arg(predicted)));
    if (volts < -0.3)
        QVERIFY(std::abs(amps + p.saturationAmps) < 1e-6 * p.saturationAmps);
}

void TestSimDevice::diodeCurveRisesWithItsKneeNearSixTenthsOfAVolt()
{
    const Diode diode;
    for (int step = -99; step <= 100; ++step)
        QVERIFY2(diode.current(step / 100.0) >= diode.current((step - 1) / 100.0),
                 qPrintable(QString::number(step / 100.0)));
    const double atOneVolt = diode.current(1.0);
    // Fits the most sensitive meter range (200 uA) over a -1 V .. 1 V sweep...
    QVERIFY2(atOneVolt > 10e-6 && atOneVolt < 200e-6, qPrintable(QString::number(atOneVolt)));
    // ...and reaches 1 % of that between 0.55 V and 0.7 V: flat below, steep above.
    QVERIFY(diode.current(0.55) < 0.01 * atOneVolt);
    QVERIFY(diode.current(0.7) > 0.01 * atOneVolt);
    QVERIFY(diode.current(0.8) > 0.2 * atOneVolt);
}

void TestSimDevice::solarCellSolvesItsCircuitInTheMetersConvention()
{
    const SolarCell cell;
    const SolarCellParameters& p = cell.parameters();
    double previous = -INFINITY;
    for (int step = -100; step <= 100; ++step) {
        const double volts = step / 100.0;
        const double meterAmps = cell.current(volts);
        const double amps = -meterAmps; // photovoltaic convention
        const double vj = volts + amps * p.seriesOhms;
        const double predicted = p.photoAmps -
                                 p.saturationAmps * std::expm1(vj / (p.ideality * p.thermalVolts)) -
                                 vj / p.shuntOhms;
        QVERIFY2(
            std::abs(predicted - amps) <= 1e-9 * std::max(1.0, std::abs(amps)),
            qPrintable(
                QStringLiteral("%1 V: I=%2 predicted=%3").arg(volts).arg(amps).arg(predicted)));
        QVERIFY(meterAmps > previous);
        previous = meterAmps;
        // Generating between 0 V and Voc, about 0.57 V.
        if (volts > 0 && volts < 0.56)
            QVERIFY2(volts * meterAmps < 0, qPrintable(QString::number(volts)));
        if (volts > 0.58)
            QVERIFY(meterAmps > 0);
    }
    QVERIFY(std::abs(cell.current(0.0) + p.photoAmps) < 0.001 * p.photoAmps);
}

void TestSimDevice::solarCellIsSpeltWithItsThreeValues()
{
    QString error;
    const auto device = makeDevice(QStringLiteral("solar:0.5,0.1,200"), &error);
    const auto* cell = dynamic_cast<const SolarCell*>(device.get());
    QVERIFY(cell);
    QCOMPARE(cell->parameters().photoAmps, 0.5);
    QCOMPARE(cell->parameters().seriesOhms, 0.1);
    QCOMPARE(cell->parameters().shuntOhms, 200.0);
    QVERIFY(dynamic_cast<const SolarCell*>(makeDevice(QStringLiteral("solar"), &error).get()));
    for (const char* wrong : {"solar:1,0,5", "solar:-1,1,5", "solar:1,1", "solar:1,1,5,6",
                              "solar:1,x,5", "solar:1,1,inf"}) {
        error.clear();
        QVERIFY2(!makeDevice(QString::fromLatin1(wrong), &error), wrong);
        QVERIFY2(error.contains(QStringLiteral("solar:IPH,RS,RSH")), qPrintable(error));
    }
}

QTEST_GUILESS_MAIN(TestSimDevice)
#include "tst_simdevice.moc"
