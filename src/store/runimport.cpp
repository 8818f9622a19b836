#include "store/runimport.h"

#include "data/runfile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel
{

std::variant<qint64, QString> importRunFile(RunDatabase& store, const QString& filePath,
                                            const QString& program)
{
    // Opened without waiting, so that a pipe with no writer is refused rather than
    // waited on; what it is and how large is asked of the file opened, not of its name.
    const int fd =
        ::open(QFile::encodeName(filePath).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QStringLiteral("%1: %2").arg(filePath, QString::fromLocal8Bit(std::strerror(errno)));
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return QStringLiteral("%1: not a regular file but a folder, a pipe or a device; only "
                              "files are imported")
            .arg(filePath);
    }
    if (status.st_size > maxRunFileBytes) {
        ::close(fd);
        return QStringLiteral("%1: %2 bytes, more than the %3 bytes (256 MiB) of the largest "
                              "file imported")
            .arg(filePath)
            .arg(qint64(status.st_size))
            .arg(maxRunFileBytes);
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return QStringLiteral("%1: %2").arg(filePath, file.errorString());
    }
    auto read = readRunFile(file);
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
