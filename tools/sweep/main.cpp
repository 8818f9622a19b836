#include "link/signalwatcher.h"
#include "sweeprun.h"

#include <QApplication>

#include <cstdio>
#include <exception>
#include <memory>

namespace
{

int sweep(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const auto parsed = kestrel::parseSweepOptions(arguments);
    if (const auto* exit = std::get_if<kestrel::SweepExit>(&parsed)) {
        const QByteArray text = exit->text.toUtf8();
        std::fputs(text.constData(), exit->status == 0 ? stdout : stderr);
        return exit->status;
    }

    // No window is ever shown; a chart, when asked for, is drawn off screen.
    const auto& options = std::get<kestrel::SweepOptions>(parsed);
    std::unique_ptr<QCoreApplication> app;
    if (options.pngPath.isEmpty()) {
        app = std::make_unique<QCoreApplication>(argc, argv);
    } else {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QApplication>(argc, argv);
    }

    // Ctrl-C, SIGTERM and SIGHUP (the terminal closing) reach the event loop, so the
    // output is switched off and the files written before the program ends; a closed
    // standard output fails a write instead of killing the program.
    kestrel::SignalWatcher signalWatcher;
    if (!signalWatcher.isValid()) {
        std::fputs("kestrel-sweep: cannot watch for signals; nothing was sent\n", stderr);
        return 1;
    }
    kestrel::SweepRun run(options);
    QObject::connect(&run, &kestrel::SweepRun::done, app.get(), &QCoreApplication::exit,
                     Qt::QueuedConnection);
    QObject::connect(&signalWatcher, &kestrel::SignalWatcher::received, &run,
                     &kestrel::SweepRun::interrupt);
    run.start();
    return app->exec();
}

} // namespace

int main(int argc, char* argv[])
{
    // Nothing is meant to throw; should memory run out, the program says so and ends
    // with a status of its own, and the guard it started switches the source off.
    try {
        return sweep(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kestrel-sweep: ended by an internal error: %s\n", error.what());
    }
    return 70;
}
