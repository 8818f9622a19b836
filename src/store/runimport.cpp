#include "store/runimport.h"

#include "data/runfile.h"

#include <QFile>
#include <QFileInfo>

namespace kestrel
{

std::variant<qint64, QString> importRunFile(RunDatabase& store, const QString& filePath,
                                            const QString& program)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1: %2").arg(filePath, file.errorString());
    auto read = readRunFile(file.readAll());
    if (const QString* problem = std::get_if<QString>(&read))
        return QStringLiteral("%1: %2").arg(filePath, *problem);
    Run& run = std::get<Run>(read);
    run.message = QStringLiteral("Imported from %1.").arg(QFileInfo(filePath).fileName());
    const qint64 id = store.importRun(run, program, QFileInfo(filePath).fileName());
    if (id == 0)
        return store.lastError();
    return id;
}

} // namespace kestrel
