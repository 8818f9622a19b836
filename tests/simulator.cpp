#include "simulator.h"

#include "simprocess/simprocess.h"
#include "testhome.h"

#include <QFile>

Simulator::Simulator(QStringList extraArgs)
    : extraArgs_(std::move(extraArgs)), process_(std::make_unique<kestrel::SimProcess>())
{
}

Simulator::~Simulator() = default;

bool Simulator::start()
{
    const QStringList args =
        QStringList{QStringLiteral("--source"),     QStringLiteral("127.0.0.2:0"),
                    QStringLiteral("--meter"),      QStringLiteral("127.0.0.3:0"),
                    QStringLiteral("--log"),        dir_.filePath(QStringLiteral("sim.log")),
                    QStringLiteral("--log-format"), QStringLiteral("timed")} +
        extraArgs_;
    QString error;
    if (process_->start(kestrelToolPath(QStringLiteral("kestrel-sim")), args, 5000, &error))
        return true;
    qWarning("Simulator: %s", qPrintable(error));
    return false;
}

QString Simulator::sourceAddress() const
{
    return process_->sourceAddress();
}

QString Simulator::sourcePort() const
{
    return QString::number(process_->sourcePort());
}

QString Simulator::meterAddress() const
{
    return process_->meterAddress();
}

QString Simulator::meterPort() const
{
    return QString::number(process_->meterPort());
}

QString Simulator::stepPort() const
{
    return QString::number(process_->stepPort());
}

QString Simulator::sourceSerial() const
{
    return process_->sourceSerial();
}

QString Simulator::meterSerial() const
{
    return process_->meterSerial();
}

quint16 Simulator::sourceCorePort() const
{
    return process_->sourceCorePort();
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

QStringList Simulator::sourceCommands() const
{
    return commandsOf(QStringLiteral("source"));
}

QStringList Simulator::meterCommands() const
{
    return commandsOf(QStringLiteral("meter"));
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
