#include "platform/pluginpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {

QString &chosenFolder()
{
    static QString folder;
    return folder;
}

} // namespace

QString PluginPaths::programFolder(const char *argv0)
{
#ifdef Q_OS_WIN
    Q_UNUSED(argv0);
    wchar_t path[32768];
    const DWORD length = GetModuleFileNameW(nullptr, path, DWORD(sizeof path / sizeof path[0]));
    if (length > 0 && length < sizeof path / sizeof path[0])
        return QFileInfo(QString::fromWCharArray(path, int(length))).absolutePath();
    return QString();
#else
    const QString self = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    if (!self.isEmpty())
        return QFileInfo(self).absolutePath();
    return argv0 ? QFileInfo(QFile::decodeName(argv0)).absolutePath() : QString();
#endif
}

QStringList PluginPaths::libraryPaths(const QString &programFolder)
{
    QStringList paths;
    if (!programFolder.isEmpty())
        paths.append(QDir::cleanPath(programFolder));
#ifndef Q_OS_WIN
    const QString system = QLibraryInfo::location(QLibraryInfo::PluginsPath);
    if (!system.isEmpty() && QFileInfo(system).isDir() && !paths.contains(QDir::cleanPath(system)))
        paths.append(QDir::cleanPath(system));
#endif
    return paths;
}

void PluginPaths::restrictBeforeApplication(const char *argv0)
{
#ifdef Q_OS_WIN
    // Before Qt loads anything: the libraries a plug-in imports by name (dwmapi, UxTheme,
    // ...) from System32, not from the program's folder or the current directory. Qt
    // loads plug-ins by full path, and the Qt libraries they import are loaded already.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
#endif
    qunsetenv("QT_PLUGIN_PATH");
    qunsetenv("QT_QPA_PLATFORM_PLUGIN_PATH");
    chosenFolder() = programFolder(argv0);
    QCoreApplication::setLibraryPaths(libraryPaths(chosenFolder()));
}

void PluginPaths::restrictAfterApplication()
{
    QCoreApplication::setLibraryPaths(libraryPaths(chosenFolder().isEmpty() ? QCoreApplication::applicationDirPath()
                                                                               : chosenFolder()));
}
