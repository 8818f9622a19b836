#include "controller/session.h"

#include "controller/scpidrivers.h"
#include "controller/sweepdescription.h"
#include "data/printabletext.h"

namespace kestrel
{

Session::Session(const QString& home, std::unique_ptr<InstrumentLink> link,
                 std::unique_ptr<QSettings> settings, QObject* parent)
    : QObject(parent), pat(home + QLatin1Char('/')), link_(std::move(link)),
      settings_(std::move(settings)), sweep_(instrumentQueue_, *link_)
{
    connect(&sweep_, &SweepEngine::started, this, [this] {
        emit sweepingChanged(true);
        emit statusShown(tr("Setting up the instruments…"), false);
    });
    connect(&sweep_, &SweepEngine::finished, this,
            [this](Run::Outcome outcome, const QString& text) {
                emit sweepingChanged(false);
                emit statusShown(text, outcome != Run::Outcome::Completed &&
                                           outcome != Run::Outcome::Stopped);
            });
    connect(&sweep_, &SweepEngine::measurementReply, this,
            [this](const QString& reply) { print(reply); });
}

Session::~Session() = default;

void Session::print(const QString& text)
{
    if (printLine)
        printLine(printableLines(text));
}

bool Session::isIdentified(Which which) const
{
    return instrument(which).identified;
}

QString Session::identity(Which which) const
{
    return instrument(which).identity;
}

void Session::identify(Which which, const Endpoint& endpoint)
{
    if (isSweeping()) {
        emit statusShown(tr("Identify waits until the sweep has ended and the output is off."),
                         true);
        return;
    }
    const bool source = which == Which::Source;
    (source ? sport : dport) = endpoint.port;
    (source ? sip : dip) = endpoint.address;
    // Until the answer is in, the instrument is not identified: a failed answer
    // must not leave an earlier identity in force.
    Instrument& state = instrument(which);
    state.identified = false;
    state.identity.clear();
    const quint64 asked = ++state.asked;
    emit identifying(which, tr("Asking %1 …").arg(printableText(endpointText(endpoint))));

    instrumentQueue_.run(
        this,
        [&link = *link_, endpoint, source](const CancelSignal& cancel) {
            return ScpiDriver(link, endpoint,
                              source ? QStringLiteral("source") : QStringLiteral("meter"), cancel)
                .identify();
        },
        [this, which, asked](const Identity& answer) {
            Instrument& state = instrument(which);
            if (asked != state.asked)
                return; // a later identification of this instrument counts instead
            print(answer.reply);
            state.identified = answer.ok;
            state.identity = answer.ok ? answer.text : QString();
            emit identified(which, answer.ok, answer.text);
        });
}

bool Session::start(const SweepRequest& request)
{
    if (isSweeping()) {
        emit statusShown(tr("A sweep is running: it must end, its output off, before the next "
                            "one starts."),
                         true);
        return false;
    }
    if (!source_.identified || !meter_.identified) {
        emit statusShown(!source_.identified && !meter_.identified
                             ? tr("Identify the source and the meter first: press Identify next "
                                  "to each address.")
                         : !source_.identified
                             ? tr("Identify the source first: press Identify next to its address.")
                             : tr("Identify the meter first: press Identify next to its address."),
                         true);
        return false;
    }
    return sweep_.start(SweepSettings{Endpoint{sip, sport}, Endpoint{dip, dport}, request.plan,
                                      request.rangeIndex, request.limitAmps},
                        source_.identity, meter_.identity);
}

bool Session::runTyped(const StoredSweep& typed)
{
    if (isSweeping() || !source_.identified || !meter_.identified)
        return start(SweepRequest{});
    const auto plan =
        makeSweepPlan(SweepFields{typed.start, typed.stop, typed.steps,
                                  shapeFromName(typed.shape).value_or(SweepShape::Linear)});
    if (const QString* problem = std::get_if<QString>(&plan)) {
        emit statusShown(*problem, true);
        return false;
    }
    const auto limit = parseCurrentLimit(typed.limit);
    if (const QString* problem = std::get_if<QString>(&limit)) {
        emit statusShown(*problem, true);
        return false;
    }
    if (settings_) {
        storeEndpoint(*settings_, sourceAddressKey, Endpoint{sip, sport});
        storeEndpoint(*settings_, drainAddressKey, Endpoint{dip, dport});
        storeSweep(*settings_, typed);
        settings_->sync();
    }
    return start(SweepRequest{std::get<SweepPlan>(plan), typed.rangeIndex,
                              std::get<std::optional<double>>(limit)});
}

void Session::stop()
{
    if (!isSweeping())
        return;
    emit statusShown(tr("Stopping: switching the source output off…"), false);
    sweep_.stop();
}

QString Session::nothingToSave() const
{
    const QString nothing = kestrel::nothingToSave(currentRun().get());
    return nothing.isEmpty() ? nothing : tr("Nothing to save: ") + nothing;
}

void Session::save(const QString& path)
{
    const auto run = currentRun();
    if (const QString nothing = nothingToSave(); !nothing.isEmpty()) {
        emit statusShown(nothing, true);
        return;
    }
    print(path);
    fileQueue_.run(
        this, [path, run = *run](const CancelSignal&) { return saveRun(path, run); },
        [this](const WriteResult& result) { emit statusShown(result.message, !result.ok); });
}

void Session::exportCsv(const QString& path)
{
    const auto run = currentRun();
    if (!run || run->points.empty()) {
        emit statusShown(tr("Nothing to export: ") + kestrel::nothingToSave(run.get()), true);
        return;
    }
    fileQueue_.run(
        this,
        [path, run = *run](const CancelSignal&) {
            return exportRunCsv(QStringLiteral("Kestrel " KESTREL_VERSION), path, run);
        },
        [this](const WriteResult& result) { emit statusShown(result.message, !result.ok); });
}

bool Session::shutdown(const QString& why)
{
    const bool off = sweep_.switchOffNow(why);
    fileQueue_.waitForIdle(shellTimeoutMs); // a save in progress finishes its file
    return off;
}

} // namespace kestrel
