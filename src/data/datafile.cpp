#include "data/datafile.h"

#include <QFileInfo>
#include <QSaveFile>

namespace kestrel
{

QByteArray dataFileText(const IVPointList& points)
{
    QByteArray text = QByteArray::fromStdString(describePoints(points));
    text += '\n';
    return text;
}

WriteResult writeFileAtomically(const QString& path, const QByteArray& bytes)
{
    auto failure = [&](const QString& reason) {
        return WriteResult{false, QStringLiteral("Could not save %1: %2").arg(path, reason)};
    };
    if (path.isEmpty())
        return failure(QStringLiteral("no file name given"));
    const QFileInfo dir(QFileInfo(path).absolutePath());
    if (!dir.exists())
        return failure(QStringLiteral("the folder %1 does not exist").arg(dir.filePath()));

    QSaveFile file(path);
    // Unbuffered, so a failing write reports the system's reason ("File too large",
    // "No space left on device") rather than a flush error without one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return failure(file.errorString());
    // A short write is retried: the next attempt fails with the reason.
    for (qsizetype done = 0; done < bytes.size();) {
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0) {
            const QString reason = file.errorString();
            file.cancelWriting();
            return failure(reason);
        }
        done += written;
    }
    if (!file.commit())
        return failure(file.errorString());
    return WriteResult{true, QStringLiteral("Saved %1").arg(path)};
}

WriteResult saveDataFile(const QString& path, const IVPointList& points)
{
    WriteResult result = writeFileAtomically(path, dataFileText(points));
    if (result.ok)
        result.message =
            QStringLiteral("Saved %1 %2 to %3")
                .arg(QString::number(points.size()),
                     points.size() == 1 ? QStringLiteral("point") : QStringLiteral("points"), path);
    return result;
}

} // namespace kestrel
