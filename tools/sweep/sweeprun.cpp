#include "sweeprun.h"

#include "controller/sweepdescription.h"
#include "data/csvfile.h"
#include "data/datafile.h"
#include "data/ivpoints.h"
#include "link/commandline.h"

#include <cstdio>

namespace kestrel
{

namespace
{

void writeOut(FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

SweepRun::SweepRun(const SweepOptions& options, QObject* parent)
    : QObject(parent), options_(options), engine_(queue_, options.home + QLatin1Char('/'))
{
    connect(&engine_, &SweepEngine::measurementReply, this,
            [](const QString& reply) { writeOut(stdout, reply + QLatin1Char('\n')); });
    connect(&engine_, &SweepEngine::finished, this, &SweepRun::finished);
    if (!options_.pngPath.isEmpty()) {
        chart_ = std::make_unique<BarChart>();
        chart_->resize(900, 600);
        chart_->beginTrace(QStringLiteral("Sweep"));
        connect(&engine_, &SweepEngine::pointRecorded, this,
                [this](int, double volt, double amps) { chart_->addPoint(volt, amps); });
    }
}

void SweepRun::start()
{
    // A CSV header names the instruments by what they say they are.
    if (!options_.csvPath.isEmpty())
        identifyThenSweep(0);
    else
        engine_.start(options_.sweep);
}

void SweepRun::identifyThenSweep(int which)
{
    if (which == 2) {
        engine_.start(options_.sweep);
        return;
    }
    const Endpoint& endpoint = which == 0 ? options_.sweep.source : options_.sweep.meter;
    queue_.runShellLine(instrumentCommandLine(options_.home + QLatin1Char('/'), endpoint.address,
                                              endpoint.port, QStringLiteral("*IDN?")),
                        this, [this, which](const QString& reply) {
                            (which == 0 ? sourceIdentity_ : meterIdentity_) =
                                reply.section(QLatin1Char('\n'), 0, 0).trimmed();
                            identifyThenSweep(which + 1);
                        });
}

void SweepRun::interrupt()
{
    if (ended_)
        return;
    ended_ = true;
    const QString problem = engine_.switchOffNow();
    report(QStringLiteral("Interrupted after %1 points; the source output was switched off.")
               .arg(engine_.pointsDone()));
    if (!problem.isEmpty())
        report(problem);
    writeFiles();
    emit done(130);
}

void SweepRun::finished(SweepEngine::Outcome outcome, const QString& message)
{
    if (ended_)
        return;
    ended_ = true;
    report(message);
    const bool written = writeFiles();
    int status = 0;
    switch (outcome) {
    case SweepEngine::Outcome::Completed:
        status = written ? 0 : 1;
        break;
    case SweepEngine::Outcome::LimitReached:
        status = 3;
        break;
    case SweepEngine::Outcome::Stopped:
        status = 130;
        break;
    case SweepEngine::Outcome::Failed:
    case SweepEngine::Outcome::Overload:
        status = 1;
        break;
    }
    emit done(status);
}

bool SweepRun::writeFiles()
{
    const IVPointList& points = ivPoints();
    bool ok = true;
    auto reportResult = [&](const WriteResult& result) {
        report(result.message);
        ok = ok && result.ok;
    };
    if (!options_.outPath.isEmpty())
        reportResult(saveDataFile(options_.outPath, points));
    if (!options_.csvPath.isEmpty()) {
        const CsvHeader header = describeSweep(QStringLiteral("kestrel-sweep " KESTREL_VERSION),
                                               options_.sweep, sourceIdentity_, meterIdentity_);
        WriteResult result = writeFileAtomically(options_.csvPath, csvText(header, points));
        if (result.ok)
            result.message = QStringLiteral("CSV written to %1").arg(options_.csvPath);
        reportResult(result);
    }
    if (chart_) {
        chart_->replotNow();
        reportResult(chart_->exportImage(options_.pngPath));
    }
    return ok;
}

void SweepRun::report(const QString& message)
{
    writeOut(stderr, QStringLiteral("kestrel-sweep: ") + message + QLatin1Char('\n'));
}

} // namespace kestrel
