#ifndef CVUPDATER_H
#define CVUPDATER_H

#include "updater/updateflag.h"

#include <QObject>
#include <QString>
#include <QStringList>

class DatabaseFiles;
class FormalUpdateO;

// The update manager: knows the installed and the package version, the installation
// directory and the uninstall key, and turns two versions into the list of version
// steps that its update object applies one after the other. It also makes an update
// recoverable: the installation is copied into its "backup" directory first, and the
// key UPDATE/FLAG of "config/UPDATER.ini" is false from the end of that copy until the
// update has been recorded in the registry or the backup has been put back.
//
// The backup also records the version it was taken for as UPDATE/TARGET. A flag that is
// still false while the uninstall key already names that version belongs to an update
// that stopped after its last step and its key, just before its flag: that update is
// complete, and its backup must not come back over it. A flag file without the key
// (written by an earlier updater) always means "restore".
class CVUpdater : public QObject
{
    Q_OBJECT

public:
    // Reads the uninstall key and "version.ini" and creates the update object.
    explicit CVUpdater(QObject *parent = nullptr);
    ~CVUpdater() override;

    // The one update manager of the program, created on first use. Its owner (the
    // main window) deletes it; a later call then creates a fresh one.
    static CVUpdater *getInstance();

    // The directory that holds the package's "version.ini": the program's own
    // directory unless set here (tests, front ends run from elsewhere). An empty
    // text goes back to the program's directory.
    static void setProgramDir(const QString &dir);
    static QString programDir();
    // A restore run where there is no package (the console program's --restore from
    // any directory): no "version.ini" is read, and so none is made; the new version
    // stays empty.
    static void setWithoutPackage(bool withoutPackage);

    QString getOldVersion() const;
    QString getNewVersion() const;
    QString getInstallPath() const;
    QString getIconPath() const;
    QString getRegKey() const;
    QStringList getUpdateList() const;
    FormalUpdateO *getUpdateObject() const;
    // "<installation>/backup" and "<installation>/config/UPDATER.ini".
    QString getBackupPath() const;
    QString getFlagFilePath() const;

    bool isCanUpdate();
    bool produceUpdateList(const QString &from, const QString &to, QStringList &list);

    // Builds the list of version steps and has the update object apply it.
    bool execUpdate();
    // Copies the installation, reserved names left out, over what "backup" already
    // holds, then sets the flag to false.
    bool backupVersion();
    // Copies "backup" over the installation with the database closed, then sets the
    // flag to true. Files the update added stay; a journal of the database being
    // replaced goes first (SQLite would roll it into the backup's database). Refused
    // unless the installation is known not to be an update complete but for its flag
    // (recordedUpdate()).
    // A database another program changed since the updater's own last write is not
    // replaced unkept: it is copied aside first (keptDatabase()).
    bool restoreVersion();
    // The database a restore of this run kept aside, "kqdata.db.kept-<yyyyMMdd-hhmmss>";
    // empty when none. forgetKeptDatabase() starts a new run.
    QString keptDatabase() const { return m_keptDatabase; }
    void forgetKeptDatabase() { m_keptDatabase.clear(); }
    // Takes the database's identity after the update's own last write to it, its
    // write-ahead log emptied first: what a restore of this run compares with, and what
    // the flag's next save records (UPDATE/DATABASE) for later ones. Unrecorded (a
    // kill before that save), a later restore keeps a copy that was not needed, never
    // loses one.
    void recordDatabase();
    // "<installation>/kqdata.db".
    QString databasePath() const;
    // Records the package version in the uninstall key, puts the desktop shortcut in
    // place and sets the flag to true, in that order: the flag never says "complete"
    // for an update the key does not record. False, with the flag left false, when the
    // key cannot be written, or when the flag cannot be (the key's values are then put
    // back). A shortcut that cannot be made is not a failure.
    bool updateRegKey();

    // Whether UPDATE/FLAG is false while the uninstall key already holds the version
    // the backup was taken for (UPDATE/TARGET): the update stopped between recording
    // its version and setting its flag (Yes). Unknown when the flag file or the key
    // cannot be read; then neither a restore nor a completion may go ahead. Reads only.
    using RecordedUpdate = UpdateFlag::RecordedUpdate;
    RecordedUpdate recordedUpdate() const;
    // Completes such an update: the shortcut, one flush, the flag set to true. False
    // when the flag could not be written.
    bool finishRecordedUpdate();
    // What the last updateRegKey() or finishRecordedUpdate() could not do without
    // failing the update (a shortcut that was not made), one line each, for the user.
    QStringList warnings() const { return m_warnings; }

    // Removes what saves killed half-way left (InterruptedSave) in the directories the
    // updater saves INI files in: the installation's and the backup's "config" and the
    // uninstall key's. Done first, before a copy could carry it along and before a
    // save of QSettings takes over a stale lock, which leaves its temporary file
    // unrecognisable. A "config" that is a link out of the installation is left alone.
    void cleanInterruptedSaves() const;

    void readInstallInfo();
    void readNewVersion();
    // The installed version read again from the uninstall key (another updater may have
    // changed it since start-up); kept as it was when the key cannot be read.
    void refreshOldVersion();

signals:
    void sigProcessAddValue(int value);

private:
    // Whether restoreVersion() may put the backup at backupPath back (it logs why not).
    bool mayRestore(const QString &backupPath);
    // A database another program changed, kept aside by the restore: named and recorded.
    void noteKeptDatabase(const DatabaseFiles &databaseFiles);
    // Writes UPDATE/FLAG (and UPDATE/TARGET and UPDATE/KEY when given) and tells whether
    // it reached the file.
    bool writeUpdateFlag(bool flag, const char *signature, const QString &target = QString(),
                         const QStringList &keyValues = QStringList(), const QString &database = QString()) const;
    // The uninstall key's values an update writes, as UpdateFlag records them; empty
    // when the key cannot be read.
    QStringList readKeyValues() const;
    // Puts recorded values back into the uninstall key, with the care updateRegKey()
    // takes; true when they reached the key (or nothing was recorded).
    bool writeKeyValues(const QStringList &keyValues, const char *signature);
    // The desktop shortcut to the program file; an existing one stays.
    void createShortcut(const char *signature);
    // The change time before which an installed file still holds what the backup
    // taken at backupStarted copied from it (see ChangeStamp); -1 when none can be trusted.
    qint64 unchangedBefore(qint64 backupStarted, const char *signature) const;
    // Puts the installation and the uninstall key on disk before the flag vouches for them.
    bool flushUpdate() const;

    QStringList m_warnings;
    QString m_oldVersion;
    QString m_newVersion;
    QString m_installPath;
    QString m_iconPath;
    QString m_regKey;
    QStringList m_updateList;
    FormalUpdateO *m_updateObject = nullptr;
    // This run wrote the package version into the uninstall key and did not put the old
    // one back: what recordedUpdate() answers should the key become unreadable.
    bool m_keyHoldsNewVersion = false;
    QString m_keptDatabase;
    // The database's identity after this updater's own last write (recordDatabase()).
    QString m_databaseIdentity;
};

#endif // CVUPDATER_H
