#include "cli/consoleupdater.h"
#include "driver/corestartup.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    // The SQL driver from the program's folder (or the system's Qt), never from the
    // current directory or the environment.
    CoreStartup::restrictPluginsBeforeApplication(argc > 0 ? argv[0] : nullptr);
    QCoreApplication app(argc, argv);
    CoreStartup::restrictPluginsAfterApplication();
    QCoreApplication::setApplicationName(QStringLiteral("corvane-updater-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANE_VERSION));
    ConsoleUpdater updater;
    return updater.run(QCoreApplication::arguments());
}
