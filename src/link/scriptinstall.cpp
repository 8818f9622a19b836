#include "link/scriptinstall.h"

#include "data/printabletext.h"
#include "link/commandline.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace kestrel
{

namespace
{

const QByteArray placeholder = "'@KESTREL_SCPI@'";

} // namespace

std::optional<ScriptSource> installedScriptSource(const QString& programDir)
{
    const QDir bin(programDir);
    ScriptSource source{QDir::cleanPath(bin.filePath(QStringLiteral("../share/kestrel/")) +
                                        QLatin1Char('/') + QLatin1String(scriptName)),
                        bin.filePath(QStringLiteral("kestrel-scpi"))};
    if (!QFileInfo(source.templatePath).isFile() || !QFileInfo(source.scpiPath).isExecutable())
        return std::nullopt;
    source.scpiPath = QFileInfo(source.scpiPath).absoluteFilePath();
    return source;
}

QString scriptPath(const QString& home)
{
    return home + QLatin1Char('/') + QLatin1String(scriptName);
}

WriteResult installScript(const QString& home, const ScriptSource& source)
{
    const QString target = scriptPath(home);
    if (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
        return WriteResult{
            false,
            QStringLiteral("%1 already exists; it was left as it is.").arg(printableText(target))};
    QFile templateFile(source.templatePath);
    if (!templateFile.open(QIODevice::ReadOnly))
        return WriteResult{false, QStringLiteral("Could not read %1: %2")
                                      .arg(printableText(source.templatePath),
                                           printableText(templateFile.errorString()))};
    QByteArray text = templateFile.readAll();
    if (!text.contains(placeholder))
        return WriteResult{
            false,
            QStringLiteral("%1 is not a script template.").arg(printableText(source.templatePath))};
    text.replace(placeholder, shellQuote(source.scpiPath).toUtf8());

    WriteResult result = writeFileAtomically(target, text);
    if (!result.ok)
        return result;
    QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                      QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                      QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                      QFileDevice::ExeOther);
    result.message = QStringLiteral("Installed %1 (it uses %2).")
                         .arg(printableText(target), printableText(source.scpiPath));
    return result;
}

QString missingScriptHint(const QString& home)
{
    return QStringLiteral("Kestrel sends every command through %1, which is missing: restart "
                          "Kestrel and accept its offer to install it, or run "
                          "scripts/install-sendarbcmd.sh from a Kestrel source folder.")
        .arg(printableText(scriptPath(home)));
}

} // namespace kestrel
