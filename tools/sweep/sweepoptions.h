#pragma once

#include "controller/runanalysis.h"
#include "data/run.h"

#include <QString>
#include <QStringList>

#include <variant>

namespace kestrel
{

struct SweepOptions {
    SweepSettings sweep;
    QString home;    // the folder holding sendArbcmd.sh
    QString outPath; // saved-data format
    QString csvPath;
    QString pngPath;                   // chart picture, .png or .svg
    QString storePath;                 // the run store; empty with --no-store
    std::optional<FitRequest> analyze; // fit the finished sweep's points
    bool rangeGiven = false;           // --range: else auto where the meter's profile has it
    // A family: the step source's endpoint, levels, limit and profile (none: the one its
    // identity matches).
    std::optional<Endpoint> stepSource;
    SweepPlan stepPlan;
    std::optional<double> stepComplianceAmps;
    ProfilePtr stepCommands;
};

// What the command line asks for; text to print and the exit status otherwise
// (--help and --version exit 0, bad arguments 2).
struct SweepExit {
    QString text;
    int status;
};

std::variant<SweepOptions, SweepExit> parseSweepOptions(const QStringList& arguments);

// One line per profile: name, roles, description; then the files that cannot be used.
QString profileListText(const ProfileCatalog& catalog);

// "ADDRESS:PORT": the port is the text after the last ':'.
std::optional<Endpoint> parseEndpoint(const QString& text);

} // namespace kestrel
