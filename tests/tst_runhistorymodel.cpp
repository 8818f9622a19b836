// The history's model over a real store, watched by Qt's model tester: rows come a
// page at a time, newest first, a change to one run changes that run's row alone, and a
// family of curves is one row over its curves.
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

// A curve of the family "gate" at that step of three.
Run curve(int index, double level, int points)
{
    Run run = importedRun(points);
    run.settings.step = FamilyStep{"gate", index, 3, level, {}, {}, {}, {}};
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
    void aFamilyIsOneRowOverItsCurves();
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

// The family's curves come on two pages, the newer first, and its last curve live: all
// under the one row, in step order; the row's tick shows and hides them all.
void TestRunHistoryModel::aFamilyIsOneRowOverItsCurves()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    RunDatabase store(path);
    QCOMPARE(store.open(), QString());
    QCOMPARE(store.importRun(importedRun(2), "test"), 1);
    QCOMPARE(store.importRun(curve(0, 1.5, 3), "test"), 2);
    QCOMPARE(store.importRun(curve(1, 2.0, 4), "test"), 3);
    const int singles = RunHistoryModel::pageSize - 1; // the first page ends with curve 3
    for (int id = 4; id < 4 + singles; ++id)
        QCOMPARE(store.importRun(importedRun(1), "test"), id);
    RunHistory history(path);
    RunHistoryModel model(history);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    model.fetchMore(QModelIndex());
    QTRY_COMPARE(model.rowCount(), singles + 1);
    const int row = singles;
    const QModelIndex family = model.index(row, 0);
    QCOMPARE(model.rowCount(family), 1);
    model.fetchMore(QModelIndex());
    QTRY_COMPARE(model.rowCount(), singles + 2);
    QCOMPARE(model.idAt(row + 1), 1);
    // The older curve went under its family, before the newer: its step comes first.
    QCOMPARE(inserted.count(), 3);
    QCOMPARE(inserted[1][0].toModelIndex(), family);
    QCOMPARE(inserted[1][1].toInt(), 0);
    QCOMPARE(model.rowOf(2), row);
    QCOMPARE(model.indexOf(2), model.index(0, 0, family));
    const auto cell = [&model](const QModelIndex& at, Column column) {
        return at.siblingAtColumn(column).data().toString();
    };
    QCOMPARE(cell(model.index(1, 0, family), Column::Points), "4");
    QCOMPARE(cell(family, Column::Shape), "family × 2");
    QCOMPARE(cell(family, Column::Range), "step 1.5 … 2 V");
    QCOMPARE(cell(family, Column::Points), "7");
    QCOMPARE(cell(family, Column::Measured), "-0.5 V to 0.25 V");
    QCOMPARE(family.data(RunHistoryModel::familyRole).toString(), "gate");
    QCOMPARE(family.data(RunHistoryModel::idRole).toLongLong(), 3); // its last curve
    QVERIFY(!model.index(0, 0, family).data(RunHistoryModel::familyRole).isValid());
    QVERIFY(!(model.flags(family.siblingAtColumn(Column::Note)) & Qt::ItemIsEditable));

    QSignalSpy toggled(&model, &RunHistoryModel::shownToggled);
    QVERIFY(model.setData(family, Qt::Checked, Qt::CheckStateRole));
    QCOMPARE(toggled.count(), 2);
    QVERIFY(model.isShown(2) && model.isShown(3) && !model.isShown(1));
    QCOMPARE(family.data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Checked);
    QVERIFY(model.setData(model.index(0, 0, family), Qt::Unchecked, Qt::CheckStateRole));
    QCOMPARE(family.data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::PartiallyChecked);
    QVERIFY(model.setData(family, Qt::Unchecked, Qt::CheckStateRole));
    QVERIFY(!model.isShown(2) && !model.isShown(3));
    QCOMPARE(toggled.count(), 4);

    // The next curve, as the sweep starts it: under its family, counting its points there.
    Run live = curve(2, 2.5, 0);
    live.outcome = Run::Outcome::Running;
    const qint64 id = store.beginRun(live, "test", thisProcess());
    model.beginLive(id);
    QTRY_COMPARE(model.rowCount(family), 3);
    QCOMPARE(model.rowCount(), singles + 2);
    QCOMPARE(inserted.last()[0].toModelIndex(), family);
    QCOMPARE(inserted.last()[1].toInt(), 2);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.livePoint(0.5);
    QTRY_COMPARE(cell(model.index(2, 0, family), Column::Points), "1");
    QCOMPARE(cell(family, Column::Points), "8");
    QCOMPARE(cell(family, Column::Outcome), "running");
    QCOMPARE(cell(family, Column::Range), "step 1.5 … 2.5 V");
    QCOMPARE(changed.count(), 2); // the curve's row and its family's
    QCOMPARE(model.idAt(row), id);

    history.remove(2);
    QTRY_COMPARE(model.rowCount(family), 2);
    QCOMPARE(cell(family, Column::Shape), "family × 2");
}

QTEST_GUILESS_MAIN(TestRunHistoryModel)
#include "tst_runhistorymodel.moc"
