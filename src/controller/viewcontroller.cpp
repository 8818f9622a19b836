#include "controller/viewcontroller.h"

#include "chart/barchart.h"
#include "controller/storedsettings.h"
#include "controller/sweepdescription.h"
#include "data/csvfile.h"
#include "data/currentranges.h"
#include "data/datafile.h"
#include "data/ivpoints.h"
#include "link/commandline.h"
#include "link/scriptinstall.h"
#include "link/workqueue.h"

#include <QFileInfo>
#include <QTime>
#include <QVBoxLayout>

#include <cstdio>

namespace kestrel
{

namespace
{

template <typename Widget>
void findOutlet(QWidget* view, QPointer<Widget>& outlet, const char* name)
{
    outlet = view->findChild<Widget*>(QLatin1String(name));
}

void writeLineToStdout(const QString& text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

QString firstLine(const QString& text)
{
    return text.section(QLatin1Char('\n'), 0, 0).trimmed();
}

} // namespace

ViewController::ViewController(const QString& home, std::unique_ptr<QSettings> settings,
                               QObject* parent)
    : QObject(parent), printLine(writeLineToStdout), pat(home + QLatin1Char('/')),
      settings_(settings ? std::move(settings) : std::make_unique<QSettings>()),
      queue_(std::make_unique<WorkQueue>()), sweep_(std::make_unique<SweepEngine>(*queue_, pat))
{
    connect(sweep_.get(), &SweepEngine::started, this, &ViewController::sweepStarted);
    connect(sweep_.get(), &SweepEngine::progress, this, &ViewController::sweepProgress);
    connect(sweep_.get(), &SweepEngine::finished, this, &ViewController::sweepFinished);
    connect(sweep_.get(), &SweepEngine::measurementReply, this,
            [this](const QString& reply) { printLine(reply); });
    connect(sweep_.get(), &SweepEngine::pointRecorded, this, [this](int, double volt, double amps) {
        if (chart_)
            chart_->addPoint(volt, amps);
    });
}

ViewController::~ViewController()
{
    // The engine's callbacks point into this object: end them before the queue goes.
    sweep_.reset();
    queue_.reset();
}

void ViewController::connectOutlets(QWidget* view)
{
    findOutlet(view, sourceip, "sourceip");
    findOutlet(view, sourceport, "sourceport");
    findOutlet(view, drainip, "drainip");
    findOutlet(view, drainport, "drainport");
    findOutlet(view, sourcestatt, "sourcestatt");
    findOutlet(view, drainstat, "drainstat");
    findOutlet(view, sourceIdentify, "sourceIdentify");
    findOutlet(view, drainIdentify, "drainIdentify");
    findOutlet(view, IVstart, "IVstart");
    findOutlet(view, IVstop, "IVstop");
    findOutlet(view, IVsteps, "IVsteps");
    findOutlet(view, ivLimit, "ivLimit");
    findOutlet(view, drainSensitivity, "drainSensitivity");
    findOutlet(view, ivShape, "ivShape");
    findOutlet(view, xAxis, "xAxis");
    findOutlet(view, YAxis, "YAxis");
    findOutlet(view, contview, "contview");
    findOutlet(view, ivRun, "ivRun");
    findOutlet(view, ivStop, "ivStop");
    findOutlet(view, savebutton, "savebutton");
    findOutlet(view, csvbutton, "csvbutton");
    findOutlet(view, ivProgress, "ivProgress");
    findOutlet(view, sweepstatus, "sweepstatus");
    findOutlet(view, identityline, "identityline");
    findOutlet(view, logCurrent, "logCurrent");
    findOutlet(view, clearTraces, "clearTraces");
    findOutlet(view, exportChart, "exportChart");

    auto wire = [this](QPushButton* button, void (ViewController::*action)()) {
        if (button)
            connect(button, &QPushButton::clicked, this, action);
    };
    wire(sourceIdentify, &ViewController::sourceok);
    wire(drainIdentify, &ViewController::drainok);
    wire(ivRun, &ViewController::runIV);
    wire(ivStop, &ViewController::stopIV);
    wire(savebutton, &ViewController::savetofile);
    wire(csvbutton, &ViewController::exportCsv);
    wire(exportChart, &ViewController::exportChartImage);
    wire(clearTraces, &ViewController::clearEarlierTraces);
    if (logCurrent)
        connect(logCurrent, &QCheckBox::toggled, this, &ViewController::setLogCurrent);

    // Replies are shown exactly as received, never interpreted as markup.
    for (QLabel* label :
         {sourcestatt.data(), drainstat.data(), sweepstatus.data(), identityline.data()})
        if (label)
            label->setTextFormat(Qt::PlainText);
    // Room for a reply and its line feed, so the layout does not jump when one arrives.
    for (QLabel* label : {sourcestatt.data(), drainstat.data(), sweepstatus.data()})
        if (label)
            label->setMinimumHeight(2 * label->fontMetrics().lineSpacing());

    if (drainSensitivity && drainSensitivity->count() == 0)
        for (const CurrentRange& range : currentRanges())
            drainSensitivity->addItem(range.label);
    if (ivShape && ivShape->count() == 0) {
        ivShape->addItem(tr("Linear"), shapeName(SweepShape::Linear));
        ivShape->addItem(tr("Dual (there and back)"), shapeName(SweepShape::Dual));
        ivShape->addItem(tr("Logarithmic"), shapeName(SweepShape::Log));
    }
    if (ivStop)
        ivStop->setEnabled(false);

    if (contview && !chart_) {
        auto* layout = contview->layout() ? contview->layout() : new QVBoxLayout(contview);
        layout->setContentsMargins(0, 0, 0, 0);
        chart_ = new BarChart(contview);
        layout->addWidget(chart_);
    }
}

void ViewController::viewDidLoad()
{
    resetPoints();
    if (xAxis)
        xAxis->hide();
    if (YAxis)
        YAxis->hide();

    const Endpoint source = restoreEndpoint(*settings_, sourceAddressKey);
    const Endpoint drain = restoreEndpoint(*settings_, drainAddressKey);
    if (sourceip)
        sourceip->setText(source.address);
    if (sourceport)
        sourceport->setText(source.port);
    if (drainip)
        drainip->setText(drain.address);
    if (drainport)
        drainport->setText(drain.port);

    const StoredSweep stored = restoreSweep(*settings_);
    if (IVstart)
        IVstart->setText(stored.start);
    if (IVstop)
        IVstop->setText(stored.stop);
    if (IVsteps)
        IVsteps->setText(stored.steps);
    if (ivLimit)
        ivLimit->setText(stored.limit);
    if (ivShape)
        ivShape->setCurrentIndex(std::max(0, ivShape->findData(stored.shape)));
    if (drainSensitivity)
        drainSensitivity->setCurrentIndex(stored.rangeIndex);

    if (chart_) {
        rebuildChartPoints();
        chart_->setPoints(chartPoints());
    }
    updateIdentityLine();
    printLine(pat.chopped(1));
}

void ViewController::sourceok()
{
    identify(Which::Source);
}

void ViewController::drainok()
{
    identify(Which::Meter);
}

void ViewController::identify(Which which)
{
    const bool source = which == Which::Source;
    QLineEdit* portField = source ? sourceport : drainport;
    QLineEdit* addressField = source ? sourceip : drainip;
    if (!portField || !addressField)
        return;
    QString& port = source ? sport : dport;
    QString& address = source ? sip : dip;
    port = portField->text();
    address = addressField->text();
    command = QStringLiteral("*IDN?");

    QPointer<QLabel> label = source ? sourcestatt : drainstat;
    if (label)
        label->setText(tr("Asking %1:%2 …").arg(address, port));
    queue_->runShellLine(instrumentCommandLine(pat, address, port, command), this,
                         [this, source, label](const QString& reply) {
                             printLine(reply);
                             if (label)
                                 label->setText(QFileInfo::exists(scriptPath(pat.chopped(1)))
                                                    ? reply
                                                    : reply + missingScriptHint(pat.chopped(1)));
                             (source ? sourceIdentified_ : meterIdentified_) = true;
                             (source ? sourceIdentity_ : meterIdentity_) = firstLine(reply);
                             updateIdentityLine();
                         });
}

void ViewController::runIV()
{
    if (!sourceIdentified_ || !meterIdentified_) {
        showStatus(!sourceIdentified_ && !meterIdentified_
                       ? tr("Identify the source and the meter first: press Identify next to "
                            "each address.")
                   : !sourceIdentified_
                       ? tr("Identify the source first: press Identify next to its address.")
                       : tr("Identify the meter first: press Identify next to its address."),
                   true);
        return;
    }
    if (!IVstart || !IVstop || !IVsteps)
        return;
    StoredSweep typed;
    typed.start = IVstart->text();
    typed.stop = IVstop->text();
    typed.steps = IVsteps->text();
    typed.shape = ivShape ? ivShape->currentData().toString() : shapeName(SweepShape::Linear);
    typed.rangeIndex = drainSensitivity ? drainSensitivity->currentIndex() : 0;
    typed.limit = ivLimit ? ivLimit->text() : QString();

    const auto plan =
        makeSweepPlan(SweepFields{typed.start, typed.stop, typed.steps,
                                  shapeFromName(typed.shape).value_or(SweepShape::Linear)});
    if (const QString* problem = std::get_if<QString>(&plan)) {
        showStatus(*problem, true);
        return;
    }
    const auto limit = parseCurrentLimit(typed.limit);
    if (const QString* problem = std::get_if<QString>(&limit)) {
        showStatus(*problem, true);
        return;
    }

    storeEndpoint(*settings_, sourceAddressKey, Endpoint{sip, sport});
    storeEndpoint(*settings_, drainAddressKey, Endpoint{dip, dport});
    storeSweep(*settings_, typed);
    settings_->sync();

    if (xAxis)
        xAxis->show();
    if (YAxis)
        YAxis->show();
    if (chart_)
        chart_->beginTrace(tr("Sweep %1, %2")
                               .arg(++sweepNumber_)
                               .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))));
    sweep_->start(SweepSettings{Endpoint{sip, sport}, Endpoint{dip, dport},
                                std::get<SweepPlan>(plan), typed.rangeIndex,
                                std::get<std::optional<double>>(limit)});
}

void ViewController::stopIV()
{
    if (!sweep_->isRunning())
        return;
    showStatus(tr("Stopping after the command in flight…"));
    sweep_->stop();
}

void ViewController::sweepStarted(int totalPoints)
{
    setSweepFieldsLocked(true);
    if (ivProgress) {
        ivProgress->setRange(0, totalPoints);
        ivProgress->setValue(0);
    }
    showStatus(tr("Setting up the instruments…"));
}

void ViewController::sweepProgress(int done, int total, const QDateTime& expectedEnd)
{
    // A fast sweep reports far more often than anyone can read; relaying out the
    // window for every point would cost more than drawing the points.
    if (done != 0 && done != total && progressClock_.isValid() &&
        progressClock_.elapsed() < progressIntervalMs)
        return;
    progressClock_.start();
    if (ivProgress)
        ivProgress->setValue(done);
    showStatus(tr("Point %1 of %2, ends about %3")
                   .arg(done)
                   .arg(total)
                   .arg(expectedEnd.time().toString(QStringLiteral("HH:mm:ss"))));
}

void ViewController::sweepFinished(SweepEngine::Outcome outcome, const QString& message)
{
    setSweepFieldsLocked(false);
    if (ivProgress)
        ivProgress->setValue(sweep_->pointsDone());
    if (chart_) {
        chart_->fitToData(); // while points arrived the axes only grew
        chart_->replotNow(); // the last point is drawn without waiting for the next redraw
    }
    const bool problem =
        outcome != SweepEngine::Outcome::Completed && outcome != SweepEngine::Outcome::Stopped;
    showStatus(message, problem);
}

void ViewController::setSweepFieldsLocked(bool locked)
{
    for (QWidget* field : std::initializer_list<QWidget*>{IVstart, IVstop, IVsteps, ivLimit,
                                                          ivShape, drainSensitivity})
        if (field)
            field->setEnabled(!locked);
    if (ivStop)
        ivStop->setEnabled(locked);
}

void ViewController::savetofile()
{
    const QString path = showSavePanel ? showSavePanel() : QString();
    if (path.isEmpty()) {
        showStatus(tr("Nothing saved."));
        return;
    }
    printLine(path);
    writeInBackground([path, points = ivPoints()] { return saveDataFile(path, points); });
}

void ViewController::exportCsv()
{
    const QString path = showCsvPanel ? showCsvPanel() : QString();
    if (path.isEmpty()) {
        showStatus(tr("Nothing exported."));
        return;
    }
    const CsvHeader header = describeSweep(QStringLiteral("Kestrel " KESTREL_VERSION),
                                           sweep_->settings(), sourceIdentity_, meterIdentity_);
    writeInBackground([path, header, points = ivPoints()] {
        WriteResult result = writeFileAtomically(path, csvText(header, points));
        if (result.ok)
            result.message = tr("Exported %1 points to %2").arg(points.size()).arg(path);
        return result;
    });
}

void ViewController::exportChartImage()
{
    const QString path = showChartPanel ? showChartPanel() : QString();
    if (path.isEmpty() || !chart_) {
        showStatus(tr("Nothing exported."));
        return;
    }
    const WriteResult result = chart_->exportImage(path);
    showStatus(result.message, !result.ok);
}

void ViewController::clearEarlierTraces()
{
    if (chart_)
        chart_->clearEarlier();
}

void ViewController::setLogCurrent(bool on)
{
    if (chart_)
        chart_->setLogCurrent(on);
    if (YAxis)
        YAxis->setText(on ? tr("Vertical: |Current| (A), logarithmic")
                          : tr("Vertical: Current (A)"));
}

void ViewController::writeInBackground(std::function<WriteResult()> write)
{
    auto result = std::make_shared<WriteResult>();
    queue_->post(
        [write = std::move(write), result](const CancelSignal&) {
            *result = write();
            return result->message;
        },
        this, [this, result](const QString&) { showStatus(result->message, !result->ok); });
}

void ViewController::shutdown()
{
    if (sweep_->isRunning()) {
        const QString problem = sweep_->switchOffNow();
        if (!problem.isEmpty())
            std::fprintf(stderr, "kestrel: %s\n", qPrintable(problem));
    }
    queue_->waitForIdle(shellTimeoutMs); // a save in progress finishes its file
}

void ViewController::showStatus(const QString& text, bool problem)
{
    if (sweepstatus) {
        sweepstatus->setText(text);
        sweepstatus->setStyleSheet(problem ? QStringLiteral("color: #b00020; font-weight: bold;")
                                           : QString());
    }
    emit statusShown(text, problem);
}

void ViewController::updateIdentityLine()
{
    if (!identityline)
        return;
    const QString none = tr("not identified");
    identityline->setText(tr("Source: %1    Meter: %2")
                              .arg(sourceIdentity_.isEmpty() ? none : sourceIdentity_,
                                   meterIdentity_.isEmpty() ? none : meterIdentity_));
}

} // namespace kestrel
