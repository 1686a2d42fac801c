#include "app/appentry.h"

#include "app/mainwindow.h"
#include "context/zrpubmethod.h"
#include "driver/corestartup.h"
#include "platform/pluginpaths.h"

#include <QApplication>
#include <QTextCodec>

int AppEntry::languageFromArguments(int argc, char **argv)
{
    if (argc < 2)
        return 1;
    QString argument;
    // On Windows argv is the ANSI vector WinMain builds, in the system's code page.
    if (QTextCodec *codec = QTextCodec::codecForName("System"))
        argument = codec->toUnicode(argv[1]);
    else
        argument = QStringLiteral("%1").arg(QString::fromLatin1(argv[1]));
    bool ok = false;
    const int lanType = argument.toInt(&ok, 10);
    return ok ? lanType : 0;
}

int AppEntry::run(int argc, char **argv)
{
    // The language must be in force before the window loads the string table.
    if (argc >= 2)
        ZRPubMethod::getInstance()->setLanType(languageFromArguments(argc, argv));

    // Plug-ins from the program's folder only, fixed before the application object
    // loads the platform plug-in.
    CoreStartup::restrictPluginsBeforeApplication(argc > 0 ? argv[0] : nullptr);
    QApplication app(argc, argv);
    CoreStartup::restrictPluginsAfterApplication();
    int result = 0;
    {
        MainWindow window;
        window.show();
        result = app.exec();
    }
    return result;
}
