#include "simprocess/simprocess.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

#include <algorithm>

namespace kestrel
{

SimProcess::SimProcess()
{
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

SimProcess::~SimProcess()
{
    stop();
}

bool SimProcess::start(const QString& program, const QStringList& args, int timeoutMs,
                       QString* error)
{
    const QDeadlineTimer deadline(timeoutMs);
    // An SMU listens at the source's address alone: no meter line comes.
    meterExpected_ = std::none_of(args.begin(), args.end(), [](const QString& arg) {
        return arg == QLatin1String("--smu") || arg.startsWith(QLatin1String("--smu="));
    });
    stepExpected_ = std::any_of(args.begin(), args.end(), [](const QString& arg) {
        return arg == QLatin1String("--step-source") ||
               arg.startsWith(QLatin1String("--step-source="));
    });
    process_.start(program, args);
    if (!process_.waitForStarted(int(deadline.remainingTime()))) {
        *error = QStringLiteral("%1: %2").arg(program, process_.errorString());
        return false;
    }
    while (!readListeningLines()) {
        if (process_.state() != QProcess::Running ||
            !process_.waitForReadyRead(int(deadline.remainingTime()))) {
            *error = process_.state() == QProcess::Running
                         ? QStringLiteral("kestrel-sim did not report its ports within %1 ms")
                               .arg(timeoutMs)
                         : QStringLiteral("kestrel-sim ended at start (exit code %1)")
                               .arg(process_.exitCode());
            stop();
            return false;
        }
    }
    return true;
}

bool SimProcess::readListeningLines()
{
    static const QRegularExpression line(
        QStringLiteral("^kestrel-sim: (source|meter|step) listening on ([0-9.]+):([0-9]+)$"),
        QRegularExpression::MultilineOption);
    // With --serial, each serial line comes before the listening lines.
    static const QRegularExpression serialLine(
        QStringLiteral("^kestrel-sim: (source|meter) serial on (\\S+)$"),
        QRegularExpression::MultilineOption);
    output_ += process_.readAllStandardOutput();
    const QString output = QString::fromUtf8(output_);
    for (auto serial = serialLine.globalMatch(output); serial.hasNext();) {
        const QRegularExpressionMatch match = serial.next();
        (match.captured(1) == QLatin1String("source") ? sourceSerial_ : meterSerial_) =
            match.captured(2);
    }
    auto matches = line.globalMatch(output);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        const QString name = match.captured(1);
        const bool source = name == QLatin1String("source");
        const bool step = name == QLatin1String("step");
        (source ? sourceAddress_ : step ? stepAddress_ : meterAddress_) = match.captured(2);
        (source ? sourcePort_
         : step ? stepPort_
                : meterPort_) = quint16(match.captured(3).toUInt());
    }
    // With --vxi11, each instrument's VXI-11 line comes before its listening line.
    static const QRegularExpression vxi11(
        QStringLiteral("^kestrel-sim: (source|meter) VXI-11 on [0-9.]+:111, core channel on "
                       "port ([0-9]+)$"),
        QRegularExpression::MultilineOption);
    matches = vxi11.globalMatch(QString::fromUtf8(output_));
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        (match.captured(1) == QLatin1String("source") ? sourceCorePort_ : meterCorePort_) =
            quint16(match.captured(2).toUInt());
    }
    return sourcePort_ != 0 && (meterPort_ != 0 || !meterExpected_) &&
           (stepPort_ != 0 || !stepExpected_);
}

int SimProcess::stop(int timeoutMs)
{
    if (process_.state() == QProcess::NotRunning)
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    process_.terminate();
    if (!process_.waitForFinished(timeoutMs)) {
        process_.kill();
        process_.waitForFinished(timeoutMs);
        return -1;
    }
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

} // namespace kestrel
