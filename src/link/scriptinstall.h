#pragma once

#include "data/datafile.h"

#include <QString>

#include <optional>

namespace kestrel
{

// The instrument script and kestrel-scpi as an installed Kestrel ships them:
// PREFIX/bin/kestrel-scpi beside the program, PREFIX/share/kestrel/sendArbcmd.sh.
struct ScriptSource {
    QString templatePath;
    QString scpiPath;
};

std::optional<ScriptSource> installedScriptSource(const QString& programDir);

QString scriptPath(const QString& home); // home + "/sendArbcmd.sh"

// Writes home/sendArbcmd.sh from the template, naming kestrel-scpi by its absolute
// path; never replaces a script that is already there.
WriteResult installScript(const QString& home, const ScriptSource& source);

// One sentence on how to get the script, for when it is missing.
QString missingScriptHint(const QString& home);

} // namespace kestrel
