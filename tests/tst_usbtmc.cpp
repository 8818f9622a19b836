// kestrel-scpi's USBTMC exchange against a stand-in for the kernel's device file.
#include "scpi/usbtmclink.h"

#include <QElapsedTimer>
#include <QTest>

#include <cerrno>
#include <cstring>

using namespace kestrel::scpi;

namespace
{

// Answers each call as scripted: an errno for open and the lock, how many bytes a
// write takes, then one read after another (a negative number is an errno).
class FakeUsbtmc final : public UsbtmcFile
{
  public:
    int openError = 0;
    int lockError = 0;
    int timeoutError = 0;
    long takes = -1; // bytes a write takes; -1: all
    QList<QByteArray> reads;
    QList<int> readErrors; // after the reads run out

    QByteArray written;
    QList<unsigned> timeoutsMs;

    int open(const std::string&) override { return fail(openError); }
    int tryLock() override { return fail(lockError); }
    int setTimeout(unsigned ms) override
    {
        timeoutsMs << ms;
        return fail(timeoutError);
    }
    long write(const char* data, std::size_t size) override
    {
        const long n = takes < 0 ? long(size) : takes;
        written.append(data, n);
        return n;
    }
    long read(char* data, std::size_t size) override
    {
        if (reads.isEmpty())
            return fail(readErrors.value(0, ETIMEDOUT));
        const QByteArray next = reads.takeFirst();
        Q_ASSERT(std::size_t(next.size()) <= size);
        std::memcpy(data, next.constData(), std::size_t(next.size()));
        return long(next.size());
    }

  private:
    static int fail(int error)
    {
        errno = error;
        return error ? -1 : 0;
    }
};

} // namespace

class TestUsbtmc : public QObject
{
    Q_OBJECT

  private slots:
    void exchange_data();
    void exchange();
};

void TestUsbtmc::exchange_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QList<int>>("errors"); // open, lock, timeout, read
    QTest::addColumn<long>("takes");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("failure");
    const QList<int> none{0, 0, 0, 0};
    QTest::newRow("reply over two transfers")
        << QByteArray("*IDN?") << QList<QByteArray>{"Maker,Model,", "1,2\r\n"} << none << -1L
        << QByteArray("Maker,Model,1,2") << QByteArray();
    QTest::newRow("command") << QByteArray(":OUTP ON") << QList<QByteArray>{} << none << -1L
                             << QByteArray() << QByteArray();
    QTest::newRow("half a line, then nothing")
        << QByteArray("*IDN?") << QList<QByteArray>{"Maker"} << QList<int>{0, 0, 0, ETIMEDOUT}
        << -1L << QByteArray() << QByteArray("no reply within 0.5 s");
    QTest::newRow("missing") << QByteArray("*IDN?") << QList<QByteArray>{}
                             << QList<int>{ENOENT, 0, 0, 0} << -1L << QByteArray()
                             << QByteArray("no such device: is the instrument plugged in and "
                                           "switched on?");
    QTest::newRow("permission") << QByteArray("*IDN?") << QList<QByteArray>{}
                                << QList<int>{EACCES, 0, 0, 0} << -1L << QByteArray()
                                << QByteArray("permission denied: see the udev rule in the README");
    QTest::newRow("in use") << QByteArray("*IDN?") << QList<QByteArray>{}
                            << QList<int>{0, EWOULDBLOCK, 0, 0} << -1L << QByteArray()
                            << QByteArray("the instrument is in use by another program");
    QTest::newRow("no usbtmc driver")
        << QByteArray("*IDN?") << QList<QByteArray>{} << QList<int>{0, 0, ENOTTY, 0} << -1L
        << QByteArray()
        << QByteArray(
               "the device takes no time limit: not a USBTMC instrument, or a kernel older than "
               "4.20");
    QTest::newRow("short write") << QByteArray("*RST") << QList<QByteArray>{} << none << 3L
                                 << QByteArray()
                                 << QByteArray("the instrument took only 3 of 5 bytes of the "
                                               "command");
    QTest::newRow("unplugged mid-reply")
        << QByteArray("*IDN?") << QList<QByteArray>{"Mak"} << QList<int>{0, 0, 0, ENODEV} << -1L
        << QByteArray() << QByteArray("the instrument went away (unplugged or switched off?)");
}

void TestUsbtmc::exchange()
{
    QFETCH(QByteArray, command);
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QList<int>, errors);
    QFETCH(long, takes);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, failure);
    FakeUsbtmc file;
    file.openError = errors[0];
    file.lockError = errors[1];
    file.timeoutError = errors[2];
    file.readErrors = {errors[3]};
    file.reads = reads;
    file.takes = takes;
    Target target;
    target.transport = Transport::Usbtmc;
    target.device = "/nonexistent/usbtmc0";
    Options options;
    options.command = command.toStdString();
    options.connectSeconds = 0.2;
    options.replySeconds = 0.5;

    QElapsedTimer clock;
    clock.start();
    const Exchange result = usbtmcExchange(target, options, file);
    QCOMPARE(QByteArray::fromStdString(result.failure), failure);
    QCOMPARE(QByteArray::fromStdString(result.reply), reply);
    // The lock is waited for within the connect limit, and no longer.
    QVERIFY(clock.elapsed() < (errors[1] ? 400 : 100));
    QVERIFY(!errors[1] || clock.elapsed() >= 200);
    if (errors[0] || errors[1])
        return;
    // Every transfer has what is left of the reply limit, at least the driver's 100 ms.
    QVERIFY(!file.timeoutsMs.isEmpty());
    for (unsigned ms : std::as_const(file.timeoutsMs))
        QVERIFY2(ms >= 100 && ms <= 500, qPrintable(QString::number(ms)));
    if (!errors[2])
        QCOMPARE(file.written,
                 QByteArray(command + '\n').first(takes < 0 ? command.size() + 1 : takes));
}

QTEST_GUILESS_MAIN(TestUsbtmc)
#include "tst_usbtmc.moc"
