// The history's model over a real store, watched by Qt's model tester: rows come a
// page at a time, newest first, and a change to one run changes that run's row alone.
#include "controller/runhistorymodel.h"
#include "store/rundatabase.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace kestrel;

namespace
{

using Column = RunHistoryModel::Column;

Run importedRun(int points)
{
    Run run;
    run.started = QDateTime::currentDateTime();
    run.outcome = Run::Outcome::Imported;
    for (int i = 0; i < points; ++i)
        run.points.push_back({0.25 * i - 0.5, 1e-6 * i});
    return run;
}

// Each change signalled was to one row, the one given.
bool onlyRow(const QSignalSpy& changes, int row)
{
    for (const QList<QVariant>& change : changes)
        if (change[0].toModelIndex().row() != row || change[1].toModelIndex().row() != row)
            return false;
    return !changes.isEmpty();
}

} // namespace

class TestRunHistoryModel : public QObject
{
    Q_OBJECT

  private slots:
    void fetchesPagesNewestFirst();
    void changesOneRowAtATime();
    void aPageReadBeforeTheSweepEndedShowsItsEnd();
};

void TestRunHistoryModel::fetchesPagesNewestFirst()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    const int runs = RunHistoryModel::pageSize + 5;
    {
        RunDatabase store(path);
        QCOMPARE(store.open(), QString());
        for (int id = 1; id <= runs; ++id)
            QCOMPARE(store.importRun(importedRun(id % 4), "test"), id);
    }
    RunHistory history(path);
    RunHistoryModel model(history);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy listed(&model, &RunHistoryModel::firstPageListed);
    // The tester asks for more as the rows go in; that must not read the page again.
    bool moreWhenListed = false;
    connect(&model, &RunHistoryModel::firstPageListed, this,
            [&] { moreWhenListed = model.canFetchMore(QModelIndex()); });
    model.fetchMore(QModelIndex()); // the tester has asked already: asked once

    QTRY_COMPARE(model.rowCount(), RunHistoryModel::pageSize);
    QCOMPARE(listed.count(), 1);
    QVERIFY(moreWhenListed);
    QVERIFY(model.canFetchMore(QModelIndex()));
    model.fetchMore(QModelIndex());
    QTRY_COMPARE(model.rowCount(), runs);
    QVERIFY(!model.canFetchMore(QModelIndex()));
    for (int row = 0; row < runs; ++row)
        QCOMPARE(model.idAt(row), runs - row);
    // Counts and levels from the run's row: run 103 has three points.
    const int row = model.rowOf(103);
    QCOMPARE(model.index(row, Column::Points).data().toString(), "3");
    QCOMPARE(model.index(row, Column::Measured).data().toString(), "-0.5 V to 0 V");
    QCOMPARE(model.index(model.rowOf(104), Column::Measured).data().toString(), "");
}

// A run that starts, measures and ends; a note; a tick; a run deleted.
void TestRunHistoryModel::changesOneRowAtATime()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    RunDatabase store(path);
    QCOMPARE(store.open(), QString());
    for (int id = 1; id <= 3; ++id)
        QCOMPARE(store.importRun(importedRun(2), "test"), id);
    RunHistory history(path);
    RunHistoryModel model(history);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.fetchMore(QModelIndex());
    QTRY_COMPARE(model.rowCount(), 3);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);

    Run sweep = importedRun(0);
    sweep.outcome = Run::Outcome::Running;
    const qint64 live = store.beginRun(sweep, "test", thisProcess());
    model.beginLive(live);
    QTRY_COMPARE(model.rowCount(), 4);
    QCOMPARE(inserted.count(), 1);
    QVERIFY(inserted[0][1].toInt() == 0 && inserted[0][2].toInt() == 0);
    QCOMPARE(model.idAt(0), live);
    QCOMPARE(model.index(0, Column::Outcome).data().toString(), "running");
    for (const double level : {0.5, -0.25, 0.125}) {
        QVERIFY(store.addPoint(live, int(sweep.points.size()), level, 0.0, 0));
        sweep.points.push_back({level, 0.0});
        model.livePoint(level);
    }
    QTRY_VERIFY(onlyRow(changed, 0)); // the count, shown while it runs
    QCOMPARE(model.index(0, Column::Points).data().toString(), "3");
    changed.clear();
    sweep.outcome = Run::Outcome::Stopped;
    sweep.message = "Sweep stopped after 3 of 7 points.";
    model.finishLive(sweep); // before the store has it: the row ends as the sweep did
    QVERIFY(onlyRow(changed, 0));
    QCOMPARE(model.index(0, Column::Outcome).data().toString(), "stopped");
    QCOMPARE(model.index(0, Column::Outcome).data(Qt::ToolTipRole).toString(), sweep.message);
    QCOMPARE(model.index(0, Column::Measured).data().toString(), "-0.25 V to 0.5 V");

    changed.clear();
    QVERIFY(model.setData(model.index(2, Column::Note), "after the anneal"));
    QTRY_COMPARE(changed.count(), 2); // at once, then as the store kept it
    QVERIFY(onlyRow(changed, 2));
    QCOMPARE(store.load(model.idAt(2))->note, "after the anneal");
    QCOMPARE(model.index(2, Column::Note).data().toString(), "after the anneal");

    changed.clear();
    QSignalSpy toggled(&model, &RunHistoryModel::shownToggled);
    QVERIFY(model.setData(model.index(1, Column::Shown), Qt::Checked, Qt::CheckStateRole));
    QCOMPARE(toggled.count(), 1);
    QCOMPARE(toggled[0][0].toLongLong(), model.idAt(1));
    QVERIFY(onlyRow(changed, 1) && model.isShown(model.idAt(1)));

    history.remove(2);
    QTRY_COMPARE(removed.count(), 1);
    QVERIFY(removed[0][1].toInt() == 2 && removed[0][2].toInt() == 2);
    QCOMPARE(model.rowCount(), 3);
    QCOMPARE(model.rowOf(2), -1);
    QCOMPARE(inserted.count(), 1);
}

// The sweep ends while the first page is still being read, from a store that still says
// it is running: its row shows how it ended all the same.
void TestRunHistoryModel::aPageReadBeforeTheSweepEndedShowsItsEnd()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    RunDatabase store(path);
    QCOMPARE(store.open(), QString());
    Run sweep = importedRun(0);
    sweep.outcome = Run::Outcome::Running;
    const qint64 live = store.beginRun(sweep, "test", thisProcess());
    RunHistory history(path);
    RunHistoryModel model(history);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.fetchMore(QModelIndex()); // on its way
    model.beginLive(live);
    for (const double level : {0.5, 0.25, 0.125}) {
        sweep.points.push_back({level, 0.0});
        model.livePoint(level);
    }
    sweep.outcome = Run::Outcome::Stopped;
    sweep.message = "Sweep stopped after 3 of 7 points.";
    model.finishLive(sweep);
    QTRY_COMPARE(model.rowCount(), 1);
    QCOMPARE(model.index(0, Column::Outcome).data().toString(), "stopped");
    QCOMPARE(model.index(0, Column::Points).data().toString(), "3");
}

QTEST_GUILESS_MAIN(TestRunHistoryModel)
#include "tst_runhistorymodel.moc"
