#include "config/configbase.h"

#include "config/inicommit.h"
#include "config/initextcodec.h"
#include "log/applog.h"
#include "log/interruptedcall.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMutex>
#include <QMutexLocker>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QVector>

#include <algorithm>

#ifndef Q_OS_WIN
#include <cerrno>
#include <unistd.h>
#endif

namespace {

const char kBeginKey[] = "ZRFILE_BEGIN/CODE";
const char kEndKey[] = "ZRFILE_END/CODE";

// As long as QLockFile takes a lock of a process that no longer answers to be stale.
constexpr int kBackupLockWaitMs = 30000;

std::unique_ptr<QSettings> openIni(const QString &filePath)
{
    std::unique_ptr<QSettings> settings(new QSettings(filePath, QSettings::IniFormat));
    IniTextCodec::apply(*settings);
    return settings;
}

// The repair fills this file through QSettings; should creating it fail, QSettings
// still creates it when it syncs.
void createEmptyFile(const QString &filePath)
{
    QFile file(filePath);
    file.open(QIODevice::ReadWrite);
}

// QSettings keeps what it parsed of a file in a process-wide cache and re-reads the
// file only when its size or modification time (in milliseconds) differs. A backup
// copied over a damaged file of equal size within the same millisecond would thus be
// judged by the damaged content; moving the copy's time away from the old one makes
// the next QSettings on the path read the copy.
struct FileStamp
{
    explicit FileStamp(const QString &filePath)
    {
        const QFileInfo info(filePath);
        exists = info.exists();
        size = info.size();
        modified = info.lastModified();
    }
    bool exists;
    qint64 size;
    QDateTime modified;
};

// The data written through file's own descriptor, which alone is told about a failure.
bool flushToDisk(QFileDevice &file)
{
#ifndef Q_OS_WIN
    return InterruptedCall::flush(file.handle(), true);
#else
    Q_UNUSED(file)
    return true;
#endif
}

// The keys of settings written afresh to a new file in dir, in the order QSettings
// sorts them on Linux: groups by name (keys outside any group first), then the keys
// of each group by name. QSettings on Windows writes keys in the order it first met
// them, which may differ between two processes merging the same files; a file written
// in this order has the same bytes on every platform (line endings apart).
bool writeSorted(QSettings &settings, const QString &dir, QByteArray *written)
{
    struct Entry
    {
        QString group;
        QString name;
        QString key;
    };
    QVector<Entry> entries;
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys) {
        const int slash = key.indexOf(QLatin1Char('/'));
        entries.append({slash < 0 ? QString() : key.left(slash), slash < 0 ? key : key.mid(slash + 1), key});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return a.group != b.group ? a.group < b.group : a.name < b.name;
    });

    // A name this process never used before: QSettings would take the keys it has
    // cached for a file of that name.
    static QAtomicInt serial;
    const QString target = dir + QStringLiteral("/sorted-%1.ini").arg(serial.fetchAndAddRelaxed(1));
    {
        std::unique_ptr<QSettings> sorted = openIni(target);
        for (const Entry &entry : entries)
            sorted->setValue(entry.key, settings.value(entry.key));
        sorted->sync();
        if (sorted->status() != QSettings::NoError)
            return false;
    }
    QFile file(target);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *written = file.readAll();
    const bool read = file.error() == QFileDevice::NoError;
    file.remove();
    return read;
}

void forceReread(const QString &filePath, const FileStamp &replaced)
{
    const FileStamp copy(filePath);
    if (!replaced.exists || copy.size != replaced.size || copy.modified != replaced.modified)
        return;
    QFile file(filePath);
    if (file.open(QIODevice::ReadWrite))
        file.setFileTime(replaced.modified.addMSecs(-1), QFileDevice::FileModificationTime);
}

} // namespace

bool ConfigBase::isMarkerKey(const QString &key)
{
    return key == QLatin1String(kBeginKey) || key == QLatin1String(kEndKey);
}

bool ConfigBase::isIniFile(const QString &fileName)
{
    return fileName.endsWith(QLatin1String(".ini"), Qt::CaseInsensitive);
}

ConfigBase::ConfigBase(const QString &filePath)
    : ConfigBase(filePath, Access::Repair)
{
}

ConfigBase::ConfigBase(const QString &filePath, Access access)
    : m_filePath(filePath)
    , m_beginKey(QString::fromLatin1(kBeginKey))
    , m_endKey(QString::fromLatin1(kEndKey))
    , m_markCode(QStringLiteral("tarnwoven"))
    , m_readOnly(access == Access::ReadOnly)
{
    if (m_readOnly) {
        openSettings(); // QSettings creates nothing while nothing is set
    } else {
        initSettings();
    }
}

ConfigBase::~ConfigBase()
{
    save();
    m_settings.reset();
}

QMutex *ConfigBase::getMutex()
{
    return nullptr;
}

QString ConfigBase::getBackupFile()
{
    return m_filePath + QStringLiteral(".bak");
}

void ConfigBase::initSettings()
{
    QMutexLocker locker(getMutex());
    m_needEndMark = false;
    m_changed = false;
    // A save killed half-way may have left the file's second name (see IniCommit).
    IniCommit::recover(m_filePath);
    openSettings();
    checkAndRestore();
}

bool ConfigBase::isValid()
{
    if (!m_settings)
        return false;
    // Both reads are made even when the first already fails.
    const bool beginOk = m_settings->value(m_beginKey, QString()).toString() == m_markCode;
    const bool endOk = m_settings->value(m_endKey, QString()).toString() == m_markCode;
    return beginOk && endOk;
}

bool ConfigBase::isReadable() const
{
    return !m_unreadable;
}

bool ConfigBase::isText() const
{
    return !m_notText;
}

QStringList ConfigBase::keysLostByRepair(const QStringList &setAfter)
{
    QStringList lost;
    if (m_unreadable || isValid())
        return lost;
    ConfigBase backup(getBackupFile(), Access::ReadOnly);
    const bool restorable = backup.isReadable() && backup.isValid();
    const QStringList keys = allKeys();
    for (const QString &key : keys) {
        if (isMarkerKey(key) || setAfter.contains(key))
            continue;
        if (!restorable || backup.value(key) != m_settings->value(key))
            lost.append(key);
    }
    return lost;
}

void ConfigBase::openSettings()
{
    // The working copy goes before a new one is made, and QSettings before its file.
    m_settings.reset();
    m_workDir.reset();
    m_form = IniFileForm();
    m_notText = false;
    m_seenText.clear();

    bool translate = false;
    QByteArray text;
    QFile file(m_filePath);
    // A file that cannot be opened or read is left to QSettings, whose status tells.
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = file.readAll();
        if (file.error() == QFileDevice::NoError) {
            IniFileForm form;
            if (form.decode(bytes, &text)) {
                m_form = form;
                translate = !form.isNative();
            } else {
                m_notText = true;
            }
        }
    }
    if (!translate && !m_notText) {
        m_settings = openIni(m_filePath);
        // QSettings reads the file at once; a file it cannot read looks like an empty one.
        m_unreadable = m_settings->status() == QSettings::AccessError;
        return;
    }

    // A file that is no text gets an empty working copy that is never written: what
    // QSettings would make of its bytes must reach neither the file nor a repair.
    m_workDir.reset(new QTemporaryDir);
    const QString working = m_workDir->filePath(QFileInfo(m_filePath).fileName());
    bool copied = m_workDir->isValid();
    if (copied && translate) {
        QFile copy(working);
        copied = copy.open(QIODevice::WriteOnly) && copy.write(text) == text.size() && copy.flush();
    }
    m_settings = openIni(working);
    m_seenText = text;
    m_unreadable = m_notText || !copied || m_settings->status() == QSettings::AccessError;
    if (!copied) {
        ZR_LOG_WARNING("void ConfigBase::openSettings()")
            << QStringLiteral("read %1 failed,its working copy cannot be written").arg(m_filePath);
    }
}

QStringList ConfigBase::allKeys() const
{
    return m_settings ? m_settings->allKeys() : QStringList();
}

QVariant ConfigBase::value(const QString &key, const QVariant &defaultValue)
{
    QMutexLocker locker(getMutex());
    return m_settings->value(key, defaultValue);
}

void ConfigBase::setValue(const QString &key, const QVariant &value)
{
    QMutexLocker locker(getMutex());
    if (m_readOnly) {
        // Not even kept in memory: QSettings writes pending values when it is destroyed.
        ZR_LOG_WARNING("void ConfigBase::setValue(const QString&, const QVariant&)")
            << QStringLiteral("file %1 is opened read-only, key %2 not set").arg(m_filePath, key);
        return;
    }
    if (m_unreadable) {
        // Nothing is written over a content that is unknown.
        ZR_LOG_WARNING("void ConfigBase::setValue(const QString&, const QVariant&)")
            << QStringLiteral("file %1 could not be read, key %2 not set").arg(m_filePath, key);
        return;
    }
    m_changed = true;
    m_settings->setValue(key, value);
    // With the first change, not at the save: should the save fail, QSettings still
    // writes what is pending when it goes, and a file of values without its end marker
    // would be taken for a damaged one.
    if (m_needEndMark) {
        m_settings->setValue(m_endKey, m_markCode);
        m_needEndMark = false;
    }
}

void ConfigBase::checkAndRestore()
{
    QMutexLocker locker(getMutex());
    if (isValid())
        return;
    if (m_notText) {
        ZR_LOG_WARNING("virtual void ConfigBase::checkAndRestore()")
            << QStringLiteral("read %1 failed,it is no text in UTF-8 or UTF-16, file left as it is").arg(m_filePath);
        return;
    }
    if (m_unreadable) {
        ZR_LOG_WARNING("virtual void ConfigBase::checkAndRestore()")
            << QStringLiteral("read %1 failed, file left as it is").arg(m_filePath);
        return;
    }

    const FileStamp damagedFile(m_filePath);
    if (damagedFile.exists && !discardDamaged(m_filePath))
        return;

    const QString backupFile = getBackupFile();
    if (QFile::exists(backupFile)) {
        // A failed copy leaves the object serving what it read at opening; the file
        // comes back when QSettings next writes it.
        if (!QFile::copy(backupFile, m_filePath))
            return;
        forceReread(m_filePath, damagedFile);
        openSettings();
        if (isValid())
            return;
        // A copy that cannot be read now is left as it is, as a failed copy is.
        if (m_unreadable && !m_notText)
            return;
        // The backup is damaged too (or no text). The file is a byte copy of it, so
        // keeping the backup keeps everything.
        if (!discardDamaged(backupFile))
            return;
        QFile::remove(m_filePath);
    }
    createEmptyFile(m_filePath);

    // The end marker is owed until the first change, so a file that is
    // re-created and never changed is repaired again at the next opening.
    openSettings();
    m_settings->setValue(m_beginKey, m_markCode);
    // (Through the working copy when there is one: its own sync would reach the copy only.)
    if (m_workDir)
        saveThroughWorkingCopy();
    else
        m_settings->sync();
    m_needEndMark = true;
}

bool ConfigBase::discardDamaged(const QString &path)
{
    // m_settings holds what was read from the damaged file (for the backup: from its
    // copy). Markers alone, e.g. a re-created file never changed, are not worth keeping;
    // any other key, and any line QSettings could not read as a key (garbage, a
    // comment), is set aside rather than lost.
    const QStringList keys = m_settings->allKeys();
    // (A file that is no text was read as no keys at all: its bytes are kept.)
    bool onlyMarkers = !m_notText && std::all_of(keys.cbegin(), keys.cend(), &ConfigBase::isMarkerKey);
    if (onlyMarkers) {
        QFile file(path);
        QByteArray bytes;
        if (file.open(QIODevice::ReadOnly))
            bytes = file.readAll();
        if (!file.isOpen() || file.error() != QFileDevice::NoError) {
            // Read a moment ago, unreadable now: nothing can be decided, and neither a
            // repair nor a save may replace it.
            ZR_LOG_WARNING("virtual void ConfigBase::checkAndRestore()")
                << QStringLiteral("read %1 failed, file left as it is").arg(path);
            m_unreadable = true;
            return false;
        }
        const QList<QByteArray> lines = bytes.split('\n');
        onlyMarkers = std::all_of(lines.cbegin(), lines.cend(), [](const QByteArray &line) {
            const QByteArray trimmed = line.trimmed();
            return trimmed.isEmpty() || trimmed.startsWith('[') || trimmed.contains('=');
        });
    }
    if (onlyMarkers) {
        QFile::remove(path);
        return true;
    }

    const QString keptPath = path + QStringLiteral(".damaged");
    if (QFile::exists(keptPath))
        QFile::remove(keptPath);
    QFile damaged(path);
    if (!damaged.rename(keptPath)) {
        // Repairing now would destroy the file's only copy: leave it as it is.
        ZR_LOG_WARNING("virtual void ConfigBase::checkAndRestore()")
            << QStringLiteral("keep damaged file %1 failed,reason:%2").arg(path, damaged.errorString());
        return false;
    }
    ZR_LOG_WARNING("virtual void ConfigBase::checkAndRestore()")
        << QStringLiteral("damaged file %1 kept as %2").arg(path, keptPath);
    return true;
}

bool ConfigBase::writeBackup()
{
    QFile current(m_filePath);
    if (!current.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = current.readAll();
    if (current.error() != QFileDevice::NoError)
        return false;

    // Held as QSettings holds "<file>.lock" while it saves: should this save be killed,
    // the stale lock is what tells the temporary file it leaves from any other file
    // (InterruptedSave).
    QLockFile lock(getBackupFile() + QStringLiteral(".lock"));
    if (!lock.tryLock(kBackupLockWaitMs))
        return false;

    // Written aside and renamed into place, so the previous backup survives any failure.
    QSaveFile backup(getBackupFile());
    if (!backup.open(QIODevice::WriteOnly))
        return false;
    // flush() before commit(): commit() misses a write error of the buffer's last flush
    // and would put an empty backup in place.
    if (backup.write(bytes) != bytes.size() || !backup.flush()) {
        backup.cancelWriting();
        return false;
    }
    // commit() ignores a failed flush to the disk: a backup the disk may not keep is none.
    if (!m_flushedByCaller && !flushToDisk(backup)) {
        backup.cancelWriting();
        return false;
    }
    return backup.commit();
}

bool ConfigBase::save()
{
    QMutexLocker locker(getMutex());
    if (!m_changed)
        return true;

    // After a save that did not reach the disk whole, the file there is no state worth
    // a backup: the backup of the last good one stays.
    if (!m_incompleteOnDisk && !writeBackup())
        return false;
    if (m_workDir)
        return saveThroughWorkingCopy();

    switch (IniCommit::commit(*m_settings, !m_flushedByCaller)) {
    case IniCommit::Outcome::Saved:
        break;
    case IniCommit::Outcome::NotWritten:
        return false;
    case IniCommit::Outcome::Incomplete:
        ZR_LOG_WARNING("bool ConfigBase::save()")
            << QStringLiteral("save %1 failed,the file written is incomplete").arg(m_filePath);
        m_incompleteOnDisk = true;
        // QSettings takes the file for saved: every value is set again, so that the next
        // save writes them all rather than nothing.
        IniCommit::keepPending(*m_settings);
        return false;
    case IniCommit::Outcome::NotOnDisk:
        // The file as it was is back: a value the disk may not keep must not be taken
        // for saved, least of all an update flag.
        ZR_LOG_WARNING("bool ConfigBase::save()")
            << QStringLiteral("save %1 failed,the disk did not take it").arg(m_filePath);
        IniCommit::keepPending(*m_settings);
        return false;
    }
    m_incompleteOnDisk = false;
    m_changed = false;
    return true;
}

bool ConfigBase::refreshWorkingCopy()
{
    QByteArray text;
    IniFileForm form = m_form;
    QFile file(m_filePath);
    if (file.exists()) {
        QByteArray bytes;
        if (file.open(QIODevice::ReadOnly))
            bytes = file.readAll();
        if (!file.isOpen() || file.error() != QFileDevice::NoError) {
            ZR_LOG_WARNING("bool ConfigBase::refreshWorkingCopy()") << QStringLiteral("save %1 failed,it cannot be read").arg(m_filePath);
            return false;
        }
        if (!form.decode(bytes, &text)) {
            ZR_LOG_WARNING("bool ConfigBase::refreshWorkingCopy()")
                << QStringLiteral("save %1 failed,it is no text in UTF-8 or UTF-16 now").arg(m_filePath);
            return false;
        }
    }
    // Another program's keys are kept as QSettings keeps them: the working copy changes,
    // so QSettings reads it again and sets the pending values on what it holds.
    if (text == m_seenText)
        return true;
    const QString working = m_settings->fileName();
    const FileStamp before(working);
    QFile copy(working);
    if (!copy.open(QIODevice::WriteOnly) || copy.write(text) != text.size() || !copy.flush()) {
        ZR_LOG_WARNING("bool ConfigBase::refreshWorkingCopy()")
            << QStringLiteral("save %1 failed,its working copy cannot be written").arg(m_filePath);
        return false;
    }
    copy.close();
    forceReread(working, before);
    m_form = form;
    m_seenText = text;
    return true;
}

bool ConfigBase::saveThroughWorkingCopy()
{
    // The lock QSettings takes for the file, so that a program saving it with QSettings
    // meanwhile does not write between the reading and the replacing.
    QLockFile lock(m_filePath + QStringLiteral(".lock"));
    if (!lock.tryLock(kBackupLockWaitMs)) {
        ZR_LOG_WARNING("bool ConfigBase::saveThroughWorkingCopy()") << QStringLiteral("save %1 failed,it is locked").arg(m_filePath);
        return false;
    }
    if (!refreshWorkingCopy())
        return false;
    if (IniCommit::commit(*m_settings, !m_flushedByCaller) != IniCommit::Outcome::Saved) {
        ZR_LOG_WARNING("bool ConfigBase::saveThroughWorkingCopy()")
            << QStringLiteral("save %1 failed,its working copy cannot be written").arg(m_filePath);
        IniCommit::keepPending(*m_settings);
        return false;
    }

    QByteArray written;
    bool saved = writeSorted(*m_settings, m_workDir->path(), &written);
    if (saved) {
        // Written aside and renamed into place: the file stays as it was until the new
        // one is whole and on the disk.
        const QByteArray bytes = m_form.encode(written);
        QSaveFile file(m_filePath);
        saved = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush()
            && (m_flushedByCaller || flushToDisk(file));
        saved = saved ? file.commit() : (file.cancelWriting(), false);
        saved = saved && (m_flushedByCaller || IniCommit::flushToDisk(m_filePath));
    }
    if (!saved) {
        ZR_LOG_WARNING("bool ConfigBase::saveThroughWorkingCopy()")
            << QStringLiteral("save %1 failed,the disk did not take it").arg(m_filePath);
        // The working copy holds the values; set again, they are written at the next save
        // even over a file another program changed meanwhile.
        IniCommit::keepPending(*m_settings);
        return false;
    }
    m_seenText = written.replace("\r\n", "\n");
    m_changed = false;
    return true;
}
