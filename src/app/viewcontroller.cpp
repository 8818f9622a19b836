#include "app/viewcontroller.h"

#include "app/analysiscontroller.h"
#include "app/analysispanel.h"
#include "app/historycontroller.h"
#include "app/historypanel.h"
#include "app/labcontroller.h"
#include "app/labpanel.h"
#include "app/profilechoices.h"
#include "chart/barchart.h"
#include "controller/sweepdescription.h"
#include "data/ivpoints.h"
#include "data/printabletext.h"
#include "data/run.h"
#include "data/sitext.h"
#include "link/scriptinstall.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTime>

#include <cstdio>
#include <limits>

namespace kestrel
{

namespace
{

void writeLineToStdout(const QString& text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

constexpr auto lastFolderKey = "lastfolder";

// "iv-2026-12-06-1914.txt": when the run started, to the minute.
QString proposedName(const Run& run, const QString& suffix)
{
    return QStringLiteral("iv-") +
           run.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd-HHmm")) +
           QLatin1Char('.') + suffix;
}

} // namespace

ViewController::ViewController(const QString& home, std::unique_ptr<QSettings> settings,
                               std::unique_ptr<InstrumentLink> link, const SessionOptions& options,
                               QObject* parent)
    : QObject(parent), printLine(writeLineToStdout),
      session_(std::make_unique<Session>(
          home, link ? std::move(link) : std::make_unique<ScriptLink>(home + QLatin1Char('/')),
          settings ? std::move(settings) : std::make_unique<QSettings>(), options))
{
    connect(session_.get(), &Session::warned, this, &ViewController::showStoreWarning);
    // Beside the lasting warnings, whatever the status area says meanwhile: points that
    // wait for the store, and then that they are kept.
    connect(session_.get(), &Session::storeWaiting, this, [this](const QString& text) {
        storeWaiting_ = text;
        showStoreWarning();
    });
    session_->printLine = [this](const QString& text) {
        if (printLine)
            printLine(text);
    };
    connect(session_.get(), &Session::statusShown, this, &ViewController::showStatus);
    connect(session_.get(), &Session::sweepingChanged, this, &ViewController::setSweeping);
    connect(session_.get(), &Session::identifying, this,
            [this](Session::Which which, const QString& text) {
                if (QLabel* label = statusLabel(which))
                    label->setText(text);
                updateIdentityLine();
            });
    connect(session_.get(), &Session::identified, this, &ViewController::showIdentification);
    SweepEngine& engine = session_->sweep();
    connect(&engine, &SweepEngine::started, this, &ViewController::sweepStarted);
    connect(&engine, &SweepEngine::progress, this, &ViewController::sweepProgress);
    progressLater_.setSingleShot(true);
    connect(&progressLater_, &QTimer::timeout, this, &ViewController::showProgress);
    stallClock_.setInterval(250);
    connect(&stallClock_, &QTimer::timeout, this, [this] {
        if (sincePoint_.isValid() && sincePoint_.elapsed() >= stalledAfterMs())
            showProgress();
    });
    connect(&engine, &SweepEngine::finished, this, &ViewController::sweepFinished);
    connect(&engine, &SweepEngine::pointRecorded, this,
            [this, &engine](int index, double volt, double amps, int inCompliance) {
                const std::vector<double>& spread = engine.run()->currentSd;
                if (history_)
                    history_->pointRecorded(volt, amps, inCompliance == 1,
                                            std::size_t(index) < spread.size()
                                                ? spread[std::size_t(index)]
                                                : std::numeric_limits<double>::quiet_NaN());
            });
}

ViewController::~ViewController() = default;

void ViewController::showStoreWarning()
{
    // Lasting: shown until the program ends, whatever the status area says meanwhile.
    if (!storeWarning)
        return;
    QStringList lines = session_->warnings();
    if (!storeWaiting_.isEmpty())
        lines << storeWaiting_;
    storeWarning->setText(lines.join(QLatin1Char(' ')));
    storeWarning->setToolTip(storeWarning->text());
    storeWarning->setVisible(!lines.isEmpty());
}

void ViewController::connectOutlets()
{
    auto wire = [this](QPushButton* button, void (ViewController::*action)()) {
        if (button)
            connect(button, &QPushButton::clicked, this, action);
    };
    wire(sourceIdentify, &ViewController::sourceok);
    wire(drainIdentify, &ViewController::drainok);
    if (stepIdentify)
        connect(stepIdentify, &QPushButton::clicked, this,
                [this] { identify(Session::Which::Step); });
    if (stepFamily && stepBox) {
        connect(stepFamily, &QCheckBox::toggled, this, [this](bool on) {
            stepBox->setVisible(on);
            updateIdentityLine();
        });
        stepBox->setVisible(stepFamily->isChecked());
    }
    wire(ivRun, &ViewController::runIV);
    wire(ivStop, &ViewController::stopIV);
    wire(switchOff, &ViewController::switchSourceOff);
    wire(savebutton, &ViewController::savetofile);
    wire(csvbutton, &ViewController::exportCsv);
    wire(exportChart, &ViewController::exportChartImage);
    wire(clearTraces, &ViewController::clearEarlierTraces);
    wire(ivLevelsFile, &ViewController::chooseLevelsFile);
    if (logCurrent)
        connect(logCurrent, &QCheckBox::toggled, this, &ViewController::setLogCurrent);
    if (logVoltage)
        connect(logVoltage, &QCheckBox::toggled, this, &ViewController::setLogVoltage);
    if (showLines && chart)
        connect(showLines, &QCheckBox::toggled, chart, &BarChart::setLines);
    if (chart)
        connect(chart, &BarChart::axisChanged, this,
                [this] { setLogVoltage(logVoltage && logVoltage->isChecked()); });
    history_ = std::make_unique<HistoryController>(*session_, history, chart);
    history_->confirm = [this](const QString& question) { return confirm && confirm(question); };
    history_->showStatus = [this](const QString& text, bool problem) { showStatus(text, problem); };
    analysis_ = std::make_unique<AnalysisController>(*session_, analysis, chart,
                                                     [this] { return history_->currentRun(); });
    lab_ = std::make_unique<LabController>(session_->storePath(), lab, labWaiting);
    lab_->showStatus = [this](const QString& text, bool problem) { showStatus(text, problem); };
    lab_->showRun = [this](std::shared_ptr<Run> run, const LabRun& listed) {
        if (session_->isSweeping())
            return showStatus(tr("A lab run is shown once the sweep has ended."), true);
        history_->showLabRun(std::move(run), listed.stored.bench);
    };
    // Whatever may be new to the lab: an ended run once its end is kept, a note, a fit.
    connect(&session_->recorder(), &RunRecorder::ended, lab_.get(), &LabController::publishSoon);
    for (const auto kept : {&RunHistory::noteKept, &RunHistory::fitKept})
        connect(&session_->history(), kept, lab_.get(), &LabController::publishSoon);
    connect(&session_->history(), &RunHistory::imported, lab_.get(), &LabController::publishSoon);

    ProfileChoices::Outlets outlets;
    outlets.sourceProfile = sourceProfile;
    outlets.meterProfile = meterProfile;
    outlets.range = drainSensitivity;
    outlets.rate = meterRate;
    outlets.sourceMeasures = sourceMeasures;
    outlets.continueAtCompliance = continueAtCompliance;
    outlets.compliance = ivCompliance;
    outlets.nplc = ivNplc;
    outlets.sourceLabel = sourcestatt;
    outlets.meterLabel = drainstat;
    outlets.meterAddress = drainip;
    outlets.meterPort = drainport;
    outlets.meterIdentify = drainIdentify;
    outlets.stepProfile = stepProfile;
    choices_ = std::make_unique<ProfileChoices>(
        *session_, outlets,
        [this](const QString& text, bool problem) { showStatus(text, problem); });
    if (ivShape && ivShape->count() == 0) {
        ivShape->addItem(tr("Linear"), shapeName(SweepShape::Linear));
        ivShape->addItem(tr("Dual"), shapeName(SweepShape::Dual)); // there and back
        ivShape->addItem(tr("Log"), shapeName(SweepShape::Log));
        ivShape->addItem(tr("List"), shapeName(SweepShape::List));
        ivShape->addItem(tr("Hold"), shapeName(SweepShape::Hold)); // current against time
    }
    if (ivShape)
        connect(ivShape, &QComboBox::currentIndexChanged, this,
                [this] { enableShapeFields(!session_->isSweeping()); });
    if (ivStop)
        ivStop->setEnabled(false);
    for (QLineEdit* field :
         {IVstart.data(), IVstop.data(), IVsteps.data(), ivLevels.data(), ivHoldLevel.data(),
          ivDuration.data(), ivCycles.data(), ivReadings.data(), ivLimit.data(), ivSettle.data(),
          ivCompliance.data(), ivNplc.data(), stepStart.data(), stepStop.data(), stepSteps.data(),
          stepCompliance.data()})
        if (field)
            field->setProperty("plainToolTip", field->toolTip());
    if (storeWarning)
        storeWarning->hide();
}

void ViewController::viewDidLoad()
{
    resetPoints();

    QSettings& settings = *session_->settings();
    const Endpoint source = restoreEndpoint(settings, sourceAddressKey);
    const Endpoint drain = restoreEndpoint(settings, drainAddressKey);
    if (sourceip)
        sourceip->setText(source.address);
    if (sourceport)
        sourceport->setText(source.port);
    if (drainip)
        drainip->setText(drain.address);
    if (drainport)
        drainport->setText(drain.port);
    const Endpoint step = restoreEndpoint(settings, stepAddressKey);
    if (stepip)
        stepip->setText(step.address);
    if (stepport)
        stepport->setText(step.port);

    const StoredSweep stored = restoreSweep(settings);
    for (const auto& [field, text] : sweepFields())
        if (field)
            field->setText(stored.*text);
    if (ivShape)
        ivShape->setCurrentIndex(std::max(0, ivShape->findData(stored.shape)));
    if (stepFamily)
        stepFamily->setChecked(stored.family);
    enableShapeFields(true);

    updateIdentityLine();
    history_->start();
    lab_->start();
    choices_->restore(stored); // after the history: a profile that cannot be read is said last
    if (printLine)
        printLine(session_->pat.chopped(1));
    // What became of sweeps that ended with the program, said once.
    session_->recover([this](const QStringList& sentences, bool outputMayBeOn) {
        showStatus(sentences.join(QLatin1Char(' ')), outputMayBeOn);
    });
}

void ViewController::sourceok()
{
    identify(Session::Which::Source);
}

void ViewController::drainok()
{
    identify(Session::Which::Meter);
}

QLabel* ViewController::statusLabel(Session::Which which) const
{
    // The step source's identity is in the identity line and the profile list's tooltip.
    return which == Session::Which::Source  ? sourcestatt.data()
           : which == Session::Which::Meter ? drainstat.data()
                                            : nullptr;
}

void ViewController::identify(Session::Which which)
{
    const bool source = which == Session::Which::Source;
    const bool step = which == Session::Which::Step;
    QLineEdit* addressField = step ? stepip : source ? sourceip : drainip;
    QLineEdit* portField = step ? stepport : source ? sourceport : drainport;
    choices_->reload(); // a profile written since is listed, and can match
    if (addressField && portField)
        session_->identify(which, Endpoint{addressField->text(), portField->text()});
}

void ViewController::showIdentification(Session::Which which, bool ok, const QString& text)
{
    QString shown = text;
    const QString home = session_->pat.chopped(1);
    if (!ok && !QFileInfo::exists(scriptPath(home)))
        shown += QLatin1Char(' ') + missingScriptHint(home);
    if (ok)
        shown = choices_->labelText(which);
    if (QLabel* label = statusLabel(which)) {
        label->setText(shown);
        label->setToolTip(shown);
    }
    if (!ok)
        showStatus(shown, true);
    else if (readinessShown_)
        showReadiness();
    updateIdentityLine();
}

void ViewController::showReadiness()
{
    const bool source = session_->isIdentified(Session::Which::Source);
    const bool meter = session_->isIdentified(Session::Which::Meter);
    showStatus(source && meter ? tr("Both instruments are identified: press Run.")
               : source        ? tr("Identify the meter, then press Run.")
               : meter         ? tr("Identify the source, then press Run.")
                               : tr("Identify both instruments, then press Run."));
    readinessShown_ = true;
}

void ViewController::runIV()
{
    if (!IVstart || !IVstop || !IVsteps)
        return;
    StoredSweep typed;
    for (const auto& [field, text] : sweepFields())
        if (field)
            typed.*text = field->text();
    typed.shape = ivShape ? ivShape->currentData().toString() : shapeName(SweepShape::Linear);
    typed.family = stepFamily && stepFamily->isChecked();
    choices_->read(typed);
    markFields(QString());
    session_->runTyped(typed,
                       [this](const SweepPlan& plan, int settleMs, int readings, int curves) {
                           return confirmLongSweep(plan, settleMs, readings, curves);
                       });
}

std::vector<std::pair<QLineEdit*, QString StoredSweep::*>> ViewController::sweepFields() const
{
    return {{IVstart, &StoredSweep::start},         {IVstop, &StoredSweep::stop},
            {IVsteps, &StoredSweep::steps},         {ivLevels, &StoredSweep::levels},
            {ivHoldLevel, &StoredSweep::holdLevel}, {ivDuration, &StoredSweep::duration},
            {ivCycles, &StoredSweep::cycles},       {ivReadings, &StoredSweep::readings},
            {ivLimit, &StoredSweep::limit},         {ivSettle, &StoredSweep::settleMs},
            {stepStart, &StoredSweep::stepStart},   {stepStop, &StoredSweep::stepStop},
            {stepSteps, &StoredSweep::stepSteps},   {stepCompliance, &StoredSweep::stepCompliance}};
}

void ViewController::chooseLevelsFile()
{
    const QString path = showLevelsPanel ? showLevelsPanel(lastFolder()) : QString();
    if (path.isEmpty() || !ivLevels)
        return;
    rememberFolder(path);
    ivLevels->setText(path);
}

bool ViewController::isShape(SweepShape shape) const
{
    return ivShape && ivShape->currentData().toString() == shapeName(shape);
}

void ViewController::enableShapeFields(bool editable)
{
    // A list sweep's levels are its own; a sweep from start to stop has no list.
    // The Levels row takes the place of Start and Stop, so the window grows no taller;
    // so do a hold's Level and Duration, and a hold has no steps or cycles.
    const bool list = isShape(SweepShape::List);
    const bool hold = isShape(SweepShape::Hold);
    const auto show = [editable](QWidget* field, bool shown) {
        if (!field)
            return;
        field->setEnabled(editable && shown);
        field->setVisible(shown);
        for (QLabel* label : field->parentWidget()->findChildren<QLabel*>())
            if (label->buddy() == field)
                label->setVisible(shown);
    };
    for (QWidget* field : std::initializer_list<QWidget*>{IVstart, IVstop, IVsteps})
        show(field, !list && !hold);
    show(ivCycles, !hold);
    for (QWidget* field : std::initializer_list<QWidget*>{ivLevels, ivLevelsFile})
        show(field, list);
    for (QWidget* field : std::initializer_list<QWidget*>{ivHoldLevel, ivDuration})
        show(field, hold);
}

bool ViewController::confirmLongSweep(const SweepPlan& plan, int settleMs, int readings, int curves)
{
    if (!confirm || plan.untilStop()) // a hold until Stop ends when the user says
        return true;
    SweepPlan fitted = plan;
    if (plan.shape == SweepShape::Hold)
        fitted.fitHold(sweep().tickFor(settleMs, 0)); // as the sweep will count it
    const qint64 points = qint64(fitted.count()) * curves;
    // At least this long: the exchanges of each tick come on top of a settle time.
    const qint64 seconds = qint64(points) * sweep().tickFor(settleMs, 0) / 1000;
    if (qint64(points) * readings <= longSweepPoints && seconds <= longSweepSeconds)
        return true;
    const QString duration = seconds >= 3600
                                 ? tr("%1 h %2 min").arg(seconds / 3600).arg(seconds % 3600 / 60)
                             : seconds >= 60 ? tr("%1 min %2 s").arg(seconds / 60).arg(seconds % 60)
                                             : tr("%1 s").arg(seconds);
    // Each reading is an exchange of its own, whose time only the sweep will tell.
    if (curves > 1)
        return confirm(
            tr("This family has %1 curves of %2 points%3 and takes at least %4. Start it?")
                .arg(countText(curves), countText(plan.count()),
                     readings > 1 ? tr(" of %1 readings each").arg(countText(readings)) : QString(),
                     duration));
    if (readings > 1)
        return confirm(
            tr("This sweep has %1 points of %2 readings each and takes at least %3. Start it?")
                .arg(countText(points), countText(readings), duration));
    return confirm((plan.shape == SweepShape::Hold
                        ? tr("This hold has %1 points and takes about %2. Start it?")
                        : tr("This sweep has %1 points and takes about %2. Start it?"))
                       .arg(countText(points), duration));
}

void ViewController::markFields(const QString& message)
{
    // A message about a field names it first: "Steps must be …".
    const std::pair<QLineEdit*, QStringList> fields[] = {
        {IVstart, {QStringLiteral("Start must"), QStringLiteral("A log sweep")}},
        {IVstop, {QStringLiteral("Stop must"), QStringLiteral("A log sweep")}},
        {IVsteps, {QStringLiteral("Steps must")}},
        {ivLevels, {QStringLiteral("Levels:")}},
        {ivHoldLevel, {QStringLiteral("Level must")}},
        {ivDuration, {QStringLiteral("Duration must")}},
        {ivCycles, {QStringLiteral("Cycles")}},
        {ivReadings, {QStringLiteral("Readings must")}},
        {ivLimit, {QStringLiteral("Limit must")}},
        {ivSettle, {QStringLiteral("Settle must")}},
        {ivCompliance,
         {QStringLiteral("Compliance must"), QStringLiteral("A compliance of"),
          QStringLiteral("The source's profile")}},
        {ivNplc,
         {QStringLiteral("NPLC must"), QStringLiteral("The meter does not accept an NPLC")}},
    };
    QLineEdit* first = nullptr;
    for (const auto& [field, openings] : fields) {
        if (!field)
            continue;
        const bool named = std::any_of(openings.begin(), openings.end(),
                                       [&](const QString& o) { return message.startsWith(o); });
        field->setStyleSheet(named ? QStringLiteral("QLineEdit { border: 2px solid #b00020; }")
                                   : QString());
        field->setToolTip(named ? message : field->property("plainToolTip").toString());
        if (named && !first)
            first = field;
    }
    if (first)
        first->setFocus();
}

void ViewController::stopIV()
{
    session_->stop();
}

void ViewController::switchSourceOff()
{
    session_->switchSourceOff(Endpoint{sourceip ? sourceip->text() : QString(),
                                       sourceport ? sourceport->text() : QString()});
}

void ViewController::sweepStarted(int totalPoints)
{
    if (history_)
        history_->sweepStarted(); // each sweep is a run of its own, drawn live
    sincePoint_.invalidate();     // the set-up is no reading
    lastDone_ = 0;
    lastTotal_ = totalPoints;
    if (ivProgress) {
        // A hold until Stop has no share done: its bar stays empty, its text counts.
        ivProgress->setRange(0, std::max(totalPoints, 1));
        ivProgress->setValue(0);
        ivProgress->setFormat(tr("Setting up…"));
    }
}

qint64 ViewController::stalledAfterMs()
{
    // A reading is late after two ticks; under a second nobody would notice the wait.
    return std::max<qint64>(2 * qint64(sweep().tickMs()), 1000);
}

void ViewController::sweepProgress(int done, int total, const QDateTime& expectedEnd)
{
    if (done == 0) // the set-up is done: the status no longer says it is under way
        showStatus(tr("Sweeping: Stop (Esc) ends the sweep and switches the source output "
                      "off."));
    lastDone_ = done;
    lastTotal_ = total;
    lastEnd_ = expectedEnd;
    sincePoint_.start();
    stallClock_.start();
    // A fast sweep reports far more often than anyone can read, and relaying out the
    // window for every point would cost more than drawing the points: the latest point
    // is shown at most every progressIntervalMs, but never later than that.
    if (done == 0 || done == total || !progressClock_.isValid() ||
        progressClock_.elapsed() >= progressIntervalMs)
        showProgress();
    else if (!progressLater_.isActive())
        progressLater_.start(int(progressIntervalMs - progressClock_.elapsed()));
}

void ViewController::showProgress()
{
    progressLater_.stop();
    progressClock_.start();
    if (!ivProgress)
        return;
    ivProgress->setValue(lastTotal_ > 0 ? lastDone_ : 0);
    QString text = lastTotal_ > 0
                       ? tr("Point %1 of %2").arg(countText(lastDone_), countText(lastTotal_))
                       : tr("Point %1, until Stop").arg(countText(lastDone_));
    if (const auto run = sweep().run(); run && run->settings.step && session_->isFamilySweeping())
        text = tr("Curve %1 of %2: ")
                   .arg(run->settings.step->index + 1)
                   .arg(run->settings.step->count) +
               text;
    const qint64 quietMs = sincePoint_.isValid() ? sincePoint_.elapsed() : 0;
    if (sweep().isRunning() && quietMs >= stalledAfterMs()) {
        const SweepEngine::Waiting waiting = sweep().waitingFor();
        text += tr(" — waiting for %1 (%2 s)")
                    .arg(waiting == SweepEngine::Waiting::Meter    ? tr("the meter")
                         : waiting == SweepEngine::Waiting::Settle ? tr("the settle time")
                                                                   : tr("the source"))
                    .arg(quietMs / 1000);
    } else if (const auto run = sweep().run();
               sweep().isRunning() && run->settings.step && session_->isFamilySweeping()) {
        // The curves to come take as long as this one's ticks, their step settings on top.
        const int curvesLeft = run->settings.step->count - run->settings.step->index - 1;
        const QDateTime end =
            lastEnd_.addMSecs(qint64(curvesLeft) * lastTotal_ * std::max(1, sweep().tickMs()));
        text +=
            tr(", the family ends after %1").arg(end.time().toString(QStringLiteral("HH:mm:ss")));
    } else if (lastDone_ < lastTotal_ && sweep().isRunning() && lastEnd_.isValid()) {
        text += tr(", ends about %1").arg(lastEnd_.time().toString(QStringLiteral("HH:mm:ss")));
    }
    ivProgress->setFormat(text);
}

void ViewController::sweepFinished()
{
    progressLater_.stop();
    stallClock_.stop();
    sincePoint_.invalidate();
    lastDone_ = sweep().pointsDone();
    showProgress();
    if (ivProgress)
        ivProgress->setValue(lastTotal_ > 0 ? sweep().pointsDone() : 0);
    if (chart)
        chart->liveRunEnded(); // a view the user chose while the points came stays
    if (history_)
        history_->sweepFinished();
}

void ViewController::setSweeping(bool sweeping)
{
    // While a sweep runs, nothing may change which instruments it talks to or start
    // another one; Stop is the only way forward.
    for (QWidget* widget : std::initializer_list<QWidget*>{
             ivLimit, ivSettle, ivShape, ivCycles, ivReadings, ivRun, switchOff, sourceIdentify,
             sourceip, sourceport, stepBox, stepFamily})
        if (widget)
            widget->setEnabled(!sweeping);
    enableShapeFields(!sweeping);
    choices_->setSweeping(sweeping); // the meter's fields and what the profiles offer
    if (ivStop)
        ivStop->setEnabled(sweeping);
    if (analysis_)
        analysis_->setSweeping(sweeping);
    if (lab_)
        lab_->setSweeping(sweeping);
}

void ViewController::labSettingsChanged()
{
    if (lab_)
        lab_->start();
}

QString ViewController::pathForRun(const PathPanel& panel, const QString& suffix, bool save)
{
    // Only the points of a sweep are ever written, and only under its own description.
    const auto run = session_->currentRun();
    if (!run || run->points.empty()) {
        showStatus((save ? tr("Nothing to save: ") : tr("Nothing to export: ")) +
                       history_->whyNothingIn(run.get()),
                   true);
        return QString();
    }
    QString path =
        panel ? panel(QDir(lastFolder()).filePath(proposedName(*run, suffix))) : QString();
    if (path.isEmpty())
        showStatus(save ? tr("Nothing saved.") : tr("Nothing exported."));
    else
        rememberFolder(path);
    return path;
}

QString ViewController::lastFolder() const
{
    QString last = session_->settings()->value(lastFolderKey).toString();
    if (!last.isEmpty() && QFileInfo(last).isDir())
        return last;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return QFileInfo(documents).isDir() ? documents : session_->pat.chopped(1);
}

void ViewController::rememberFolder(const QString& path)
{
    session_->settings()->setValue(lastFolderKey, QFileInfo(path).absolutePath());
}

void ViewController::savetofile()
{
    if (const QString path = pathForRun(showSavePanel, QStringLiteral("txt"), true);
        !path.isEmpty())
        session_->save(path);
}

void ViewController::exportCsv()
{
    // A family's row chosen: the whole family.
    if (const QString path = pathForRun(showCsvPanel, QStringLiteral("csv"), false);
        !path.isEmpty() && !(history_ && history_->exportFamilyCsv(path)))
        session_->exportCsv(path);
}

void ViewController::exportChartImage()
{
    if (const QString path = pathForRun(showChartPanel, QStringLiteral("png"), false);
        !path.isEmpty() && history_) {
        const WriteResult result = history_->exportChart(path);
        showStatus(result.message, !result.ok);
    }
}

void ViewController::openFile()
{
    const QString path = showOpenPanel ? showOpenPanel(lastFolder()) : QString();
    if (!path.isEmpty())
        openPath(path);
}

void ViewController::openPath(const QString& path)
{
    rememberFolder(path);
    showStatus(tr("Opening %1…").arg(printableText(QDir::toNativeSeparators(path))));
    session_->history().importFile(path);
}

void ViewController::clearEarlierTraces()
{
    if (history_)
        history_->hideAllButCurrent();
}

void ViewController::setLogCurrent(bool on)
{
    if (chart)
        chart->setLogCurrent(on);
    if (YAxis)
        YAxis->setText(on ? tr("Vertical: |Current| (A), logarithmic")
                          : tr("Vertical: Current (A)"));
}

void ViewController::setLogVoltage(bool on)
{
    if (chart)
        chart->setLogVoltage(on);
    // A time trace is current: the horizontal axis is its time (BarChart::overTime).
    if (xAxis && chart && chart->overTime())
        xAxis->setText(on ? tr("Horizontal: Time (s), logarithmic") : tr("Horizontal: Time (s)"));
    else if (xAxis)
        xAxis->setText(on ? tr("Horizontal: |Voltage| (V), logarithmic")
                          : tr("Horizontal: Voltage (V)"));
}

bool ViewController::shutdown(const SweepEngine::EndText& why)
{
    const bool off = session_->shutdown(why);
    if (lab_)
        lab_->shutdown(); // after the sweep's end: it is handed on, never waited for
    return off;
}

bool ViewController::mayClose()
{
    if (!session_->lastRunIsOnlyHere() || !confirm)
        return true;
    const QString problem = session_->recorder().problem();
    return confirm(tr("%1. The last sweep's %2 points were not saved and are kept nowhere "
                      "else. Close Kestrel anyway?")
                       .arg(problem.isEmpty() ? tr("Runs are not being kept") : problem)
                       .arg(countText(qint64(session_->sweep().run()->points.size()))));
}

void ViewController::showStatus(const QString& text, bool problem)
{
    readinessShown_ = false;
    if (problem)
        markFields(text);
    if (sweepstatus) {
        sweepstatus->setPlainText(text);
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
    const QString source = session_->identity(Session::Which::Source);
    const QString meter = session_->identity(Session::Which::Meter);
    QString text = tr("Source: %1    Meter: %2")
                       .arg(source.isEmpty() ? none : printableText(source),
                            meter.isEmpty() ? none : printableText(meter));
    if (stepFamily && stepFamily->isChecked()) {
        const QString step = session_->identity(Session::Which::Step);
        text += tr("    Step source: %1").arg(step.isEmpty() ? none : printableText(step));
    }
    identityline->setText(text);
}

} // namespace kestrel
