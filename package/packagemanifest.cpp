#include "package/packagemanifest.h"

#include "context/consoletext.h"
#include "layout/installlayout.h"
#include "package/pathlisttext.h"
#include "package/sha256stream.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

const char PackageManifest::kFileName[] = "package.manifest";
const char PackageManifest::kSignatureName[] = "package.manifest.sig";
const char PackageManifest::kHeader[] = "corvane-manifest 1";

bool PackageManifest::fail(const QString &error)
{
    m_error = error;
    m_entries.clear();
    return false;
}

bool PackageManifest::isAllowedPath(const QString &path, QString *why)
{
    // The reasons reach the console program's --check and refusals: translated there.
    const auto refuse = [why](const QString &reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (path.isEmpty())
        return refuse(ConsoleText::tr("empty path"));
    if (path.toUtf8().size() > kMaxPathBytes)
        return refuse(ConsoleText::tr("path too long"));
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return refuse(ConsoleText::tr("control character in path"));
        if (c == QLatin1Char('\\') || c == QLatin1Char(':'))
            return refuse(ConsoleText::tr("\"\\\" or \":\" in path"));
        if (c.isSurrogate() || c.unicode() == 0xfffd)
            return refuse(ConsoleText::tr("the path is not valid UTF-8"));
    }
    if (path.startsWith(QLatin1Char('/')))
        return refuse(ConsoleText::tr("absolute path"));
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty())
            return refuse(ConsoleText::tr("empty part in path"));
        if (part == QLatin1String(".") || part == QLatin1String(".."))
            return refuse(ConsoleText::tr("\".\" or \"..\" in path"));
        if (part.endsWith(QLatin1Char('.')) || part.endsWith(QLatin1Char(' ')))
            return refuse(ConsoleText::tr("a part of the path ends in a dot or a space"));
    }
    return true;
}

bool PackageManifest::isExcluded(const QString &relativePath)
{
    return relativePath == QLatin1String(kFileName) || relativePath == QLatin1String(kSignatureName)
        || relativePath == QLatin1String("log") || relativePath.startsWith(QLatin1String("log/"));
}

bool PackageManifest::parse(const QByteArray &text)
{
    m_error.clear();
    const PathListText::Form form{
        kHeader,
        kMaxEntries,
        kMaxTextBytes,
        ConsoleText::tr("the manifest is larger than %1 bytes").arg(kMaxTextBytes),
        ConsoleText::tr("the manifest does not end with a line feed"),
        ConsoleText::tr("the manifest holds a carriage return or a NUL byte"),
        ConsoleText::tr("line %1 of the manifest: %2"),
        ConsoleText::tr("not a package manifest (expected \"%1\")").arg(QLatin1String(kHeader)),
    };
    const QString expected = ConsoleText::tr("expected \"<sha-256> <size> <path>\"");
    const auto readLine = [&expected](const QByteArray &line, PathListText::Line *entry, QByteArray *pathBytes) {
        return PathListText::readFileFields(line, 0, kMaxFileSize, expected, entry, pathBytes);
    };
    const auto rule = [](const QString &path) {
        QString why;
        if (!isAllowedPath(path, &why))
            return ConsoleText::tr("%1: \"%2\"").arg(why, path);
        return isExcluded(path) ? ConsoleText::tr("\"%1\" is not part of a package").arg(path) : QString();
    };
    QVector<PathListText::Line> lines;
    if (!PathListText::parse(text, form, readLine, rule, &lines, &m_error))
        return fail(m_error);
    m_entries.clear();
    for (const PathListText::Line &line : qAsConst(lines))
        m_entries.append({line.path, line.size, line.sha256});
    return true;
}

bool PackageManifest::read(const QString &filePath)
{
    QByteArray text;
    QString error;
    return PathListText::readFile(filePath, kMaxTextBytes, &text, &error) ? parse(text) : fail(error);
}

QByteArray PackageManifest::toText() const
{
    QVector<Entry> sorted = m_entries;
    std::sort(sorted.begin(), sorted.end(), [](const Entry &a, const Entry &b) { return PathListText::isBefore(a.path, b.path); });
    QByteArray text = QByteArray(kHeader) + '\n';
    for (const Entry &entry : qAsConst(sorted))
        text += entry.sha256.toHex() + ' ' + QByteArray::number(entry.size) + ' ' + entry.path.toUtf8() + '\n';
    return text;
}

qint64 PackageManifest::totalSize() const
{
    qint64 total = 0;
    for (const Entry &entry : m_entries)
        total += entry.size;
    return total;
}

bool PackageManifest::listPackage(const QString &packageDir, Listing *listing, QString *error)
{
    *listing = Listing();
    const QDir root(QFileInfo(packageDir).absoluteFilePath());
    if (!QFileInfo(packageDir).isDir()) {
        *error = ConsoleText::tr("%1 is not a directory").arg(packageDir);
        return false;
    }
    QDirIterator it(root.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString relative = root.relativeFilePath(info.filePath());
        if (isExcluded(relative))
            continue;
        QString why;
        if (info.isSymLink())
            listing->irregular.append({relative, ConsoleText::tr("a symbolic link")});
        else if (info.isDir())
            continue;
        else if (!info.isFile())
            listing->irregular.append({relative, ConsoleText::tr("not a regular file")});
        else if (!isAllowedPath(relative, &why))
            listing->irregular.append({relative, why});
        else
            listing->files.insert(relative, info.size());
    }
    return true;
}

bool PackageManifest::scan(const QString &packageDir, const std::function<void(qint64, qint64)> &progress)
{
    m_entries.clear();
    m_error.clear();
    Listing listing;
    QString error;
    if (!listPackage(packageDir, &listing, &error))
        return fail(error);
    if (!listing.irregular.isEmpty()) {
        QStringList named;
        for (const Listing::Irregular &entry : qAsConst(listing.irregular))
            named << QStringLiteral("%1: %2").arg(entry.path, entry.why);
        return fail(QStringLiteral("a manifest cannot name %1").arg(named.join(QStringLiteral("; "))));
    }
    if (listing.files.size() > kMaxEntries)
        return fail(QStringLiteral("the package holds more than %1 files").arg(kMaxEntries));
    qint64 total = 0;
    for (const qint64 size : qAsConst(listing.files))
        total += size;
    qint64 done = 0;
    for (auto it = listing.files.cbegin(); it != listing.files.cend(); ++it) {
        Entry entry;
        entry.path = it.key();
        if (!Sha256Stream::hashFile(QDir(packageDir).filePath(it.key()), &entry.sha256, &entry.size, &error,
                                    [&](qint64 bytes) {
                                        done += bytes;
                                        if (progress)
                                            progress(done, total);
                                    }))
            return fail(QStringLiteral("cannot read %1: %2").arg(it.key(), error));
        if (entry.size > kMaxFileSize)
            return fail(QStringLiteral("%1 is larger than %2 bytes").arg(it.key()).arg(kMaxFileSize));
        m_entries.append(entry);
    }
    // Two names that one file system keeps apart and another does not.
    QStringList paths;
    for (const Entry &entry : qAsConst(m_entries))
        paths.append(entry.path);
    const QString clash = InstallLayout::firstCaseClash(paths);
    if (!clash.isEmpty())
        return fail(QStringLiteral("%1 differs from another file only in letter case").arg(clash));
    return true;
}
