// kestrel-scpi's USBTMC exchange against a stand-in for the kernel's device file.
#include "scpi/usbtmclink.h"

#include <QElapsedTimer>
#include <QTest>

#include <cerrno>
#include <cstring>

using namespace kestrel::scpi;

namespace
{

// The errno each step fails with (0: it works), how many bytes a write takes at most
// and the transfers a read returns, one by one; after them a read fails with readError.
struct Script {
    const char* command = "*IDN?";
    int openError = 0, lockError = 0, timeoutError = 0, readError = ETIMEDOUT;
    long takes = 1 << 20;
    QList<QByteArray> transfers = {};
};

class FakeUsbtmc final : public UsbtmcFile
{
  public:
    explicit FakeUsbtmc(Script script) : script_(std::move(script)) {}
    QByteArray written;
    QList<unsigned> timeoutsMs;

    int open(const std::string&) override { return fail(script_.openError); }
    int tryLock() override { return fail(script_.lockError); }
    int setTimeout(unsigned ms) override
    {
        timeoutsMs << ms;
        return fail(script_.timeoutError);
    }
    long write(const char* data, std::size_t size) override
    {
        written.append(data, std::min(qsizetype(size), qsizetype(script_.takes)));
        return long(written.size());
    }
    long read(char* data, std::size_t) override
    {
        if (script_.transfers.isEmpty())
            return fail(script_.readError);
        const QByteArray next = script_.transfers.takeFirst();
        std::memcpy(data, next.constData(), std::size_t(next.size()));
        return long(next.size());
    }

  private:
    static int fail(int error)
    {
        errno = error;
        return error ? -1 : 0;
    }
    Script script_;
};

} // namespace

Q_DECLARE_METATYPE(Script)

class TestUsbtmc : public QObject
{
    Q_OBJECT

  private slots:
    void exchange_data();
    void exchange();
};

void TestUsbtmc::exchange_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("failure");
    const auto row = [](const char* name, const Script& script, const char* reply,
                        const char* failure) {
        QTest::newRow(name) << script << QByteArray(reply) << QByteArray(failure);
    };
    row("reply over two transfers", {.transfers = {"Maker,Model,", "1,2\r\n"}}, "Maker,Model,1,2",
        "");
    row("command", {.command = ":OUTP ON"}, "", "");
    row("half a line, then nothing", {.transfers = {"Maker"}}, "", "no reply within 0.5 s");
    row("missing", {.openError = ENOENT}, "",
        "no such device: is the instrument plugged in and switched on?");
    row("permission", {.openError = EACCES}, "",
        "permission denied: see the udev rule in the README");
    row("in use", {.lockError = EWOULDBLOCK}, "", "the instrument is in use by another program");
    row("no usbtmc driver", {.timeoutError = ENOTTY}, "",
        "the device takes no time limit: not a USBTMC instrument, or a kernel older than 4.20");
    row("short write", {.command = "*RST", .takes = 3}, "",
        "the instrument took only 3 of 5 bytes of the command");
    row("unplugged mid-reply", {.readError = ENODEV, .transfers = {"Mak"}}, "",
        "the instrument went away (unplugged or switched off?)");
}

void TestUsbtmc::exchange()
{
    QFETCH(Script, script);
    const QByteArray command = script.command;
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, failure);
    FakeUsbtmc file(script);
    const Target target{Transport::Usbtmc, {}, 0, "/nonexistent/usbtmc0", {}};
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
    const qint64 waitMs = script.lockError ? 200 : 0;
    QVERIFY2(clock.elapsed() >= waitMs && clock.elapsed() < waitMs + 100,
             qPrintable(QString::number(clock.elapsed())));
    if (script.openError || script.lockError)
        return;
    // Each transfer has what is left of the reply limit, at least the driver's 100 ms.
    QVERIFY(!file.timeoutsMs.isEmpty());
    for (unsigned ms : std::as_const(file.timeoutsMs))
        QVERIFY2(ms >= 100 && ms <= 500, qPrintable(QString::number(ms)));
    if (!script.timeoutError)
        QCOMPARE(file.written, QByteArray(command + '\n').left(script.takes));
}

QTEST_GUILESS_MAIN(TestUsbtmc)
#include "tst_usbtmc.moc"
