#include "app/mainwindow.h"

#include "app/analysispanel.h"
#include "app/historypanel.h"
#include "app/labpanel.h"
#include "app/wholetextlabel.h"
#include "chart/barchart.h"
#include "data/sitext.h"
#include "link/scriptinstall.h"
#include "link/signalwatcher.h"
#include "store/labsettings.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QSettings>
#include <QSplitter>
#include <QSysInfo>
#include <QTabWidget>
#include <QVBoxLayout>

#include <cstdio>

namespace kestrel
{

MainWindow::MainWindow(const QString& home, std::unique_ptr<QSettings> settings,
                       std::unique_ptr<InstrumentLink> link, const SessionOptions& options,
                       QWidget* parent)
    : QMainWindow(parent), ui_(std::make_unique<Ui::MainWindow>()),
      controller_(
          std::make_unique<ViewController>(home, std::move(settings), std::move(link), options))
{
    ui_->setupUi(this);
    auto* chartLayout = new QVBoxLayout(ui_->contview);
    chartLayout->setContentsMargins(0, 0, 0, 0);
    chart_ = new BarChart(ui_->contview);
    chartLayout->addWidget(chart_);
    auto* historyLayout = new QVBoxLayout(ui_->historyHost);
    historyLayout->setContentsMargins(0, 0, 0, 0);
    // This bench's runs, and the lab's: every bench's that publishes to the lab store.
    auto* historyTabs = new QTabWidget(ui_->historyHost);
    historyTabs->setObjectName(QStringLiteral("historyTabs"));
    historyTabs->setDocumentMode(true);
    history_ = new HistoryPanel(historyTabs);
    lab_ = new LabPanel(historyTabs);
    historyTabs->addTab(history_, tr("This bench"));
    historyTabs->addTab(lab_, tr("Lab"));
    historyLayout->addWidget(historyTabs);
    // The analysis of the current run beside the history, under the chart.
    auto* below = new QSplitter(Qt::Horizontal);
    below->setObjectName(QStringLiteral("belowChart"));
    ui_->chartSplitter->replaceWidget(1, below);
    below->addWidget(ui_->historyBox);
    auto* analysisBox = new QGroupBox(tr("Analysis"), below);
    analysisBox->setObjectName(QStringLiteral("analysisBox"));
    auto* analysisLayout = new QVBoxLayout(analysisBox);
    analysis_ = new AnalysisPanel(analysisBox);
    analysisLayout->addWidget(analysis_);
    below->addWidget(analysisBox);
    below->setStretchFactor(0, 1);
    below->setStretchFactor(1, 1);
    below->setSizes({1000, 1000}); // in proportion: half each
    ui_->chartSplitter->setStretchFactor(0, 3);
    ui_->chartSplitter->setStretchFactor(1, 1);
    ui_->chartSplitter->setSizes({450, 190}); // room for five runs in the history
    auto* identityline = new QLabel(ui_->statusbar);
    identityline->setObjectName(QStringLiteral("identityline"));
    ui_->statusbar->addWidget(identityline, 1);
    auto* storeWarning = new QLabel(ui_->statusbar);
    storeWarning->setObjectName(QStringLiteral("storeWarning"));
    storeWarning->setStyleSheet(QStringLiteral("color: #b00020; font-weight: bold;"));
    ui_->statusbar->addWidget(storeWarning, 2);
    // Beside the instruments' identities, each its half; a long reason ends in "…", the
    // whole of it in the tooltip.
    auto* labWaiting = new WholeTextLabel(ui_->statusbar);
    labWaiting->setObjectName(QStringLiteral("labWaiting"));
    labWaiting->setStyleSheet(QStringLiteral("color: #8a4b00;"));
    labWaiting->hide();
    ui_->statusbar->addWidget(labWaiting, 1);
    ui_->ivRun->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    ui_->ivStop->setShortcut(QKeySequence(Qt::Key_Escape));
    ui_->savebutton->setShortcut(QKeySequence::Save);
    connect(ui_->actionAbout, &QAction::triggered, this, &MainWindow::showAbout);
    connect(ui_->actionOpen, &QAction::triggered, controller_.get(), &ViewController::openFile);
    connect(ui_->actionSave, &QAction::triggered, controller_.get(), &ViewController::savetofile);
    connect(ui_->actionExportCsv, &QAction::triggered, controller_.get(),
            &ViewController::exportCsv);
    connect(ui_->actionExportChart, &QAction::triggered, controller_.get(),
            &ViewController::exportChartImage);
    connect(ui_->actionQuit, &QAction::triggered, this, &QWidget::close);
    setAcceptDrops(true);
    connect(ui_->actionSwitchOff, &QAction::triggered, controller_.get(),
            &ViewController::switchSourceOff);

    // Replies are shown exactly as received, never interpreted as markup, and text
    // never moves a field or a button: the labels keep their height, the status area
    // scrolls.
    const int line = fontMetrics().lineSpacing();
    for (QLabel* label : std::initializer_list<QLabel*>{ui_->sourcestatt, ui_->drainstat,
                                                        identityline, storeWarning, labWaiting}) {
        label->setTextFormat(Qt::PlainText);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    }
    // Two whole lines; the rest of a long answer is in the tooltip and the status area.
    for (QLabel* label : std::initializer_list<QLabel*>{ui_->sourcestatt, ui_->drainstat}) {
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setFixedHeight(2 * line);
    }
    // Two lines at the least; a taller window gives the status area the rest of the
    // column, so a long message reads whole.
    ui_->sweepstatus->setMinimumHeight(2 * line + 2 * ui_->sweepstatus->frameWidth() + 8);
    ui_->sweepstatus->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    // Rows a little closer than the style's default, so the whole column fits a laptop's
    // 768 pixels with the profiles' fields.
    for (QGridLayout* grid :
         {ui_->sourceBoxLayout, ui_->meterBoxLayout, ui_->stepGrid, ui_->sweepGrid})
        grid->setVerticalSpacing(4);
    ui_->leftColumn->setSpacing(4);

    bindOutlets();
    controller_->identityline = identityline;
    controller_->storeWarning = storeWarning;
    controller_->labWaiting = labWaiting;
    auto* labSettings = new QAction(tr("Lab store…"), this);
    labSettings->setObjectName(QStringLiteral("actionLabStore"));
    ui_->menuFile->insertAction(ui_->actionQuit, labSettings);
    connect(labSettings, &QAction::triggered, this, &MainWindow::editLabSettings);

    controller_->showSavePanel = [this](const QString& proposed) {
        return askForPath(tr("Save your data"), tr("Choose a folder and a name to store the data."),
                          tr("Data file name:"), {tr("Plain text (*.txt)")}, proposed);
    };
    controller_->showCsvPanel = [this](const QString& proposed) {
        return askForPath(tr("Export CSV"), tr("Choose where to store the data as CSV."),
                          tr("CSV file name:"), {tr("CSV files (*.csv)")}, proposed);
    };
    controller_->showChartPanel = [this](const QString& proposed) {
        return askForPath(tr("Export chart"), tr("Choose where to store a picture of the chart."),
                          tr("Picture file name:"),
                          {tr("PNG picture (*.png)"), tr("SVG drawing (*.svg)")}, proposed);
    };
    controller_->showOpenPanel = [this](const QString& folder) {
        return QFileDialog::getOpenFileName(this, tr("Open a data file"), folder,
                                            tr("Kestrel data (*.txt *.csv);;All files (*)"),
                                            nullptr, QFileDialog::DontUseNativeDialog);
    };
    controller_->showLevelsPanel = [this](const QString& folder) {
        return QFileDialog::getOpenFileName(
            this, tr("Choose a file of levels"), folder,
            tr("Levels or Kestrel data (*.txt *.csv *.dat);;All files (*)"), nullptr,
            QFileDialog::DontUseNativeDialog);
    };
    controller_->confirm = [this](const QString& question) {
        return QMessageBox::question(this, tr("Kestrel"), question) == QMessageBox::Yes;
    };
    controller_->connectOutlets();
    controller_->viewDidLoad();
}

void MainWindow::bindOutlets()
{
    ViewController& vc = *controller_;
    vc.sourceip = ui_->sourceip;
    vc.sourceport = ui_->sourceport;
    vc.drainip = ui_->drainip;
    vc.drainport = ui_->drainport;
    vc.sourcestatt = ui_->sourcestatt;
    vc.drainstat = ui_->drainstat;
    vc.sourceIdentify = ui_->sourceIdentify;
    vc.drainIdentify = ui_->drainIdentify;
    vc.IVstart = ui_->IVstart;
    vc.IVstop = ui_->IVstop;
    vc.IVsteps = ui_->IVsteps;
    vc.ivLimit = ui_->ivLimit;
    vc.drainSensitivity = ui_->drainSensitivity;
    vc.ivShape = ui_->ivShape;
    vc.ivLevels = ui_->ivLevels;
    vc.ivLevelsFile = ui_->ivLevelsFile;
    vc.ivHoldLevel = ui_->ivHoldLevel;
    vc.ivDuration = ui_->ivDuration;
    vc.ivCycles = ui_->ivCycles;
    vc.ivReadings = ui_->ivReadings;
    vc.ivSettle = ui_->ivSettle;
    vc.meterRate = ui_->meterRate;
    vc.sourceProfile = ui_->sourceProfile;
    vc.meterProfile = ui_->meterProfile;
    vc.sourceMeasures = ui_->sourceMeasures;
    vc.continueAtCompliance = ui_->continueAtCompliance;
    vc.ivCompliance = ui_->ivCompliance;
    vc.ivNplc = ui_->ivNplc;
    vc.xAxis = ui_->xAxis;
    vc.YAxis = ui_->YAxis;
    vc.chart = chart_;
    vc.history = history_;
    vc.lab = lab_;
    vc.analysis = analysis_;
    vc.logVoltage = ui_->logVoltage;
    vc.showLines = ui_->showLines;
    vc.ivRun = ui_->ivRun;
    vc.ivStop = ui_->ivStop;
    vc.switchOff = ui_->switchOff;
    vc.savebutton = ui_->savebutton;
    vc.csvbutton = ui_->csvbutton;
    vc.ivProgress = ui_->ivProgress;
    vc.sweepstatus = ui_->sweepstatus;
    vc.logCurrent = ui_->logCurrent;
    vc.clearTraces = ui_->clearTraces;
    vc.exportChart = ui_->exportChart;
    vc.stepFamily = ui_->stepFamily;
    vc.stepBox = ui_->stepBox;
    vc.stepip = ui_->stepip;
    vc.stepport = ui_->stepport;
    vc.stepIdentify = ui_->stepIdentify;
    vc.stepProfile = ui_->stepProfile;
    vc.stepStart = ui_->stepStart;
    vc.stepStop = ui_->stepStop;
    vc.stepSteps = ui_->stepSteps;
    vc.stepCompliance = ui_->stepCompliance;
}

MainWindow::~MainWindow() = default;

QString MainWindow::askForPath(const QString& title, const QString& message, const QString& label,
                               const QStringList& filters, const QString& proposed)
{
    const QFileInfo start(proposed);
    // Qt's own dialog, so the message can sit above the file list on every desktop.
    QFileDialog dialog(this, title);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(start.suffix());
    dialog.setDirectory(start.absolutePath());
    dialog.selectFile(start.fileName());
    dialog.setLabelText(QFileDialog::FileName, label);
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout())) {
        auto* text = new QLabel(message, &dialog);
        grid->addWidget(text, grid->rowCount(), 0, 1, grid->columnCount());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    QString path = dialog.selectedFiles().constFirst();
    // A PNG/SVG choice of filter decides the picture's format when the name has no suffix.
    if (filters.size() > 1 && dialog.selectedNameFilter().contains(QLatin1String("*.svg")) &&
        !path.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive) &&
        path.endsWith(QLatin1String(".png")))
        path.chop(4), path += QLatin1String(".svg");
    return path;
}

void MainWindow::offerScriptInstall(const QString& programDir)
{
    const QString home = controller_->session().pat.chopped(1);
    const auto source = installedScriptSource(programDir);
    if (QFileInfo::exists(scriptPath(home)) || !source)
        return;
    const auto answer = QMessageBox::question(
        this, tr("Install sendArbcmd.sh?"),
        tr("Kestrel sends every instrument command through %1, which does not exist yet.\n\n"
           "Install it now? It passes each command to %2, which talks SCPI over TCP.")
            .arg(scriptPath(home), source->scpiPath));
    if (answer != QMessageBox::Yes)
        return;
    const WriteResult result = installScript(home, *source);
    if (!result.ok)
        QMessageBox::warning(this, tr("sendArbcmd.sh not installed"), result.message);
}

bool MainWindow::saveLabSettings(const QString& uri, const QString& bench, QString* problem)
{
    const QString name = bench.trimmed();
    if (!uri.trimmed().isEmpty())
        if (const auto parsed = parseLabUri(uri.trimmed()); std::holds_alternative<QString>(parsed))
            return *problem = tr("The lab store was not set: %1.").arg(std::get<QString>(parsed)),
                   false;
    if (name != printableText(name))
        return *problem = tr("A bench name is printable text."), false;
    std::unique_ptr<QSettings> shared = sharedSettings();
    shared->setValue(QLatin1String(labUriKey), uri.trimmed());
    if (name.isEmpty())
        shared->remove(QLatin1String(benchKey));
    else
        shared->setValue(QLatin1String(benchKey), name);
    shared->sync();
    if (shared->status() != QSettings::NoError)
        return *problem = tr("The settings file %1 cannot be written.").arg(shared->fileName()),
               false;
    controller_->labSettingsChanged();
    return true;
}

void MainWindow::editLabSettings()
{
    std::unique_ptr<QSettings> shared = sharedSettings();
    QDialog dialog(this);
    dialog.setWindowTitle(tr("Lab store"));
    auto* uri = new QLineEdit(shared->value(QLatin1String(labUriKey)).toString(), &dialog);
    uri->setObjectName(QStringLiteral("labUri"));
    uri->setPlaceholderText(QStringLiteral("postgresql://USER@HOST:5432/DB?sslmode=verify-full"));
    uri->setMinimumWidth(fontMetrics().horizontalAdvance(QLatin1Char('m')) * 40);
    auto* bench = new QLineEdit(shared->value(QLatin1String(benchKey)).toString(), &dialog);
    bench->setObjectName(QStringLiteral("labBenchName"));
    bench->setPlaceholderText(QSysInfo::machineHostName());
    auto* form = new QFormLayout(&dialog);
    auto* words = new QLabel(
        tr("Runs are kept here first, then published to the lab's PostgreSQL server after each "
           "sweep; the sweep never waits for it. The password comes from ~/.pgpass, PGPASSFILE "
           "or PGPASSWORD, never from here. Leave the URI empty to publish nothing."),
        &dialog);
    words->setWordWrap(true);
    form->addRow(words);
    form->addRow(tr("Lab store URI:"), uri);
    form->addRow(tr("This bench's name:"), bench);
    auto* problem = new QLabel(&dialog);
    problem->setStyleSheet(QStringLiteral("color: #b00020;"));
    problem->setWordWrap(true);
    form->addRow(problem);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
        QString why;
        if (saveLabSettings(uri->text(), bench->text(), &why))
            dialog.accept();
        else
            problem->setText(why); // nothing is kept; the fields stay as typed
    });
    dialog.exec();
}

void MainWindow::showAbout()
{
    QMessageBox::about(this, tr("About Kestrel"),
                       tr("<h3>Kestrel %1</h3><p>Traces current-voltage curves with a networked "
                          "SCPI source and current meter.</p><p>Instrument commands go through "
                          "<code>~/sendArbcmd.sh ADDRESS PORT COMMAND</code>.</p>")
                           .arg(QStringLiteral(KESTREL_VERSION)));
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls() && event->mimeData()->urls().constFirst().isLocalFile())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event)
{
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile())
            controller_->openPath(url.toLocalFile());
    event->acceptProposedAction();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!shutDown_ && !controller_->mayClose()) {
        event->ignore();
        return;
    }
    hide(); // the window goes at once; the source is switched off behind it
    shutDownOnce([](int done, int total) {
        return tr("The window was closed after %1 points.").arg(pointsDoneText(done, total));
    });
    event->accept();
}

void MainWindow::endBySignal(int signalNumber)
{
    shutDownOnce([signalNumber](int done, int total) {
        return tr("Ended by %1 after %2 points.")
            .arg(SignalWatcher::name(signalNumber), pointsDoneText(done, total));
    });
    close();
    QCoreApplication::quit();
}

void MainWindow::shutDownOnce(const SweepEngine::EndText& why)
{
    if (shutDown_)
        return;
    shutDown_ = true;
    const bool sweeping = controller_->session().isSweeping();
    controller_->shutdown(why);
    // Whoever ended the program learns whether the output is off.
    if (sweeping)
        std::fprintf(stderr, "kestrel: %s\n", qPrintable(controller_->sweep().run()->message));
}

} // namespace kestrel
