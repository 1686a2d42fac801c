#ifndef INSTALLLAYOUT_H
#define INSTALLLAYOUT_H

#include <QString>
#include <QStringList>

// The fixed names of an installation and of an update package, spelled here only:
// every path into either is built from these.
class InstallLayout
{
public:
    // "kqdata.db" in the installation directory.
    static QString databaseName();
    // "kqdata.db.kept-*": the databases a restore kept aside (DatabaseFiles).
    static QString keptDatabasePattern();
    // "backup", the backup directory in the installation directory.
    static QString backupDirName();
    // "UPDATER.ini" and "config/UPDATER.ini", the update flag file below the
    // installation directory.
    static QString flagFileName();
    static QString flagFileRelative();
    // "UPDATER.lock" in the installation directory: held while an updater works on it.
    static QString lockFileName();
    // "application", the package tree in the package directory.
    static QString packageRootName();
    // "./application/": the package tree relative to the current directory.
    static QString packageRoot();
    // "HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\", followed
    // by the product's display name.
    static QString uninstallKeyPrefix();
    static QString uninstallKey(const QString &productName);

    // The names the updater never backs up, restores or copies: the installation's own
    // folders and files ("image", "log", "Updater", "backup", the flag, "install.log",
    // the lock) at its top only, and the file names below in reservedFileNames() at
    // every depth. A "share/mime/image" is an ordinary folder.
    static const QStringList &reservedTopNames();
    static const QStringList &reservedFileNames();
    // The one rule, for a path relative to the installation ("/"-separated): true for a
    // reserved entry and for all below it, which the backup never holds either.
    // Qt::CaseInsensitive where Windows would take "Backup" for the backup.
    static bool isReserved(const QString &relativePath, Qt::CaseSensitivity cs = Qt::CaseSensitive);
    // The same rule for one entry by its name, at the top or below it, in a walk that
    // never enters a reserved folder.
    static bool isReservedName(const QString &name, bool atTop, Qt::CaseSensitivity cs = Qt::CaseSensitive);
    // "kqdata.db-journal", "kqdata.db-wal", "kqdata.db-shm": SQLite's files beside the
    // database.
    static QStringList databaseJournalNames();

    // Two paths of an installation or a package that Windows takes for one: equal once
    // letter case is folded. The package's manifest, its builder and its signer refuse them.
    static QString caseKey(const QString &relativePath);
    // The first of paths whose caseKey() another one before it has, or an empty string.
    static QString firstCaseClash(const QStringList &paths);

    // The same joined to an installation directory.
    static QString databasePath(const QString &installPath);
    static QString backupPath(const QString &installPath);
    static QString flagFilePath(const QString &installPath);
    static QString lockFilePath(const QString &installPath);
};

#endif // INSTALLLAYOUT_H
