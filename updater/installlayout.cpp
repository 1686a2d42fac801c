#include "updater/installlayout.h"

QString InstallLayout::databaseName()
{
    return QStringLiteral("kqdata.db");
}

QString InstallLayout::backupDirName()
{
    return QStringLiteral("backup");
}

QString InstallLayout::flagFileName()
{
    return QStringLiteral("UPDATER.ini");
}

QString InstallLayout::flagFileRelative()
{
    return QStringLiteral("config/%1").arg(flagFileName());
}

QString InstallLayout::lockFileName()
{
    return QStringLiteral("UPDATER.lock");
}

QString InstallLayout::packageRootName()
{
    return QStringLiteral("application");
}

QString InstallLayout::packageRoot()
{
    return QStringLiteral("./%1/").arg(packageRootName());
}

QString InstallLayout::uninstallKeyPrefix()
{
    return QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\");
}

QString InstallLayout::uninstallKey(const QString &productName)
{
    return QStringLiteral("%1%2").arg(uninstallKeyPrefix(), productName);
}

QString InstallLayout::databasePath(const QString &installPath)
{
    return QStringLiteral("%1/%2").arg(installPath, databaseName());
}

QString InstallLayout::backupPath(const QString &installPath)
{
    return QStringLiteral("%1/%2").arg(installPath, backupDirName());
}

QString InstallLayout::flagFilePath(const QString &installPath)
{
    return QStringLiteral("%1/%2").arg(installPath, flagFileRelative());
}

QString InstallLayout::lockFilePath(const QString &installPath)
{
    return QStringLiteral("%1/%2").arg(installPath, lockFileName());
}
