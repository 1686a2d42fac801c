#include "cli/consoleupdater.h"
#include "platform/pluginpaths.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    // The SQL driver from the program's folder (or the system's Qt), never from the
    // current directory or the environment.
    PluginPaths::restrictBeforeApplication(argc > 0 ? argv[0] : nullptr);
    QCoreApplication app(argc, argv);
    PluginPaths::restrictAfterApplication();
    QCoreApplication::setApplicationName(QStringLiteral("corvane-updater-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANE_VERSION));
    ConsoleUpdater updater;
    return updater.run(QCoreApplication::arguments());
}
