#pragma once

#include "controller/viewcontroller.h"

#include <QMainWindow>

#include <memory>

namespace Ui
{
class MainWindow;
}

namespace kestrel
{

// The measurement window: the layout from mainwindow.ui, its controller, and the
// file dialogs the controller asks for.
class MainWindow : public QMainWindow
{
    Q_OBJECT
  public:
    explicit MainWindow(const QString& home = homeDirectory(),
                        std::unique_ptr<QSettings> settings = {}, QWidget* parent = nullptr);
    ~MainWindow() override;

    ViewController& controller() { return *controller_; }

    // When sendArbcmd.sh is missing from the home folder and this is an installed
    // Kestrel, offers to install the script that calls the installed kestrel-scpi.
    void offerScriptInstall(const QString& programDir);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    QString askForPath(const QString& title, const QString& message, const QString& label,
                       const QStringList& filters, const QString& suffix);
    void showAbout();

    std::unique_ptr<Ui::MainWindow> ui_;
    std::unique_ptr<ViewController> controller_;
};

} // namespace kestrel
