#include "sim/dialects.h"
#include "sim/scpiheader.h"
#include "sim/simoptions.h"

#include <QFile>
#include <QTest>

using namespace kestrel::sim;
using namespace Qt::Literals::StringLiterals;

namespace
{

std::unique_ptr<Instrument> makeAny(const QString& name, Circuit& circuit, bool answerTsp = false)
{
    for (const DialectRole role : {DialectRole::Source, DialectRole::Meter, DialectRole::Smu}) {
        if (auto instrument = makeDialect(role, name, circuit, {{0.0, 1}, answerTsp}))
            return instrument;
    }
    return nullptr;
}

} // namespace

class TestSimDialects : public QObject
{
    Q_OBJECT

  private slots:
    void transcript_data();
    void transcript();
    void langAnswersTheCommandSet();
    void options_data();
    void options();
};

void TestSimDialects::transcript_data()
{
    QTest::addColumn<QString>("dialect");
    for (const DialectRole role : {DialectRole::Source, DialectRole::Meter, DialectRole::Smu}) {
        for (const QString& name : dialectNames(role)) {
            if (name != QLatin1String("default"))
                QTest::newRow(qPrintable(name)) << name;
        }
    }
}

// Plays tests/data/dialects/NAME.txt (its README tells the format) on a 1 kOhm resistor.
void TestSimDialects::transcript()
{
    QFETCH(QString, dialect);
    QFile file(QStringLiteral(KESTREL_TEST_DATA_DIR "/dialects/%1.txt").arg(dialect));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    const QByteArrayList lines = file.readAll().split('\n');
    Circuit circuit{std::make_shared<Resistor>(1000.0)};
    const std::unique_ptr<Instrument> instrument = makeAny(dialect, circuit);
    QVERIFY(instrument);
    Response last;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        const QByteArray where = file.fileName().toUtf8() + ':' + QByteArray::number(i + 1);
        const std::optional<double> number =
            numberParameter(line.sliced(line.lastIndexOf(' ') + 1));
        if (line.startsWith("> ")) {
            last = instrument->execute(line.sliced(2));
            const bool replied = i + 1 < lines.size() && lines[i + 1].startsWith("< ");
            QVERIFY2(last.reply.has_value() == replied, where.constData());
            if (replied)
                QCOMPARE(*last.reply, lines[++i].sliced(2));
        } else if (line.startsWith("@ ") && number) {
            circuit.outputOn = true;
            circuit.levelVolts = *number;
        } else if (line.startsWith("= amps ") && number) {
            QVERIFY2(qFuzzyCompare(circuit.current(), *number), where.constData());
        } else if (line.startsWith("= volts ") && number) {
            QVERIFY2(qFuzzyCompare(circuit.levelVolts, *number), where.constData());
        } else if (line.startsWith("= ms ") && number) {
            QVERIFY2(last.measurement && last.integrationMs == int(*number), where.constData());
        } else {
            QVERIFY2(line.isEmpty() || line.startsWith('#'), where.constData());
        }
    }
}

void TestSimDialects::langAnswersTheCommandSet()
{
    Circuit circuit{std::make_shared<Resistor>(1000.0)};
    QCOMPARE(makeAny(u"keithley-2450"_s, circuit, true)->execute("*LANG?").reply,
             std::optional("TSP"_ba));
}

void TestSimDialects::options_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error");
    QTest::newRow("source and meter")
        << QStringList{u"--source-dialect"_s, u"siglent-spd"_s, u"--meter-dialect=keysight-344xx"_s}
        << QString();
    QTest::newRow("smu") << QStringList{u"--smu"_s, u"keithley-2450"_s, u"--lang-tsp"_s}
                         << QString();
    QTest::newRow("unknown") << QStringList{u"--meter-dialect"_s, u"keithley-2400"_s}
                             << u"--meter-dialect keithley-2400: expected one of default, "
                                "keysight-344xx, keithley-dmm6500"_s;
    QTest::newRow("smu and a meter")
        << QStringList{u"--smu"_s, u"keysight-b2900"_s, u"--meter-dialect"_s, u"keysight-344xx"_s}
        << u"--smu stands for both instruments: leave out --source-dialect and --meter-dialect"_s;
    QTest::newRow("tsp without a 2450")
        << QStringList{u"--smu"_s, u"keithley-2400"_s, u"--lang-tsp"_s}
        << u"--lang-tsp needs --smu keithley-2450"_s;
    QTest::newRow("temperature below absolute zero")
        << QStringList{u"--temperature"_s, u"-300"_s}
        << u"--temperature -300: expected degrees Celsius above -273.15 and up to 1000"_s;
}

void TestSimDialects::options()
{
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    const SimArguments parsed = parseSimArguments(args);
    QCOMPARE(parsed.error, error);
    QCOMPARE(parsed.action, error.isEmpty() ? SimAction::Run : SimAction::UsageError);
}

QTEST_GUILESS_MAIN(TestSimDialects)
#include "tst_simdialects.moc"
