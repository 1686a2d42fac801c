#include "package/removallist.h"

#include "context/consoletext.h"
#include "layout/installlayout.h"
#include "package/packagemanifest.h"
#include "package/pathlisttext.h"

#include <algorithm>

const char RemovalList::kFileName[] = "remove.list";
const char RemovalList::kHeader[] = "corvane-removals 1";

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
    // Compared without regard to letter case: on Windows "Backup" is the backup.
    const QString database = InstallLayout::databaseName();
    const QString top = path.section(QLatin1Char('/'), 0, 0);
    if (InstallLayout::isReserved(path, Qt::CaseInsensitive) || top.compare(QLatin1String("config"), Qt::CaseInsensitive) == 0
        || top.compare(database, Qt::CaseInsensitive) == 0 || top.startsWith(database + QLatin1Char('-'), Qt::CaseInsensitive))
        return refuse(ConsoleText::tr("the updater's own files, config/ and kqdata.db are never removed"));
    // The backup leaves hidden entries out: a removed one could never come back.
    if (path.startsWith(QLatin1Char('.')) || path.contains(QLatin1String("/.")))
        return refuse(ConsoleText::tr("a hidden entry, which the backup does not hold"));
    return true;
}

bool RemovalList::parse(const QByteArray &text)
{
    m_error.clear();
    const QString notLines = ConsoleText::tr("not lines of text ending in line feeds (a carriage return, a NUL byte, "
                                             "or no final line feed)");
    const QString expected = ConsoleText::tr("expected \"file <sha-256> <size> <path>\" or \"dir <path>\"");
    const PathListText::Form form{
        kHeader,
        kMaxEntries,
        kMaxTextBytes,
        ConsoleText::tr("larger than %1 bytes").arg(kMaxTextBytes),
        notLines,
        notLines,
        ConsoleText::tr("line %1: %2"),
        ConsoleText::tr("not a removal list (expected \"%1\")").arg(QLatin1String(kHeader)),
    };
    const auto readLine = [&expected](const QByteArray &line, Entry *entry, QByteArray *pathBytes) {
        if (line.startsWith("file "))
            return PathListText::readFileFields(line, 5, PackageManifest::kMaxFileSize, expected, entry, pathBytes);
        if (!line.startsWith("dir "))
            return expected;
        entry->directory = true;
        *pathBytes = line.mid(4);
        return QString();
    };
    const auto rule = [](const QString &path) {
        QString why;
        return isRemovablePath(path, &why) ? QString() : ConsoleText::tr("%1: \"%2\"").arg(why, path);
    };
    return PathListText::parse(text, form, readLine, rule, &m_entries, &m_error) || fail(m_error);
}

bool RemovalList::read(const QString &filePath)
{
    QByteArray text;
    QString error;
    return PathListText::readFile(filePath, kMaxTextBytes, &text, &error) ? parse(text) : fail(error);
}

QByteArray RemovalList::toText() const
{
    QVector<Entry> sorted = m_entries;
    std::sort(sorted.begin(), sorted.end(), [](const Entry &a, const Entry &b) { return PathListText::isBefore(a.path, b.path); });
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
