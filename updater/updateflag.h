#ifndef UPDATEFLAG_H
#define UPDATEFLAG_H

#include <QString>
#include <QStringList>

// The update flag file "config/UPDATER.ini" of an installation, the one owner of its
// keys. UPDATE/FLAG is false from the end of a backup until the update is recorded or
// the backup is put back; absent or true means the installation is consistent.
// UPDATE/TARGET is the version the backup was taken for. UPDATE/KEY holds the values
// of the uninstall key that the backup's files belong to, so that a restore can put the
// key back with them ("DisplayVersion", its value, "DisplayName", its value; a value the
// key did not hold is left out). UPDATE/BACKUPSTART is the file system's clock when the
// backup began (ChangeStamp::now()): a file whose change time lies before it is still
// what the backup holds. UPDATE/DATABASE is the database's identity (DatabaseIdentity)
// after the updater's own last write to it: a restore that finds another keeps that
// database aside before it puts the backup's back.
class UpdateFlag
{
public:
    // Where the file's answer came from.
    enum class Source {
        File,            // the file itself, valid
        Backup,          // the file is damaged (or missing), its valid ".bak" answers
        Damaged,         // damaged, no valid backup: a repair re-creates it empty
        BackupUnreadable,// damaged, and its backup cannot be read: nothing is known
        Unreadable       // the file cannot be read: nothing is known
    };
    struct Reading
    {
        Source source = Source::File;
        bool exists = false;
        bool flag = true;
        QString target;
        // UPDATE/KEY: empty when the backup recorded no key values (an earlier updater).
        QStringList keyValues;
        // UPDATE/BACKUPSTART; -1 when the backup recorded none.
        qint64 backupStarted = -1;
        // UPDATE/DATABASE; empty when none was recorded.
        QString database;
        bool isKnown() const { return source != Source::Unreadable && source != Source::BackupUnreadable; }
    };

    // Whether an update is complete but for its flag; see recordedUpdate().
    enum class RecordedUpdate { No, Yes, Unknown };

    explicit UpdateFlag(const QString &installPath);

    QString filePath() const;

    // The file read without repairing anything, answered as a repairing opening would
    // answer: a damaged file by its valid backup.
    Reading read() const;
    // The opening the update makes before its backup: repairs or creates the file (and
    // its directories) as ConfigBase does. False when the file cannot be read; then
    // nothing is repaired and *flag is left as it was.
    bool openForUpdate(bool *flag) const;
    // Writes UPDATE/FLAG, and UPDATE/TARGET and UPDATE/KEY when given, in one save; logs
    // "write update flag <path> failed" under signature when the save did not reach the
    // file. The flag then keeps its earlier value.
    // A database identity given goes into UPDATE/DATABASE in the same save.
    bool write(bool flag, const char *signature, const QString &target = QString(),
               const QStringList &keyValues = QStringList(), const QString &database = QString()) const;
    // The save that ends a backup: the flag false, with the target, the key's values and
    // when the backup began (-1: unknown, and an earlier backup's time goes).
    bool writeBackupTaken(const char *signature, const QString &target, const QStringList &keyValues,
                          qint64 backupStarted, const QString &database) const;
    // Records the database's identity after the updater wrote it (UPDATE/DATABASE), in a
    // save of its own that changes no other key.
    bool writeDatabase(const char *signature, const QString &database) const;

    // Yes when UPDATE/FLAG is false while the uninstall key regKey already holds the
    // version the backup was taken for: the update stopped between recording its version
    // and setting its flag. Unknown when the file cannot be read. keyHoldsNewVersion
    // answers for a key that was readable at start-up and cannot be read now.
    RecordedUpdate recordedUpdate(const QString &regKey, bool keyHoldsNewVersion) const;

private:
    bool save(bool flag, const char *signature, const QString &target, const QStringList &keyValues,
              bool setBackupStart, qint64 backupStarted, const QString *database) const;

    QString m_installPath;
};

#endif // UPDATEFLAG_H
