#include "driver/corestartup.h"

#include "context/zrpubmethod.h"
#include "log/applog.h"
#include "log/logmessagehandler.h"
#include "platform/pluginpaths.h"
#include "platform/registrystore.h"
#include "context/consoletext.h"
#include "context/stringtable.h"
#include "updater/cvupdater.h"
#include "layout/installlayout.h"

#include <QDir>
#include <QFileInfo>

void CoreStartup::restrictPluginsBeforeApplication(const char *argv0)
{
    PluginPaths::restrictBeforeApplication(argv0);
}

void CoreStartup::restrictPluginsAfterApplication()
{
    PluginPaths::restrictAfterApplication();
}

CoreStartup::LogDirectory CoreStartup::makeLogDirectory(const QString &directory)
{
    if (QDir(directory).exists())
        return LogDirectory::Present;
    return QDir().mkdir(directory) ? LogDirectory::Made : LogDirectory::NotMade;
}

void CoreStartup::startLog(const QString &directory, const char *signature)
{
    // Without a directory the handler keeps the one it has (the default, or a test's).
    if (!directory.isEmpty())
        setLogDirectory(directory);
    qInstallMessageHandler(logMessageHandler);
    ZR_LOG_INFO(signature) << "Corvane Update Start-Up";
}

bool CoreStartup::loadStringTable(const QStringList &files, int lanType)
{
    if (lanType < 0 || lanType >= LAN_TYPE_MAX)
        return false;
    for (const QString &file : files) {
        if (QFileInfo::exists(file)) {
            ConsoleText::load(file, lanType);
            return true;
        }
    }
    return false;
}

bool CoreStartup::isPackageDirectory(const QString &directory)
{
    return packageDirectoryProblem(directory).isEmpty();
}

QString CoreStartup::packageDirectoryProblem(const QString &directory)
{
    // Opening a missing version.ini would create one.
    if (!QFileInfo(QStringLiteral("%1/%2").arg(directory, InstallLayout::packageRootName())).isDir())
        return ConsoleText::tr("%1 is not an update package: it has no application/ directory (run the program "
                               "from the package directory)")
            .arg(directory);
    if (!QFileInfo(QStringLiteral("%1/version.ini").arg(directory)).isFile())
        return ConsoleText::tr("%1 is not an update package: it has no version.ini").arg(directory);
    return QString();
}

CVUpdater *CoreStartup::openInstallation(const QString &packageDir)
{
    if (!packageDir.isEmpty())
        CVUpdater::setProgramDir(packageDir);
    return CVUpdater::getInstance();
}

CVUpdater *CoreStartup::openInstallationWithoutPackage()
{
    CVUpdater::setWithoutPackage(true);
    return CVUpdater::getInstance();
}

QString CoreStartup::installationProblem(const CVUpdater &updater)
{
    const QString installPath = updater.getInstallPath();
    if (updater.getOldVersion().isEmpty() || installPath.isEmpty()) {
        QStringList keys;
        for (const char *name : {"Ostrelle", "Ketterin"}) {
            const QString key = InstallLayout::uninstallKey(QLatin1String(name));
            const QString file = RegistryStore::filePath(key);
            keys.append(file.isEmpty() ? key : QStringLiteral("%1 (%2)").arg(key, file));
        }
        return ConsoleText::tr("no installation found: no uninstall key holds DisplayVersion and DisplayIcon; "
                               "looked at %1 and %2")
            .arg(keys.at(0), keys.at(1));
    }
    if (!QFileInfo(installPath).isDir())
        return ConsoleText::tr("the installation directory %1 (DisplayIcon of %2) does not exist")
            .arg(installPath, updater.getRegKey());
    return QString();
}
