// The Kestrel window as a separate program for a test to kill: it identifies the meter
// and each source given in turn, runs a sweep from 0 V to 1 V (20 mA range) with each,
// prints "point N" for each point recorded and "swept" once every sweep has ended.
// Nothing but a signal ends it.
//   kestrel-window-driver HOME STORE SOURCE:PORT[,SOURCE:PORT...] METER:PORT [STEPS]
#include "app/mainwindow.h"
#include "controller/guard.h"

#include <QApplication>

#include <cstdio>

using namespace kestrel;

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5 && args.size() != 6)
        return 2;
    const QString& home = args[1];
    QStringList sources = args[3].split(',');
    MainWindow window(home,
                      std::make_unique<QSettings>(home + "/kestrel.conf", QSettings::IniFormat), {},
                      SessionOptions{args[2], "Kestrel", true, findGuardProgram()});
    ViewController& vc = window.controller();
    vc.printLine = [](const QString&) {};
    const auto fill = [](QLineEdit* address, QLineEdit* port, const QString& endpoint) {
        address->setText(endpoint.section(':', 0, 0));
        port->setText(endpoint.section(':', 1));
    };
    fill(vc.drainip, vc.drainport, args[4]);
    vc.IVstart->setText("0");
    vc.IVstop->setText("1");
    vc.IVsteps->setText(args.value(5, "100"));
    vc.drainSensitivity->setCurrentIndex(2);
    QObject::connect(&vc.sweep(), &SweepEngine::pointRecorded, [](int index) {
        std::printf("point %d\n", index);
        std::fflush(stdout);
    });
    const auto next = [&] {
        if (sources.isEmpty()) {
            std::printf("swept\n");
            std::fflush(stdout);
            return;
        }
        fill(vc.sourceip, vc.sourceport, sources.takeFirst());
        vc.sourceok();
    };
    QObject::connect(&vc.session(), &Session::identified, [&](Session::Which, bool ok) {
        if (ok && vc.session().isIdentified(Session::Which::Source) &&
            vc.session().isIdentified(Session::Which::Meter))
            vc.runIV();
    });
    QObject::connect(&vc.sweep(), &SweepEngine::finished, next);
    vc.drainok();
    next();
    return app.exec();
}
