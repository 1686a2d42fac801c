#include "package/pathlisttext.h"

#include "context/consoletext.h"
#include "layout/installlayout.h"

#include <QFile>
#include <QSet>

#include <algorithm>

namespace {

bool isLowerHex(const QByteArray &text)
{
    return std::all_of(text.cbegin(), text.cend(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool isPlainDecimal(const QByteArray &text)
{
    return !text.isEmpty() && text.size() <= 12 && !(text.size() > 1 && text.startsWith('0'))
        && std::all_of(text.cbegin(), text.cend(), [](char c) { return c >= '0' && c <= '9'; });
}

// The order and letter-case rules of the paths read so far.
class PathOrder
{
public:
    QString add(const QByteArray &pathBytes, const PathListText::Line &line)
    {
        if (!m_previous.isNull() && !(m_previous < pathBytes))
            return m_previous == pathBytes ? ConsoleText::tr("\"%1\" is listed twice").arg(line.path)
                                           : ConsoleText::tr("\"%1\" is out of order").arg(line.path);
        const QString key = InstallLayout::caseKey(line.path);
        if (m_folded.contains(key))
            return ConsoleText::tr("\"%1\" differs from another path only in letter case").arg(line.path);
        // A file and a directory of one name cannot both exist.
        if (!line.directory && m_parents.contains(key))
            return ConsoleText::tr("\"%1\" is both a file and a directory").arg(line.path);
        // Sorted by bytes, a file's parent directories come before it.
        for (int slash = key.indexOf(QLatin1Char('/')); slash >= 0; slash = key.indexOf(QLatin1Char('/'), slash + 1)) {
            if (m_files.contains(key.left(slash)))
                return ConsoleText::tr("\"%1\" lies below a file").arg(line.path);
            m_parents.insert(key.left(slash));
        }
        m_folded.insert(key);
        if (!line.directory)
            m_files.insert(key);
        m_previous = pathBytes;
        return QString();
    }

private:
    QByteArray m_previous;
    QSet<QString> m_folded;
    QSet<QString> m_files;
    QSet<QString> m_parents;
};

} // namespace

bool PathListText::parse(const QByteArray &text, const Form &form, const LineReader &readLine, const PathRule &rule,
                         QVector<Line> *lines, QString *error)
{
    lines->clear();
    if (text.size() > form.maxTextBytes)
        *error = form.tooLarge;
    else if (!text.endsWith('\n'))
        *error = form.noFinalLineFeed;
    else if (text.contains('\r') || text.contains('\0'))
        *error = form.carriageReturnOrNul;
    else
        error->clear();
    if (!error->isEmpty())
        return false;

    PathOrder order;
    int lineNumber = 0;
    for (int start = 0; start < text.size();) {
        const int end = text.indexOf('\n', start);
        const QByteArray lineText = text.mid(start, end - start);
        start = end + 1;
        ++lineNumber;
        QString why;
        Line line;
        QByteArray pathBytes;
        if (lineNumber == 1)
            why = lineText == form.header ? QString() : form.wrongHeader;
        else if (lines->size() >= form.maxEntries)
            why = ConsoleText::tr("more than %1 files").arg(form.maxEntries);
        else if ((why = readLine(lineText, &line, &pathBytes)).isEmpty()) {
            line.path = QString::fromUtf8(pathBytes);
            if (line.path.toUtf8() != pathBytes)
                why = ConsoleText::tr("the path is not valid UTF-8");
            else if ((why = rule(line.path)).isEmpty() && (why = order.add(pathBytes, line)).isEmpty())
                lines->append(line);
        }
        if (!why.isEmpty()) {
            *error = form.lineError.arg(lineNumber).arg(why);
            lines->clear();
            return false;
        }
    }
    return true;
}

QString PathListText::readFileFields(const QByteArray &text, int from, qint64 maxSize, const QString &expected,
                                     Line *line, QByteArray *pathBytes)
{
    const int hashEnd = text.indexOf(' ', from);
    const int sizeEnd = hashEnd < 0 ? -1 : text.indexOf(' ', hashEnd + 1);
    if (sizeEnd < 0)
        return expected;
    const QByteArray hex = text.mid(from, hashEnd - from);
    const QByteArray sizeText = text.mid(hashEnd + 1, sizeEnd - hashEnd - 1);
    if (hex.size() != 64 || !isLowerHex(hex))
        return ConsoleText::tr("the SHA-256 is not 64 lower-case hex digits");
    if (!isPlainDecimal(sizeText))
        return ConsoleText::tr("the size is not a plain decimal number");
    line->size = sizeText.toLongLong();
    if (line->size > maxSize)
        return ConsoleText::tr("a size above %1 bytes").arg(maxSize);
    line->sha256 = QByteArray::fromHex(hex);
    *pathBytes = text.mid(sizeEnd + 1);
    return QString();
}

bool PathListText::readFile(const QString &filePath, qint64 maxBytes, QByteArray *text, QString *error)
{
    QFile file(filePath);
    if (file.open(QIODevice::ReadOnly))
        *text = file.read(maxBytes + 1);
    if (!file.isOpen() || file.error() != QFileDevice::NoError) {
        *error = ConsoleText::tr("cannot read %1: %2").arg(filePath, file.errorString());
        return false;
    }
    return true;
}
