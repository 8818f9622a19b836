#include "data/datafile.h"

#include "data/numbertext.h"
#include "data/printabletext.h"
#include "data/sitext.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
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
// Paths in messages are printable: a file name may hold any byte but / and NUL.
QString targetProblem(const QString& path)
{
    if (path.isEmpty())
        return QStringLiteral("no file name given");
    const QFileInfo dir(QFileInfo(path).absolutePath());
    if (!dir.exists())
        return QStringLiteral("the folder %1 does not exist").arg(printableText(dir.filePath()));
    if (!dir.isDir())
        return QStringLiteral("%1 is not a folder").arg(printableText(dir.filePath()));
    const QByteArray name = QFile::encodeName(path);
    struct stat target;
    // Saving through a link that leads nowhere would make a file where the link points,
    // out of sight of the name given.
    if (lstat(name.constData(), &target) == 0 && S_ISLNK(target.st_mode) &&
        stat(name.constData(), &target) != 0)
        return QStringLiteral("it is a symbolic link to %1, which does not exist")
            .arg(printableText(QFile::symLinkTarget(path)));
    if (stat(name.constData(), &target) == 0 && !S_ISREG(target.st_mode))
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
            .arg(printableText(QFileInfo(path).absolutePath()), printableText(probe.errorString()));
    return QString();
}

namespace
{

// Reads "[[a, b], [c, d]]" strictly from a stream, as it comes; column() is where the
// last thing read ends, or where the number that could not be read begins.
class BracketReader
{
  public:
    explicit BracketReader(ByteStream& stream) : stream_(stream) {}

    bool eat(char c)
    {
        skipBlanks();
        if (stream_.peek() != c)
            return false;
        stream_.get();
        ++column_;
        return true;
    }
    std::optional<double> number()
    {
        // No number of the format is longer; a longer token is none.
        constexpr std::size_t longestNumber = 64;
        skipBlanks();
        std::string token;
        for (auto c = stream_.peek(); c && !std::strchr(",] \t\r\n", *c); c = stream_.peek()) {
            stream_.get();
            if (token.size() <= longestNumber)
                token += *c;
        }
        const auto value =
            token.size() <= longestNumber ? parseNumber(token) : std::optional<double>();
        if (!value || !std::isfinite(*value))
            return std::nullopt;
        column_ += token.size();
        return value;
    }
    // At the end of the line, and the line at the end of the file.
    bool atEnd()
    {
        skipBlanks();
        if (stream_.peek() == '\r') {
            stream_.get();
            if (!stream_.peek())
                return true;
        }
        if (stream_.peek() == '\n')
            stream_.get();
        return !stream_.peek();
    }
    // At a line feed that more text follows: a second line.
    bool atSecondLine()
    {
        skipBlanks();
        if (stream_.peek() == '\r')
            stream_.get();
        return stream_.get() == '\n' && stream_.peek();
    }
    qint64 column() const { return column_ + 1; }

  private:
    void skipBlanks()
    {
        for (auto c = stream_.peek(); c == ' ' || c == '\t'; c = stream_.peek()) {
            stream_.get();
            ++column_;
        }
    }
    ByteStream& stream_;
    qint64 column_ = 0;
};

} // namespace

std::variant<IVPointList, QString> parseDataFile(ByteStream& stream)
{
    BracketReader reader(stream);
    const auto problem = [&](const char* what) {
        if (!stream.error().isEmpty())
            return stream.error();
        const QString where =
            QStringLiteral("line 1, column %1: %2").arg(reader.column()).arg(QLatin1String(what));
        if (reader.atSecondLine())
            return QStringLiteral("line 2: the data format is one line of [level, current] pairs");
        return where;
    };
    IVPointList points;
    if (!reader.eat('['))
        return problem("expected \"[\", the start of a list of [level, current] pairs");
    if (reader.eat(']')) {
        if (reader.atEnd())
            return stream.error().isEmpty() ? QStringLiteral("line 1: the list holds no points")
                                            : stream.error();
        return problem("expected the end of the line");
    }
    do {
        if (!reader.eat('['))
            return problem("expected \"[\", the start of a [level, current] pair");
        const auto level = reader.number();
        if (!level || !reader.eat(','))
            return problem("expected a level in volts (a decimal number) and a comma");
        const auto current = reader.number();
        if (!current || !reader.eat(']'))
            return problem("expected a current in amps (a decimal number) and \"]\"");
        points.push_back(IVPoint{*level, *current});
    } while (reader.eat(','));
    if (!reader.eat(']') || !reader.atEnd())
        return problem("expected \", \" and the next pair, or \"]\" at the end of the line");
    if (!stream.error().isEmpty())
        return stream.error();
    return points;
}

std::variant<IVPointList, QString> parseDataFile(const QByteArray& text)
{
    QBuffer buffer;
    buffer.setData(text);
    buffer.open(QIODevice::ReadOnly);
    ByteStream stream(buffer, text.size());
    return parseDataFile(stream);
}

WriteResult writeFileAtomically(const QString& path, const QByteArray& bytes)
{
    auto failure = [&](const QString& reason) {
        return WriteResult{false, QStringLiteral("Could not save %1: %2")
                                      .arg(printableText(path), printableText(reason))};
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
    return WriteResult{true, QStringLiteral("Saved %1").arg(printableText(path))};
}

WriteResult saveDataFile(const QString& path, const IVPointList& points)
{
    WriteResult result = writeFileAtomically(path, dataFileText(points));
    if (result.ok)
        result.message =
            QStringLiteral("Saved %1 %2 to %3")
                .arg(countText(qint64(points.size())),
                     points.size() == 1 ? QStringLiteral("point") : QStringLiteral("points"),
                     printableText(path));
    return result;
}

} // namespace kestrel
