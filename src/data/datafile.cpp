#include "data/datafile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

#include <sys/stat.h>

namespace kestrel
{

QByteArray dataFileText(const IVPointList& points)
{
    QByteArray text = QByteArray::fromStdString(describePoints(points));
    text += '\n';
    return text;
}

namespace
{

// Why path cannot take a new file, or an empty text. Saving renames a new file over
// the target, which would replace a device, a pipe or a socket by a plain file.
QString targetProblem(const QString& path)
{
    if (path.isEmpty())
        return QStringLiteral("no file name given");
    const QFileInfo dir(QFileInfo(path).absolutePath());
    if (!dir.exists())
        return QStringLiteral("the folder %1 does not exist").arg(dir.filePath());
    if (!dir.isDir())
        return QStringLiteral("%1 is not a folder").arg(dir.filePath());
    struct stat target;
    if (stat(QFile::encodeName(path).constData(), &target) == 0 && !S_ISREG(target.st_mode))
        return S_ISDIR(target.st_mode)
                   ? QStringLiteral("it is a folder")
                   : QStringLiteral("it is not a regular file but a device, a pipe or a socket, "
                                    "which saving would replace; choose a file name");
    return QString();
}

} // namespace

QString checkSaveTarget(const QString& path)
{
    if (QString problem = targetProblem(path); !problem.isEmpty())
        return problem;
    // Write permission is no proof (root has it everywhere, a read-only disk refuses
    // root too): make and drop a file beside the target.
    QTemporaryFile probe(QFileInfo(path).absolutePath() + QStringLiteral("/.kestrel-probe-XXXXXX"));
    if (!probe.open())
        return QStringLiteral("the folder %1 cannot take a new file: %2")
            .arg(QFileInfo(path).absolutePath(), probe.errorString());
    return QString();
}

WriteResult writeFileAtomically(const QString& path, const QByteArray& bytes)
{
    auto failure = [&](const QString& reason) {
        return WriteResult{false, QStringLiteral("Could not save %1: %2").arg(path, reason)};
    };
    if (const QString problem = targetProblem(path); !problem.isEmpty())
        return failure(problem);

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
