#ifndef CONFIGBASE_H
#define CONFIGBASE_H

#include <QString>
#include <QStringList>
#include <QVariant>

#include "config/inifileform.h"

#include <memory>

class QMutex;
class QSettings;
class QTemporaryDir;

// An INI file guarded by two marker groups, "ZRFILE_BEGIN/CODE" and "ZRFILE_END/CODE",
// both "tarnwoven". A file lacking either marker is damaged: opening repairs it from
// "<file>.bak" or re-creates it with the begin marker only (a damaged file holding
// other keys is first kept as "<file>.damaged"). Every saving change first copies the
// file as it stood to "<file>.bak".
//
// The file may be UTF-8 (with or without a byte order mark) or UTF-16 (LE or BE, with a
// byte order mark), with either line ending; it is written back in the form it had (see
// IniFileForm). A file that is no text in any of these is taken for unreadable, never
// for a damaged one: nothing repairs or replaces it.
//
// Objects are short-lived locals: construct on a path, read and write keys, let it go
// out of scope. The destructor saves.
//
// Locking: the constructor's repair and value(), setValue() and save() hold the mutex
// that getMutex() returns, if any. The constructor holds it while it calls
// checkAndRestore(), which locks it again, so a subclass that supplies a mutex must
// supply a recursive one (QMutex(QMutex::Recursive)). Note that C++ calls the base
// class's own getMutex() and checkAndRestore() while the base constructor and
// destructor run; a subclass whose lock must also guard the final save calls save()
// from its own destructor.
class ConfigBase
{
public:
    // Repair: the normal opening (repair at opening, backup and save at destruction).
    // ReadOnly: the file as it stands, for inspecting a package or an installation
    // without touching it: no repair, no backup, nothing created or written; setValue()
    // is refused. isValid() then tells whether a normal opening would repair the file.
    enum class Access { Repair, ReadOnly };

    explicit ConfigBase(const QString &filePath);
    ConfigBase(const QString &filePath, Access access);
    virtual ~ConfigBase();

    // The lock hook; the base class needs none (each object is a local of one task).
    virtual QMutex *getMutex();
    // "<file>.bak" beside the file.
    virtual QString getBackupFile();
    // Verifies the markers and repairs a damaged file; called once while opening.
    virtual void checkAndRestore();

    // True when both markers are present and exactly "tarnwoven".
    bool isValid();
    // "ZRFILE_BEGIN/CODE" and "ZRFILE_END/CODE": the markers, no content of a file.
    static bool isMarkerKey(const QString &key);
    // A configuration file that an update merges key by key instead of replacing it: its
    // name ends in ".ini", in any letter case.
    static bool isIniFile(const QString &fileName);
    // False when the file exists but could not be read (no permission, an I/O error):
    // such a file is not taken for a damaged one, so nothing is repaired, values are
    // the defaults and setValue() is refused. What it holds is unknown, and a repair or
    // a save would replace it, e.g. an update flag by the older value of its backup.
    bool isReadable() const;
    // False when the file was read but is no text in any encoding it may have; such a
    // file is not readable either.
    bool isText() const;
    // For a file a normal opening would repair: its keys (markers apart) whose values the
    // repair would not keep, as its backup does not hold them, leaving out the keys a
    // merge sets afterwards (setAfter). Empty for a valid file and for one that cannot
    // be read (which is never repaired).
    QStringList keysLostByRepair(const QStringList &setAfter = QStringList());
    // Every key as "group/key", the marker keys included.
    QStringList allKeys() const;
    QVariant value(const QString &key, const QVariant &defaultValue = QVariant());
    // Kept in memory until save() (normally the destructor) writes it.
    void setValue(const QString &key, const QVariant &value);
    // Backs up the file and writes pending changes; true when nothing was pending. False
    // also when the file read back does not hold every key (see IniWriteCheck): the
    // changes then stay pending, and the backup of the last good state stays as it is.
    bool save();
    // Whether save() puts what it writes on the disk itself (the default) or leaves that
    // to the caller's one flush of the whole tree before anything vouches for the file:
    // an update's merges, flushed with everything else before the update flag says the
    // update is complete. (Qt's own writer still syncs the file it replaces.)
    void setFlushedByCaller(bool byCaller) { m_flushedByCaller = byCaller; }

protected:
    // Opens m_settings on m_filePath and repairs it; called by the constructor only.
    void initSettings();

    QString m_filePath;
    QString m_beginKey;
    QString m_endKey;
    QString m_markCode;
    // The form the file has on disk.
    IniFileForm m_form;
    // For a file QSettings cannot read as it is: its text, in QSettings' form, lives in
    // a working copy here, and each save is written back to the file in m_form.
    // (Declared before m_settings, which must go first.)
    std::unique_ptr<QTemporaryDir> m_workDir;
    // The file's text as last read or written through the working copy.
    QByteArray m_seenText;
    std::unique_ptr<QSettings> m_settings;
    // The file was (re)created: the end marker goes in with the first change.
    bool m_needEndMark = false;
    // A value was set since the last save.
    bool m_changed = false;
    bool m_readOnly = false;
    bool m_unreadable = false;
    bool m_notText = false;
    // The last save left the file on disk empty or cut short (a full disk).
    bool m_incompleteOnDisk = false;
    bool m_flushedByCaller = false;

private:
    ConfigBase(const ConfigBase &) = delete;
    ConfigBase &operator=(const ConfigBase &) = delete;

    // Sets a damaged file aside as "<path>.damaged" unless it holds only markers, in
    // which case it is removed. False when it could not be set aside.
    bool discardDamaged(const QString &path);
    // Replaces the backup with the file's current bytes.
    bool writeBackup();
    // Opens m_settings on the file as it stands (directly, or through a working copy)
    // and sets m_form, m_notText and m_unreadable.
    void openSettings();
    // save() for a file kept in a working copy.
    bool saveThroughWorkingCopy();
    // Takes into the working copy what another program has written to the file since
    // it was read. False when the file can no longer be read as text.
    bool refreshWorkingCopy();
};

#endif // CONFIGBASE_H
