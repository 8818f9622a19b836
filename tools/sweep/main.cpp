#include "sweeprun.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace
{

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = write(signalPipe[1], &byte, 1);
}

} // namespace

int main(int argc, char* argv[])
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

    kestrel::SweepRun run(options);
    QObject::connect(&run, &kestrel::SweepRun::done, app.get(), &QCoreApplication::exit,
                     Qt::QueuedConnection);

    // Ctrl-C and SIGTERM reach the event loop through a pipe, so the output can be
    // switched off before the program ends.
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &run, [&run] {
        char byte;
        while (read(signalPipe[0], &byte, 1) > 0) {
        }
        run.interrupt();
    });
    struct sigaction action {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    run.start();
    return app->exec();
}
