#pragma once

#include "chart/barchart.h"
#include "controller/sweepengine.h"
#include "data/datafile.h"
#include "link/homedirectory.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QObject>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>

#include <functional>
#include <memory>

namespace kestrel
{

class WorkQueue;

// The controller of the measurement window: it owns the measurement state, reaches
// the window's widgets through weak outlets found by object name, and is the target
// of every action. Instrument traffic and file writes go through a work queue, so the
// window stays live while an instrument thinks.
class ViewController : public QObject
{
    Q_OBJECT
  public:
    // home: the folder holding sendArbcmd.sh; settings: where endpoints and sweep
    // fields are remembered (the application's own store when none is given).
    explicit ViewController(const QString& home = homeDirectory(),
                            std::unique_ptr<QSettings> settings = {}, QObject* parent = nullptr);
    ~ViewController() override;

    // Connects every outlet to the widget of the same object name under view and
    // wires the buttons to their actions.
    void connectOutlets(QWidget* view);
    // Restores the remembered endpoints and sweep fields; once, after connectOutlets.
    void viewDidLoad();
    // The window is closing: a running sweep switches the source output off first.
    void shutdown();

    // Hooks the window fills with dialogs and tests with their own answers. Each
    // returns the chosen path, or an empty text when the user cancelled.
    std::function<QString()> showSavePanel;
    std::function<QString()> showCsvPanel;
    std::function<QString()> showChartPanel;
    // Where diagnostic lines go (standard output by default).
    std::function<void(const QString&)> printLine;

    SweepEngine& sweep() { return *sweep_; }
    BarChart* chart() const { return chart_; }
    QSettings& settings() { return *settings_; }

    // Measurement state.
    QString command; // the instrument command most recently prepared here
    QString sip, sport, dip, dport;
    const QString pat; // home folder and "/": where sendArbcmd.sh lives

    // Outlets.
    QPointer<QLineEdit> sourceip, sourceport, drainip, drainport;
    QPointer<QLabel> sourcestatt, drainstat;
    QPointer<QPushButton> sourceIdentify, drainIdentify;
    QPointer<QLineEdit> IVstart, IVstop, IVsteps, ivLimit;
    QPointer<QComboBox> drainSensitivity, ivShape;
    QPointer<QLabel> xAxis, YAxis;
    QPointer<QWidget> contview;
    QPointer<QPushButton> ivRun, ivStop, savebutton, csvbutton;
    QPointer<QProgressBar> ivProgress;
    QPointer<QLabel> sweepstatus, identityline;
    QPointer<QCheckBox> logCurrent;
    QPointer<QPushButton> clearTraces, exportChart;

  public slots:
    void sourceok();
    void drainok();
    void runIV();
    void stopIV();
    void savetofile();
    void exportCsv();
    void exportChartImage();
    void clearEarlierTraces();
    void setLogCurrent(bool on);

  signals:
    // Every message the window shows in its status line.
    void statusShown(const QString& text, bool problem);

  private:
    enum class Which { Source, Meter };
    void identify(Which which);
    void showStatus(const QString& text, bool problem = false);
    void setSweepFieldsLocked(bool locked);
    void updateIdentityLine();
    void writeInBackground(std::function<WriteResult()> write);
    void sweepStarted(int totalPoints);
    void sweepProgress(int done, int total, const QDateTime& expectedEnd);
    void sweepFinished(SweepEngine::Outcome outcome, const QString& message);

    std::unique_ptr<QSettings> settings_;
    std::unique_ptr<WorkQueue> queue_;
    std::unique_ptr<SweepEngine> sweep_;
    QPointer<BarChart> chart_;
    bool sourceIdentified_ = false;
    bool meterIdentified_ = false;
    QString sourceIdentity_, meterIdentity_;
    int sweepNumber_ = 0;
    static constexpr int progressIntervalMs = 200;
    QElapsedTimer progressClock_;
};

} // namespace kestrel
