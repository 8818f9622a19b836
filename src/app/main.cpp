#include "app/appdelegate.h"
#include "app/mainwindow.h"
#include "data/memoryreuse.h"
#include "data/vectorstate.h"
#include "link/linewriter.h"
#include "link/signalwatcher.h"
#include "store/rundatabase.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace
{

bool helpOrVersionAsked(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i)
        for (const char* option : {"-h", "--help", "-v", "--version", "--help-all"})
            if (std::strcmp(argv[i], option) == 0)
                return true;
    return false;
}

} // namespace

int main(int argc, char* argv[])
{
    // Without a display Qt would abort with a terse message; say what to use instead.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        if (helpOrVersionAsked(argc, argv)) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        } else {
            std::fputs("kestrel: no display to open the window on; kestrel-sweep runs a sweep "
                       "without one (see kestrel-sweep --help).\n",
                       stderr);
            return 1;
        }
    }
    QApplication app(argc, argv);
    // A library QApplication loads may leave the vector registers' upper halves in use;
    // this thread and every thread it starts from now on begin clear.
    kestrel::clearUpperVectorState();
    kestrel::reuseFreedMemory();
    QApplication::setOrganizationName(QStringLiteral("Kestrel"));
    QApplication::setApplicationName(QStringLiteral("Kestrel"));
    QApplication::setApplicationVersion(QStringLiteral(KESTREL_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("kestrel"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("kestrel")));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Traces I-V curves with a networked SCPI source and current meter.\n"
        "Instrument commands go through ~/sendArbcmd.sh ADDRESS PORT COMMAND.\n"
        "Remembered endpoints and sweep fields live in ~/.config/Kestrel/Kestrel.conf\n"
        "($XDG_CONFIG_HOME when set); every run is kept in\n"
        "~/.local/share/kestrel/runs.sqlite ($XDG_DATA_HOME when set), see kestrel-runs.\n\n"
        "Example: kestrel\n"
        "Exit status: 0 when the window was closed, 1 when it could not be shown."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.parse(QApplication::arguments()); // Qt's own options were taken by QApplication
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    // SIGINT, SIGTERM and SIGHUP switch the source output off before the program ends.
    kestrel::SignalWatcher watcher;
    // Diagnostic lines never block the window, whoever reads (or stops reading) them.
    kestrel::LineWriter out(STDOUT_FILENO);
    kestrel::AppDelegate delegate(app);
    // Every run goes into the store as it is measured; a guard switches the source off
    // if this program ends during a sweep.
    const kestrel::SessionOptions options{kestrel::defaultStorePath(),
                                          QStringLiteral("Kestrel " KESTREL_VERSION), true,
                                          kestrel::findGuardProgram()};
    kestrel::MainWindow window(kestrel::homeDirectory(), {}, {}, options);
    QObject::connect(&watcher, &kestrel::SignalWatcher::received, &window,
                     &kestrel::MainWindow::endBySignal);
    window.controller().printLine = [&out](const QString& text) {
        out.write(text.toUtf8() + '\n');
    };
    window.show();
    window.offerScriptInstall(QCoreApplication::applicationDirPath());
    return app.exec();
}
