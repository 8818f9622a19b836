// The Kestrel window as a separate program for a test to kill: it identifies the two
// instruments given, runs a sweep from 0 V to 1 V in 100 steps (20 mA range) and
// prints "point N" for each point recorded. Nothing but a signal ends it.
//   kestrel-window-driver HOME STORE SOURCE:PORT METER:PORT
#include "app/mainwindow.h"
#include "controller/guard.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

using namespace kestrel;

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5)
        return 2;
    const QString home = args[1];
    MainWindow window(home,
                      std::make_unique<QSettings>(home + "/kestrel.conf", QSettings::IniFormat), {},
                      SessionOptions{args[2], "Kestrel", true, findGuardProgram()});
    ViewController& vc = window.controller();
    vc.printLine = [](const QString&) {};
    const auto fill = [](QLineEdit* address, QLineEdit* port, const QString& endpoint) {
        address->setText(endpoint.section(':', 0, 0));
        port->setText(endpoint.section(':', 1));
    };
    fill(vc.sourceip, vc.sourceport, args[3]);
    fill(vc.drainip, vc.drainport, args[4]);
    vc.IVstart->setText("0");
    vc.IVstop->setText("1");
    vc.IVsteps->setText("100");
    vc.drainSensitivity->setCurrentIndex(2);
    QObject::connect(&vc.sweep(), &SweepEngine::pointRecorded, [](int index) {
        std::printf("point %d\n", index);
        std::fflush(stdout);
    });
    vc.sourceok();
    vc.drainok();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (vc.session().isIdentified(Session::Which::Source) &&
            vc.session().isIdentified(Session::Which::Meter)) {
            poll.stop();
            vc.runIV();
        }
    });
    poll.start(20);
    return app.exec();
}
