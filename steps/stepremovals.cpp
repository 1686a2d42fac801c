#include "steps/stepremovals.h"

#include "package/removallist.h"
#include "package/sha256stream.h"
#include "fileutil/filecopier.h"
#include "log/applog.h"
#include "context/consoletext.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

const char applySignature[] = "bool StepRemovals::apply(const RemovalList&, StepRemovals::Result*)";

bool isLink(const QFileInfo &info)
{
    // On Windows isSymLink() also answers for shortcut files; a junction is a link too.
    return info.isSymLink() || info.isJunction();
}

} // namespace

StepRemovals::StepRemovals(const QString &installDir)
    : m_installDir(QDir::cleanPath(installDir))
{
}

QString StepRemovals::whyText(Why why)
{
    switch (why) {
    case Why::Changed:
        return ConsoleText::tr("changed since the release shipped it");
    case Why::Link:
        return ConsoleText::tr("a link, or below one: left alone");
    case Why::NotEmpty:
        return ConsoleText::tr("the directory holds other files");
    case Why::OtherType:
        return ConsoleText::tr("not the kind of entry the release shipped (a file or a directory)");
    case Why::Hidden:
        return ConsoleText::tr("hidden, and the backup does not hold hidden files");
    case Why::Unreadable:
        return ConsoleText::tr("cannot be read to compare it");
    }
    return QString();
}

QString StepRemovals::fullPath(const QString &relativePath) const
{
    return QStringLiteral("%1/%2").arg(m_installDir, relativePath);
}

bool StepRemovals::isGuarded(const QString &relativePath, Why *why) const
{
    // Every part from the top down: a link anywhere on the way would lead the removal
    // out of the installation, or into another part of it.
    int slash = -1;
    do {
        slash = relativePath.indexOf(QLatin1Char('/'), slash + 1);
        const QFileInfo part(fullPath(slash < 0 ? relativePath : relativePath.left(slash)));
        if (isLink(part)) {
            *why = Why::Link;
            return true;
        }
        if (part.exists() && part.isHidden()) {
            *why = Why::Hidden;
            return true;
        }
    } while (slash >= 0);
    return false;
}

bool StepRemovals::fileMatches(const QString &relativePath, qint64 size, const QByteArray &sha256, Why *why) const
{
    QString path = m_contentSource ? m_contentSource(relativePath) : QString();
    if (path.isEmpty())
        path = fullPath(relativePath);
    const QFileInfo info(path);
    *why = Why::Changed;
    if (info.size() != size)
        return false;
    QByteArray digest;
    qint64 hashed = 0;
    QString error;
    if (!Sha256Stream::hashFile(path, &digest, &hashed, &error)) {
        *why = Why::Unreadable;
        ZR_LOG_WARNING(applySignature) << QStringLiteral("read %1 failed: %2").arg(relativePath, error);
        return false;
    }
    return hashed == size && digest == sha256;
}

bool StepRemovals::isEmptyBut(const QString &relativePath) const
{
    const QStringList names =
        QDir(fullPath(relativePath)).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    return std::all_of(names.cbegin(), names.cend(), [&](const QString &name) {
        return m_gone.contains(QStringLiteral("%1/%2").arg(relativePath, name));
    });
}

bool StepRemovals::apply(const RemovalList &list, Result *result)
{
    m_error.clear();
    const auto keep = [&](const QString &path, Why why) {
        result->kept.append({path, why});
        if (!m_dryRun)
            ZR_LOG_INFO(applySignature) << QStringLiteral("keep %1,%2").arg(path, whyText(why));
    };
    // Files first: a directory can only go once they are gone.
    for (const RemovalList::Entry &entry : list.entries()) {
        if (entry.directory)
            continue;
        Why why = Why::Changed;
        if (isGuarded(entry.path, &why)) {
            keep(entry.path, why);
            continue;
        }
        const QFileInfo installed(fullPath(entry.path));
        const QString source = m_contentSource ? m_contentSource(entry.path) : QString();
        if (!installed.exists() && source.isEmpty())
            continue;
        if ((installed.exists() && !installed.isFile()) || (!source.isEmpty() && !QFileInfo(source).isFile())) {
            keep(entry.path, Why::OtherType);
            continue;
        }
        if (!fileMatches(entry.path, entry.size, entry.sha256, &why)) {
            keep(entry.path, why);
            continue;
        }
        // On Windows a read-only attribute is cleared first, as for a replaced file; the
        // backup holds the file with its attribute.
        if (!m_dryRun && !FileCopier::removeTarget(installed.filePath())) {
            m_error = ConsoleText::tr("%1 cannot be removed").arg(installed.filePath());
            ZR_LOG_WARNING(applySignature) << QStringLiteral("remove %1 failed").arg(entry.path);
            return false;
        }
        if (!m_dryRun)
            ZR_LOG_INFO(applySignature) << QStringLiteral("removed %1").arg(entry.path);
        m_gone.insert(entry.path);
        result->removed.append(entry.path);
    }

    // Deepest first: in reverse order of the sorted paths a directory comes after
    // everything below it.
    QStringList directories;
    for (const RemovalList::Entry &entry : list.entries()) {
        if (entry.directory)
            directories.append(entry.path);
    }
    std::sort(directories.begin(), directories.end(),
              [](const QString &a, const QString &b) { return a.toUtf8() > b.toUtf8(); });
    for (const QString &path : qAsConst(directories)) {
        Why why = Why::Changed;
        if (isGuarded(path, &why)) {
            keep(path, why);
            continue;
        }
        const QFileInfo installed(fullPath(path));
        if (!installed.exists())
            continue;
        if (!installed.isDir()) {
            keep(path, Why::OtherType);
            continue;
        }
        if (!isEmptyBut(path)) {
            keep(path, Why::NotEmpty);
            continue;
        }
        if (!m_dryRun && !QDir().rmdir(installed.filePath())) {
            m_error = ConsoleText::tr("%1 cannot be removed").arg(installed.filePath());
            ZR_LOG_WARNING(applySignature) << QStringLiteral("remove %1 failed").arg(path);
            return false;
        }
        if (!m_dryRun)
            ZR_LOG_INFO(applySignature) << QStringLiteral("removed %1").arg(path);
        m_gone.insert(path);
        result->removed.append(path);
    }
    return true;
}
