#pragma once

#include "app/viewcontroller.h"

#include <QMainWindow>

#include <memory>

namespace Ui
{
class MainWindow;
}

namespace kestrel
{

// The measurement window: the layout from mainwindow.ui, the chart, its controller,
// and the file dialogs the controller asks for.
class MainWindow : public QMainWindow
{
    Q_OBJECT
  public:
    explicit MainWindow(const QString& home = homeDirectory(),
                        std::unique_ptr<QSettings> settings = {},
                        std::unique_ptr<InstrumentLink> link = {},
                        const SessionOptions& options = {}, QWidget* parent = nullptr);
    ~MainWindow() override;

    ViewController& controller() { return *controller_; }
    BarChart& chart() { return *chart_; }
    HistoryPanel& history() { return *history_; }
    AnalysisPanel& analysis() { return *analysis_; }
    LabPanel& lab() { return *lab_; }
    // The lab store's URI and this bench's name, as File ▸ Lab store… keeps them in the
    // settings the tools share: false, with why, when they are not usable (nothing kept).
    bool saveLabSettings(const QString& uri, const QString& bench, QString* problem);

    // When sendArbcmd.sh is missing from the home folder and this is an installed
    // Kestrel, offers to install the script that calls the installed kestrel-scpi.
    void offerScriptInstall(const QString& programDir);
    // Ends the program at a signal: the source output off first, then the window.
    void endBySignal(int signalNumber);

  protected:
    void closeEvent(QCloseEvent* event) override;
    // A data file dropped on the window is opened as with Open….
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    void bindOutlets();
    // why: a sentence from the points done and the sweep's points.
    void shutDownOnce(const SweepEngine::EndText& why);
    QString askForPath(const QString& title, const QString& message, const QString& label,
                       const QStringList& filters, const QString& proposed);
    void showAbout();
    void editLabSettings();

    std::unique_ptr<Ui::MainWindow> ui_;
    std::unique_ptr<ViewController> controller_;
    BarChart* chart_ = nullptr;
    HistoryPanel* history_ = nullptr;
    AnalysisPanel* analysis_ = nullptr;
    LabPanel* lab_ = nullptr;
    bool shutDown_ = false;
};

} // namespace kestrel
