#include "simulator.h"

#include "testhome.h"

#include <QFile>

bool Simulator::start()
{
    const QStringList args =
        QStringList{QStringLiteral("--source"),     QStringLiteral("127.0.0.2:0"),
                    QStringLiteral("--meter"),      QStringLiteral("127.0.0.3:0"),
                    QStringLiteral("--log"),        dir_.filePath(QStringLiteral("sim.log")),
                    QStringLiteral("--log-format"), QStringLiteral("timed")} +
        extraArgs_;
    QString error;
    if (process_.start(kestrelToolPath(QStringLiteral("kestrel-sim")), args, 5000, &error))
        return true;
    qWarning("Simulator: %s", qPrintable(error));
    return false;
}

QList<std::pair<double, QString>> Simulator::timedLog() const
{
    QFile file(dir_.filePath(QStringLiteral("sim.log")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    lines.removeLast(); // after the last line feed (or the whole of an empty file)
    QList<std::pair<double, QString>> timed;
    for (const QString& line : std::as_const(lines)) {
        const qsizetype tab = line.indexOf(QLatin1Char('\t'));
        timed.append({line.first(std::max<qsizetype>(tab, 0)).toDouble(), line.sliced(tab + 1)});
    }
    return timed;
}

QStringList Simulator::log() const
{
    QStringList lines;
    for (const auto& [ms, line] : timedLog())
        lines << line;
    return lines;
}

QStringList Simulator::commandsOf(const QString& instrument) const
{
    const QString prefix = instrument + QLatin1Char('\t');
    QStringList commands;
    for (const QString& line : log()) {
        if (line.startsWith(prefix))
            commands << line.sliced(prefix.size());
    }
    return commands;
}
