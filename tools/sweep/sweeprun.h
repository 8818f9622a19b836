#pragma once

#include "chart/barchart.h"
#include "controller/session.h"
#include "link/linewriter.h"
#include "sweepoptions.h"

#include <QObject>

#include <memory>

namespace kestrel
{

// One headless sweep: both instruments identified, the window's sweep, each meter
// reply on standard output, messages on standard error, and the requested files
// written at the end, whatever ended it.
class SweepRun : public QObject
{
    Q_OBJECT
  public:
    // Exit statuses beyond 0 (completed) and 2 (bad arguments).
    static constexpr int endedEarly = 1;
    static constexpr int limitReached = 3;
    static constexpr int outputMayBeOn = 4;
    static constexpr int fitFailed = 5;
    static constexpr int interrupted = 130;

    explicit SweepRun(const SweepOptions& options, QObject* parent = nullptr);

    void start();
    // SIGINT, SIGTERM or SIGHUP: the output goes off at once, the files get the
    // points so far.
    void interrupt(int signalNumber);

  signals:
    void done(int exitStatus);

  private:
    void identified(Session::Which which, bool ok, const QString& text);
    void finished(Run::Outcome outcome, const QString& message, bool outputsOff);
    void endEarly(const QString& why, int status);
    void endEarly(const SweepEngine::EndText& why, int status);
    void end(int status);
    bool writeFiles(const Run& run);
    // A family's files: one data file per curve, the step level in its name, and one CSV.
    bool writeFamilyFiles();
    bool isFamily() const { return options_.stepSource.has_value(); }
    // --analyze: the fit of the finished run, printed and kept; false when it gave none.
    bool analyze(Run& run);
    void report(const QString& message);
    // With a lab store set, every ended run it lacks goes there; when it cannot take
    // them, one line says how many wait and why.
    void publishToLab();

    SweepOptions options_;
    LineWriter out_;
    Session session_;
    std::unique_ptr<BarChart> chart_;
    int identifiedCount_ = 0;
    qint64 runId_ = 0; // the run's row in the store, once it has one
    bool ended_ = false;
    // How the sweep or family ended, as the session last said.
    struct Ending {
        Run::Outcome outcome = Run::Outcome::Failed;
        QString message;
        bool outputsOff = false;
    };
    std::optional<Ending> ending_;
};

} // namespace kestrel
