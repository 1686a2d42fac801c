#ifndef CORESTARTUP_H
#define CORESTARTUP_H

#include <QString>
#include <QStringList>

class CVUpdater;

// The start-up the window and the console program share, one step at a time, so each
// front end keeps its own order: plug-in paths (the SQL driver), the log, the string
// table, the package directory and the installation the update manager finds.
class CoreStartup
{
public:
    // The SQL driver and every other plug-in from the program's folder only: before the
    // application object exists, and again once it does (see PluginPaths).
    static void restrictPluginsBeforeApplication(const char *argv0);
    static void restrictPluginsAfterApplication();

    enum class LogDirectory { Present, Made, NotMade };
    // Makes the log directory when it is missing.
    static LogDirectory makeLogDirectory(const QString &directory);
    // Sends the messages to the log file in directory (empty: "./log", the default) and
    // writes the first line, "Corvane Update Start-Up", under the caller's signature.
    static void startLog(const QString &directory, const char *signature);

    // The first of files that exists, loaded in language lanType and indexed for
    // ConsoleText. False, with nothing loaded, when lanType is out of range or none exists.
    static bool loadStringTable(const QStringList &files, int lanType);

    // A directory holding "application/" and "version.ini"; nothing is made in it.
    static bool isPackageDirectory(const QString &directory);
    // Why directory is no package (a console text), empty when it is one.
    static QString packageDirectoryProblem(const QString &directory);

    // The update manager's one instance for the package in packageDir (empty: the
    // program's own folder), or for a restore without a package. The caller owns it.
    static CVUpdater *openInstallation(const QString &packageDir);
    static CVUpdater *openInstallationWithoutPackage();
    // Why the installation the update manager found cannot be updated (no uninstall key,
    // its directory gone; a console text), empty when it is there.
    static QString installationProblem(const CVUpdater &updater);
};

#endif // CORESTARTUP_H
