#ifndef INSTALLLAYOUT_H
#define INSTALLLAYOUT_H

#include <QString>

// The fixed names of an installation and of an update package, spelled here only:
// every path into either is built from these.
class InstallLayout
{
public:
    // "kqdata.db" in the installation directory.
    static QString databaseName();
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

    // The same joined to an installation directory.
    static QString databasePath(const QString &installPath);
    static QString backupPath(const QString &installPath);
    static QString flagFilePath(const QString &installPath);
    static QString lockFilePath(const QString &installPath);
};

#endif // INSTALLLAYOUT_H
