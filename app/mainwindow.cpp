#include "app/mainwindow.h"

#include "log/applog.h"
#include "log/logmessagehandler.h"

#include <QDebug>
#include <QDir>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    setFixedSize(600, 300);
    initData();
}

MainWindow::~MainWindow() = default;

void MainWindow::initData()
{
    const QString logDir = QStringLiteral("%1/%2").arg(QDir::currentPath(), QStringLiteral("log"));
    QDir dir(logDir);
    if (!dir.exists()) {
        const bool isOk = dir.mkdir(logDir);
        // Issued before the handler exists, so only Qt's default output sees it.
        qDebug() << "mkdir isOK" << isOk;
    }
    qInstallMessageHandler(logMessageHandler);
    ZR_LOG_INFO("void MainWindow::initData()") << "Corvane Update Start-Up";
}
