#include "db/databasefiles.h"

#include "db/databaseidentity.h"
#include "db/dbcontrol.h"
#include "fileutil/disksync.h"
#include "fileutil/filecopier.h"
#include "log/applog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {

const char kSignature[] = "bool DatabaseFiles::takeOver()";
const char *const kJournalSuffixes[] = {"-journal", "-wal", "-shm"};
const QString kAsideSuffix = QStringLiteral(".restoring");
const QString kPartialSuffix = QStringLiteral(".partial");
// The journals that hold committed work (a log) or undo a half-done transaction; "-shm"
// is only an index, which SQLite rebuilds.
const char *const kKeptSuffixes[] = {"-wal", "-journal"};

} // namespace

DatabaseFiles::DatabaseFiles(const QString &databasePath, const QString &backupPath)
    : m_path(databasePath)
    , m_backupPath(backupPath)
{
}

DatabaseFiles::~DatabaseFiles()
{
    release();
}

bool DatabaseFiles::Identity::operator==(const Identity &other) const
{
    return exists == other.exists && inode == other.inode && size == other.size && modifiedNs == other.modifiedNs;
}

DatabaseFiles::Identity DatabaseFiles::identityOf(const QString &path)
{
    Identity identity;
#ifndef Q_OS_WIN
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return identity;
    identity.exists = true;
    identity.inode = qint64(info.st_ino);
    identity.size = qint64(info.st_size);
    identity.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
#else
    const QFileInfo info(path);
    identity.exists = info.exists();
    identity.size = info.size();
    identity.modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
#endif
    return identity;
}

bool DatabaseFiles::sameContent(const QString &path, const QString &otherPath)
{
    QFile file(path);
    QFile other(otherPath);
    if (!file.open(QIODevice::ReadOnly) || !other.open(QIODevice::ReadOnly) || file.size() != other.size())
        return false;
    constexpr qint64 kChunk = 1 << 16;
    while (!file.atEnd()) {
        const QByteArray bytes = file.read(kChunk);
        if (bytes.isEmpty() || bytes != other.read(kChunk))
            return false;
    }
    return file.error() == QFileDevice::NoError && other.error() == QFileDevice::NoError;
}

bool DatabaseFiles::takeOver()
{
    m_errorString.clear();
    // Our own connection holds no lock between calls, but it must not read the file
    // while it is replaced.
    // Held by this process for the whole update (DBControl::hold()): nobody else can
    // have taken it, and a lock of our own would conflict with that one.
    bool held = false;
    if (DBControl *control = DBControl::createdInstance()) {
        held = control->holdsFileLock();
        control->closeDB();
    }
    m_released = false;
    m_database = identityOf(m_path);
    m_keptPath.clear();
    m_foundIdentity.clear();
    if (m_database.exists && !held && !lock()) {
        release();
        return false;
    }
    // Judged before a journal is touched: the log is part of what the program committed.
    if (m_database.exists) {
        m_foundIdentity = DatabaseIdentity::of(m_path);
        if (mustKeep() && !keep()) {
            release();
            return false;
        }
    }
    bool replacedBefore = false;
    bool judged = false;
    for (const char *suffix : kJournalSuffixes) {
        const QString journal = m_path + QLatin1String(suffix);
        const QString aside = journal + kAsideSuffix;
        const bool present = QFileInfo::exists(journal) || QFileInfo(journal).isSymLink();
        if (!present && QFileInfo::exists(aside)) {
            // Set aside by a restore that was killed.
            if (!judged) {
                replacedBefore = sameContent(m_path, m_backupPath);
                judged = true;
            }
            if (replacedBefore)
                QFile::remove(aside);
            else
                m_setAside.append(journal);
            continue;
        }
        if (!present)
            continue;
        if (QFileInfo::exists(aside))
            QFile::remove(aside);
        if (!QFile::rename(journal, aside)) {
            m_errorString = QStringLiteral("set %1 aside failed").arg(journal);
            ZR_LOG_WARNING(kSignature) << m_errorString;
            release();
            return false;
        }
        m_setAside.append(journal);
    }
#ifdef Q_OS_WIN
    // Windows replaces no file that is open, not even by the one holding the lock: the
    // lock has kept every other connection out while the journals were moved, and now
    // makes way for the copy.
    unlock();
#endif
    return true;
}

QString DatabaseFiles::keptPrefix(const QString &databaseName)
{
    return databaseName + QStringLiteral(".kept-");
}

bool DatabaseFiles::mustKeep() const
{
    // A backup without a database leaves the installed one where it is.
    if (!QFileInfo(m_backupPath).isFile())
        return false;
    if (!m_knownIdentity.isEmpty() && m_foundIdentity == m_knownIdentity)
        return false;
    // Changed, or not known: kept unless nothing in it differs from what comes back.
    if (DatabaseIdentity::hasLog(m_path) || QFileInfo(m_path + QStringLiteral("-journal")).size() > 0)
        return true;
    return !sameContent(m_path, m_backupPath);
}

bool DatabaseFiles::keep()
{
    const QFileInfo database(m_path);
    const QDir dir = database.absoluteDir();
    const QString prefix = keptPrefix(database.fileName());
    // What a killed keep left: partial copies, and journals renamed before their
    // database was.
    const QStringList leftovers = dir.entryList({prefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : leftovers) {
        if (name.endsWith(kPartialSuffix)) {
            QFile::remove(dir.filePath(name));
            continue;
        }
        for (const char *suffix : kKeptSuffixes) {
            const QString journalSuffix = QLatin1String(suffix);
            if (name.endsWith(journalSuffix)
                && !QFileInfo::exists(dir.filePath(name.left(name.size() - journalSuffix.size()))))
                QFile::remove(dir.filePath(name));
        }
    }

    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QString kept = dir.filePath(prefix + stamp);
    for (int n = 2; QFileInfo::exists(kept) || QFileInfo(kept).isSymLink(); ++n)
        kept = dir.filePath(QStringLiteral("%1%2-%3").arg(prefix, stamp).arg(n));

    // The journals first, the database last: its name appearing is what makes the kept
    // copy whole.
    QStringList sources;
    QStringList targets;
    for (const char *suffix : kKeptSuffixes) {
        const QString journal = m_path + QLatin1String(suffix);
        if (QFileInfo(journal).size() > 0) {
            sources << journal;
            targets << kept + QLatin1String(suffix);
        }
    }
    sources << m_path;
    targets << kept;

    FileCopier copier;
    const auto fail = [&](const QString &reason) {
        // Once the database has its name the kept copy is whole and stays.
        const bool whole = QFileInfo::exists(kept);
        for (const QString &target : qAsConst(targets)) {
            if (whole)
                break;
            QFile::remove(target + kPartialSuffix);
            if (target != kept)
                QFile::remove(target);
        }
        m_errorString = QStringLiteral("keep %1 as %2 failed: %3").arg(m_path, kept, reason);
        ZR_LOG_WARNING(kSignature) << m_errorString;
        return false;
    };
    for (int i = 0; i < sources.size(); ++i) {
        const QString partial = targets.at(i) + kPartialSuffix;
        if (!FileCopier::removeTarget(partial) || !copier.copy(sources.at(i), partial))
            return fail(copier.errorString());
        DiskSync::noteWritten(partial);
    }
    if (!DiskSync::flushTree(dir.absolutePath()))
        return fail(QStringLiteral("flush failed"));
    for (int i = 0; i < targets.size(); ++i) {
        if (!QFile::rename(targets.at(i) + kPartialSuffix, targets.at(i)))
            return fail(QStringLiteral("rename failed"));
        DiskSync::noteWritten(targets.at(i));
    }
    if (!DiskSync::flushTree(dir.absolutePath()))
        return fail(QStringLiteral("flush failed"));
    m_keptPath = kept;
    ZR_LOG_WARNING(kSignature) << QStringLiteral("%1 was changed by another program since the update wrote it; "
                                                 "it is kept as %2")
                                      .arg(m_path, kept);
    return true;
}

bool DatabaseFiles::lock()
{
    // Taken on a handle of our own, not through SQLite: a connection would roll a hot
    // journal of ours back into the database (and remove it) before it could be set aside.
    if (m_lock.lock(m_path, &m_errorString))
        return true;
    ZR_LOG_WARNING(kSignature) << m_errorString;
    return false;
}

void DatabaseFiles::unlock()
{
    m_lock.unlock();
}

void DatabaseFiles::complete()
{
    release();
    if (DBControl *control = DBControl::createdInstance())
        control->reopenDB();
}

void DatabaseFiles::release()
{
    if (m_released)
        return;
    m_released = true;
    // The restore leaves a database that equals the backup's in place rather than
    // replacing it: its journals belong to no database then either.
    const bool replaced = !(identityOf(m_path) == m_database) || sameContent(m_path, m_backupPath);
    for (const QString &journal : qAsConst(m_setAside)) {
        const QString aside = journal + kAsideSuffix;
        if (replaced) {
            QFile::remove(aside);
        } else if (!QFileInfo::exists(journal) && !QFile::rename(aside, journal)) {
            ZR_LOG_WARNING("void DatabaseFiles::release()")
                << QStringLiteral("put %1 back failed, it is left as %2").arg(journal, aside);
        }
    }
    m_setAside.clear();
    // The lock goes last, once the journals are where SQLite looks for them.
    unlock();
}
