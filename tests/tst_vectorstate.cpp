// The upper halves of the vector registers are clear wherever Kestrel's numeric and bulk
// code runs, whatever the thread before it left: on some CPUs legacy SSE code runs
// several times slower otherwise. The CPU itself tells whether they are in use. And
// large blocks freed by such code serve the next, without fresh page faults.
#include "data/memoryreuse.h"
#include "data/vectorstate.h"
#include "link/workqueue.h"

#include <QTest>

#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <functional>

using namespace kestrel;

namespace
{

using Seen = std::optional<bool>;
// Runs the code under test on a thread whose upper halves were left in use, and tells
// what that code found or left.
using Observe = std::function<Seen()>;

// Leaves the upper halves in use here, read back before any other code runs; false
// where the CPU cannot show them in use.
bool leaveInUse()
{
    if (!leaveUpperVectorStateInUse())
        return false;
    const Seen now = upperVectorStateInUse();
    return now && *now;
}

} // namespace

Q_DECLARE_METATYPE(Observe)

class TestVectorState : public QObject
{
    Q_OBJECT
  private slots:
    void clearsOnlyWhereTheCpuHasAvx();
    void numericCodeRunsClear_data();
    void numericCodeRunsClear();
    void largeBlocksFreedAreReusedWithoutPageFaults();
};

void TestVectorState::clearsOnlyWhereTheCpuHasAvx()
{
    if (!leaveInUse())
        QSKIP("this CPU does not tell whether the upper halves are in use");
    clearUpperVectorState(false);
    const Seen withoutAvx = upperVectorStateInUse();
    clearUpperVectorState(true);
    const Seen withAvx = upperVectorStateInUse();
    QVERIFY(leaveInUse());
    clearUpperVectorState(); // this CPU has AVX: it could not leave them in use otherwise
    const Seen here = upperVectorStateInUse();
    QCOMPARE(withoutAvx, Seen(true)); // on a CPU without AVX nothing is executed
    QCOMPARE(withAvx, Seen(false));
    QCOMPARE(here, Seen(false));
}

void TestVectorState::numericCodeRunsClear_data()
{
    QTest::addColumn<Observe>("observe");
    QTest::newRow("a worker thread, started from a thread that left them in use") << Observe([] {
        Seen seen;
        startWorker([&] { seen = upperVectorStateInUse(); }).join();
        return seen;
    });
    QTest::newRow("a work queue's job after a job that left them in use") << Observe([] {
        WorkQueue queue;
        QObject context;
        Seen seen;
        queue.run(
            &context, [](const CancelSignal&) { return leaveUpperVectorStateInUse(); },
            [](bool) {});
        queue.run(
            &context, [](const CancelSignal&) { return upperVectorStateInUse(); },
            [&](Seen state) { seen = state; });
        return QTest::qWaitFor([&] { return seen.has_value(); }, 5000) ? seen : Seen();
    });
}

void TestVectorState::numericCodeRunsClear()
{
    QFETCH(Observe, observe);
    // Only where a thread inherits them in use can it show that it clears them.
    if (!leaveInUse())
        QSKIP("this CPU does not tell whether the upper halves are in use");
    Seen inherited;
    std::thread([&] { inherited = upperVectorStateInUse(); }).join();
    if (inherited != Seen(true))
        QSKIP("here a new thread starts with them clear anyway");
    QVERIFY(leaveInUse());
    QCOMPARE(observe(), Seen(false));
}

namespace
{

long threadPageFaults()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt;
}

// The page faults of allocating, filling and freeing blocks as a fit over 200,001
// points does (a few megabytes each), after the same was done once before.
long faultsOfRepeatedWork()
{
    const auto work = [] {
        for (std::size_t bytes : {4'800'000u, 1'600'000u, 3'200'000u, 1'600'000u}) {
            void* block = std::malloc(bytes);
            std::memset(block, 1, bytes);
            std::free(block);
        }
    };
    work();
    const long before = threadPageFaults();
    work();
    return threadPageFaults() - before;
}

} // namespace

void TestVectorState::largeBlocksFreedAreReusedWithoutPageFaults()
{
#if !defined(__GLIBC__)
    QSKIP("the allocator is tuned for glibc only");
#elif defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    QSKIP("the sanitizer brings an allocator of its own");
#endif
    reuseFreedMemory();
    // On this thread (the main arena) and on a worker's own arena, as the fits run.
    long workerFaults = -1;
    std::thread worker = startWorker([&] { workerFaults = faultsOfRepeatedWork(); });
    worker.join();
    const long mainFaults = faultsOfRepeatedWork();
    // Mapped afresh, the 11 MB would take about 2,700 faults; reused, a handful.
    QVERIFY2(mainFaults < 100, QByteArray::number(mainFaults));
    QVERIFY2(workerFaults >= 0 && workerFaults < 100, QByteArray::number(workerFaults));
}

QTEST_GUILESS_MAIN(TestVectorState)
#include "tst_vectorstate.moc"
