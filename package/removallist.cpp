#include "package/removallist.h"

#include "context/zrpubmethod.h"
#include "package/packagemanifest.h"
#include "context/consoletext.h"
#include "layout/installlayout.h"

#include <QFile>
#include <QSet>

#include <algorithm>

const char RemovalList::kFileName[] = "remove.list";
const char RemovalList::kHeader[] = "corvane-removals 1";

namespace {

bool isLowerHex(const QByteArray &text)
{
    return std::all_of(text.cbegin(), text.cend(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool isDecimal(const QByteArray &text)
{
    return !text.isEmpty() && std::all_of(text.cbegin(), text.cend(), [](char c) { return c >= '0' && c <= '9'; });
}

bool containsFolded(const QStringList &names, const QString &name)
{
    return names.contains(name, Qt::CaseInsensitive);
}

} // namespace

bool RemovalList::fail(const QString &error)
{
    m_error = error;
    m_entries.clear();
    return false;
}

bool RemovalList::isRemovablePath(const QString &path, QString *why)
{
    if (!PackageManifest::isAllowedPath(path, why))
        return false;
    const auto refuse = [why](const QString &reason) {
        if (why)
            *why = reason;
        return false;
    };
    const QStringList parts = path.split(QLatin1Char('/'));
    const ZRPubMethod *context = ZRPubMethod::getInstance();
    // Compared without regard to letter case: on Windows "Backup" is the backup.
    const QString database = InstallLayout::databaseName();
    const QString top = parts.first();
    if (containsFolded(context->reservedNames(), top) || top.compare(QLatin1String("config"), Qt::CaseInsensitive) == 0
        || top.compare(database, Qt::CaseInsensitive) == 0
        || (top.startsWith(database + QLatin1Char('-'), Qt::CaseInsensitive)))
        return refuse(ConsoleText::tr("the updater's own files, config/ and kqdata.db are never removed"));
    for (const QString &part : parts) {
        if (containsFolded(context->reservedFileNames(), part))
            return refuse(ConsoleText::tr("the updater's own files, config/ and kqdata.db are never removed"));
        // The backup leaves hidden entries out: a removed one could never come back.
        if (part.startsWith(QLatin1Char('.')))
            return refuse(ConsoleText::tr("a hidden entry, which the backup does not hold"));
    }
    return true;
}

bool RemovalList::parse(const QByteArray &text)
{
    m_entries.clear();
    m_error.clear();
    if (text.size() > kMaxTextBytes)
        return fail(ConsoleText::tr("larger than %1 bytes").arg(kMaxTextBytes));
    if (!text.endsWith('\n') || text.contains('\r') || text.contains('\0'))
        return fail(ConsoleText::tr("not lines of text ending in line feeds (a carriage return, a NUL byte, or no "
                                    "final line feed)"));

    int lineNumber = 0;
    int start = 0;
    QByteArray previousPath;
    QSet<QString> folded;
    QSet<QString> files;
    while (start < text.size()) {
        const int end = text.indexOf('\n', start);
        const QByteArray line = text.mid(start, end - start);
        start = end + 1;
        ++lineNumber;
        const auto malformed = [lineNumber](const QString &why) {
            return ConsoleText::tr("line %1: %2").arg(lineNumber).arg(why);
        };
        if (lineNumber == 1) {
            if (line != kHeader)
                return fail(malformed(ConsoleText::tr("not a removal list (expected \"%1\")").arg(QLatin1String(kHeader))));
            continue;
        }
        if (m_entries.size() >= kMaxEntries)
            return fail(malformed(ConsoleText::tr("more than %1 files").arg(kMaxEntries)));

        Entry entry;
        QByteArray pathBytes;
        if (line.startsWith("dir ")) {
            entry.directory = true;
            pathBytes = line.mid(4);
        } else if (line.startsWith("file ")) {
            const int hashEnd = line.indexOf(' ', 5);
            const int sizeEnd = hashEnd < 0 ? -1 : line.indexOf(' ', hashEnd + 1);
            if (sizeEnd < 0)
                return fail(malformed(ConsoleText::tr("expected \"file <sha-256> <size> <path>\" or \"dir <path>\"")));
            const QByteArray hex = line.mid(5, hashEnd - 5);
            const QByteArray sizeText = line.mid(hashEnd + 1, sizeEnd - hashEnd - 1);
            if (hex.size() != 64 || !isLowerHex(hex))
                return fail(malformed(ConsoleText::tr("the SHA-256 is not 64 lower-case hex digits")));
            if (!isDecimal(sizeText) || (sizeText.size() > 1 && sizeText.startsWith('0')) || sizeText.size() > 12)
                return fail(malformed(ConsoleText::tr("the size is not a plain decimal number")));
            entry.size = sizeText.toLongLong();
            if (entry.size > PackageManifest::kMaxFileSize)
                return fail(malformed(ConsoleText::tr("a size above %1 bytes").arg(PackageManifest::kMaxFileSize)));
            entry.sha256 = QByteArray::fromHex(hex);
            pathBytes = line.mid(sizeEnd + 1);
        } else {
            return fail(malformed(ConsoleText::tr("expected \"file <sha-256> <size> <path>\" or \"dir <path>\"")));
        }

        entry.path = QString::fromUtf8(pathBytes);
        if (entry.path.toUtf8() != pathBytes)
            return fail(malformed(ConsoleText::tr("the path is not valid UTF-8")));
        QString why;
        if (!isRemovablePath(entry.path, &why))
            return fail(malformed(ConsoleText::tr("%1: \"%2\"").arg(why, entry.path)));
        if (!previousPath.isNull() && !(previousPath < pathBytes))
            return fail(malformed(previousPath == pathBytes ? ConsoleText::tr("\"%1\" is listed twice").arg(entry.path)
                                                            : ConsoleText::tr("\"%1\" is out of order").arg(entry.path)));
        const QString key = entry.path.toCaseFolded();
        if (folded.contains(key))
            return fail(malformed(ConsoleText::tr("\"%1\" differs from another path only in letter case").arg(entry.path)));
        // Sorted by bytes, a file's parent directories come before it.
        for (int slash = key.indexOf(QLatin1Char('/')); slash >= 0; slash = key.indexOf(QLatin1Char('/'), slash + 1)) {
            if (files.contains(key.left(slash)))
                return fail(malformed(ConsoleText::tr("\"%1\" lies below a file").arg(entry.path)));
        }
        folded.insert(key);
        if (!entry.directory)
            files.insert(key);
        previousPath = pathBytes;
        m_entries.append(entry);
    }
    if (lineNumber == 0)
        return fail(ConsoleText::tr("not a removal list (expected \"%1\")").arg(QLatin1String(kHeader)));
    return true;
}

bool RemovalList::read(const QString &filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return fail(ConsoleText::tr("cannot read %1: %2").arg(filePath, file.errorString()));
    const QByteArray text = file.read(kMaxTextBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return fail(ConsoleText::tr("cannot read %1: %2").arg(filePath, file.errorString()));
    return parse(text);
}

QByteArray RemovalList::toText() const
{
    QVector<Entry> sorted = m_entries;
    std::sort(sorted.begin(), sorted.end(),
              [](const Entry &a, const Entry &b) { return a.path.toUtf8() < b.path.toUtf8(); });
    QByteArray text = QByteArray(kHeader) + '\n';
    for (const Entry &entry : qAsConst(sorted)) {
        if (entry.directory)
            text += "dir " + entry.path.toUtf8() + '\n';
        else
            text += "file " + entry.sha256.toHex() + ' ' + QByteArray::number(entry.size) + ' ' + entry.path.toUtf8() + '\n';
    }
    return text;
}

void RemovalList::addFile(const QString &path, qint64 size, const QByteArray &sha256)
{
    Entry entry;
    entry.path = path;
    entry.size = size;
    entry.sha256 = sha256;
    m_entries.append(entry);
}

void RemovalList::addDirectory(const QString &path)
{
    Entry entry;
    entry.path = path;
    entry.directory = true;
    m_entries.append(entry);
}
