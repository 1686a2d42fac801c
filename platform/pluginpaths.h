#ifndef PLUGINPATHS_H
#define PLUGINPATHS_H

#include <QString>
#include <QStringList>

// Where the Qt programs load libraries and plug-ins from: their own folder only. The
// current directory (a package anyone may have written) and the environment
// (QT_PLUGIN_PATH, QT_QPA_PLATFORM_PLUGIN_PATH) are never searched. On Windows Qt's
// compiled-in plug-in folder is no folder of this machine (a path of the build machine,
// read on the current drive), so it is left out too; elsewhere it is the system's Qt,
// which only the administrator writes, and the SQLite driver comes from there.
class PluginPaths
{
public:
    // Before the application object exists: on Windows, libraries that are looked for by
    // name come from System32 only (SetDefaultDllDirectories); the two variables are
    // dropped; the library paths are set. argv0 is the fallback for the program's folder.
    static void restrictBeforeApplication(const char *argv0);
    // Once the application object exists: the same library paths again, since its
    // constructor adds the ones it computes.
    static void restrictAfterApplication();

    // The program's own folder, known before the application object exists.
    static QString programFolder(const char *argv0);
    // The library paths for a program in that folder.
    static QStringList libraryPaths(const QString &programFolder);
};

#endif // PLUGINPATHS_H
