#include "data/numbertext.h"

#include <QRandomGenerator>
#include <QTest>

#include <algorithm>
#include <bit>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>

using kestrel::formatDouble;
using kestrel::parseReplyNumber;

class TestNumberText : public QObject
{
    Q_OBJECT

  private slots:
    void formatsLikeTheRule_data();
    void formatsLikeTheRule();
    void roundTripsRandomBitPatterns();
    void replyNumberRule_data();
    void replyNumberRule();
    void commaLocaleChangesNothing();
};

void TestNumberText::formatsLikeTheRule_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("tenth") << 0.1 << "0.1";
    QTest::newRow("one") << 1.0 << "1.0";
    QTest::newRow("zero") << 0.0 << "0.0";
    QTest::newRow("negative zero") << -0.0 << "-0.0";
    QTest::newRow("1e-4 positional") << 0.0001 << "0.0001";
    QTest::newRow("1e-5 exponent") << 0.00001 << "1e-05";
    QTest::newRow("small with digits") << 0.000012345 << "1.2345e-05";
    QTest::newRow("denormal min") << 5e-324 << "5e-324";
    QTest::newRow("max") << std::numeric_limits<double>::max() << "1.7976931348623157e+308";
    QTest::newRow("0.1+0.2") << 0.1 + 0.2 << "0.30000000000000004";
    QTest::newRow("-1 + 5 x 0.2") << -1.0 + 0.2 + 0.2 + 0.2 + 0.2 + 0.2 << "-5.551115123125783e-17";
    QTest::newRow("trailing zeros") << 5000.0 << "5000.0";
    QTest::newRow("just below 1e16") << 9999999999999998.0 << "9999999999999998.0";
    QTest::newRow("1e16 exponent") << 1e16 << "1e+16";
    QTest::newRow("2^60") << 1152921504606846976.0 << "1.152921504606847e+18";
    QTest::newRow("inf") << inf << "inf";
    QTest::newRow("-inf") << -inf << "-inf";
}

void TestNumberText::formatsLikeTheRule()
{
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdString(formatDouble(value)), text);
}

void TestNumberText::roundTripsRandomBitPatterns()
{
    QRandomGenerator random(20261206);
    for (int i = 0; i < 300000; ++i) {
        const double x = std::bit_cast<double>(random.generate64());
        const std::string text = formatDouble(x);
        if (!std::isfinite(x)) {
            QCOMPARE(text, std::string(std::isnan(x) ? "nan" : x > 0 ? "inf" : "-inf"));
            continue;
        }
        // Read back by the reply rule, subnormals included.
        const auto back = kestrel::parseNumber(text);
        QVERIFY2(back && std::bit_cast<quint64>(*back) == std::bit_cast<quint64>(x), text.c_str());
    }
}

void TestNumberText::replyNumberRule_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("isNumber");
    QTest::addColumn<double>("value");
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("instrument style") << QByteArray("1.5E-6\n") << true << 1.5e-6;
    QTest::newRow("no line feed") << QByteArray("-2.25") << true << -2.25;
    QTest::newRow("further lines") << QByteArray("1.5\nnoise\n") << true << 1.5;
    QTest::newRow("bare point forms") << QByteArray(".5\n") << true << 0.5;
    QTest::newRow("signed exponent") << QByteArray("+5.E-1") << true << 0.5;
    QTest::newRow("overflow is an overload") << QByteArray("1e999\n") << true << inf;
    QTest::newRow("overload mark") << QByteArray("9.9E37\n") << true << 9.9e37;
    QTest::newRow("zero stays zero") << QByteArray("0e-999\n") << true << 0.0;
    QTest::newRow("underflow") << QByteArray("1e-400\n") << false << 0.0;
    QTest::newRow("smallest subnormal") << QByteArray("4.9e-324\n") << true << 5e-324;
    QTest::newRow("below it") << QByteArray("2e-324\n") << false << 0.0;
    QTest::newRow("hex float") << QByteArray("0x1.8p1\n") << false << 0.0;
    QTest::newRow("nan") << QByteArray("nan\n") << false << 0.0;
    QTest::newRow("-nan") << QByteArray("-nan\n") << false << 0.0;
    QTest::newRow("inf word") << QByteArray("inf\n") << false << 0.0;
    QTest::newRow("no digits") << QByteArray("-.e5\n") << false << 0.0;
    QTest::newRow("carriage return") << QByteArray("1.5\r\n") << false << 0.0;
    QTest::newRow("leading blank") << QByteArray(" 1.5\n") << false << 0.0;
    QTest::newRow("empty") << QByteArray("") << false << 0.0;
    QTest::newRow("only line feed") << QByteArray("\n1.5") << false << 0.0;
    QTest::newRow("trailing blank") << QByteArray("1.5 \n") << false << 0.0;
    QTest::newRow("comma decimal") << QByteArray("1,5\n") << false << 0.0;
    QTest::newRow("embedded nul") << QByteArray("1.5\0007\n", 6) << false << 0.0;
}

void TestNumberText::replyNumberRule()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, isNumber);
    QFETCH(double, value);
    const auto parsed = parseReplyNumber(std::string_view(reply.constData(), reply.size()));
    QCOMPARE(parsed.has_value(), isNumber);
    if (isNumber)
        QCOMPARE(*parsed, value);
}

void TestNumberText::commaLocaleChangesNothing()
{
    const char* previous = std::setlocale(LC_ALL, nullptr);
    const std::string saved = previous ? previous : "C";
    QVERIFY2(std::setlocale(LC_ALL, "de_DE.UTF-8"),
             "the de_DE.UTF-8 locale is missing: scripts/deps.sh generates it");
    // The locale really writes commas, so the checks below mean something.
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    QCOMPARE(QByteArray(probe), QByteArray("1,5"));

    QCOMPARE(parseReplyNumber("1.5E-6\n").value_or(0), 1.5e-6);
    QVERIFY(!parseReplyNumber("1,5\n").has_value());
    QCOMPARE(formatDouble(-0.25), std::string("-0.25"));
    QCOMPARE(formatDouble(1.2345e-5), std::string("1.2345e-05"));
    std::setlocale(LC_ALL, saved.c_str());
}

QTEST_GUILESS_MAIN(TestNumberText)
#include "tst_numbertext.moc"
