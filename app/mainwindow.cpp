#include "app/mainwindow.h"

#include "context/zrpubmethod.h"
#include "dialogs/zrmessagebox.h"
#include "driver/corestartup.h"
#include "log/applog.h"
#include "log/logmessagehandler.h"
#include "context/consoletext.h"
#include "context/stringtable.h"
#include "ui_mainwindow.h"
#include "ui_zrmessagebox.h"
#include "updater/applicationcheck.h"
#include "updater/cvupdater.h"
#include "updater/updatelock.h"

#include <QApplication>
#include <QDebug>
#include <QDir>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    initData();
    initUi();
    initConnect();
}

MainWindow::~MainWindow()
{
    ui.reset();
    if (m_updater) {
        delete m_updater;
        m_updater = nullptr;
    }
}

QString MainWindow::disabledStyleSheet()
{
    return QStringLiteral("QLabel:!enabled{color:%1;} QLineEdit:!enabled{color:%1;}QDateTimeEdit:!enabled{color:%1;}"
                          "QDateEdit:!enabled{color:%1;}QComboBox:!enabled{color:%1;}QTextEdit:!enabled{color:%1;}"
                          "QTableWidget:!enabled{color:%1;}QHeaderView:!enabled{color:%1;}")
        .arg(QStringLiteral("rgb(0,0,0)"));
}

void MainWindow::initData()
{
    const QString logDir = QStringLiteral("%1/%2").arg(QDir::currentPath(), QStringLiteral("log"));
    const CoreStartup::LogDirectory made = CoreStartup::makeLogDirectory(logDir);
    // Issued before the handler exists, so only Qt's default output sees it.
    if (made != CoreStartup::LogDirectory::Present)
        qDebug() << "mkdir isOK" << (made == CoreStartup::LogDirectory::Made);
    CoreStartup::startLog(QString(), "void MainWindow::initData()");

    ZRPubMethod *context = ZRPubMethod::getInstance();
    // Why a package is refused comes from the package check, whose texts are looked up
    // by their English wording: the load that indexes them leaves the table in the
    // window's language, as the plain load does.
    const QString table = QStringLiteral("string.bin");
    if (!CoreStartup::loadStringTable({table}, context->getLanType()))
        context->loadStringTable(table);

    setStyleSheet(disabledStyleSheet());

    QFont font;
    font.setFamily(context->getLanType() == 0 ? QStringLiteral("SimSun") : QStringLiteral("Arial"));
    setFont(font);

    m_updater = CoreStartup::openInstallation(QString());
}

void MainWindow::initUi()
{
    // No close button: the window is closed with pushButton_ok.
    setWindowFlags(Qt::CustomizeWindowHint | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint);

    setWindowTitle(getString(896));
    ui->pushButton_ok->setText(getString(132));
    ui->pushButton_Update->setText(getString(896));

    ui->label_oldVersion->setText(getString(1510));
    ui->label_newVersion->setText(getString(1511));
    ui->label_installPath->setText(getString(1512));

    ui->label_value_oldVer->setText(m_updater->getOldVersion());
    ui->label_value_newVer->setText(m_updater->getNewVersion());
    ui->label_value_path->setText(QDir::toNativeSeparators(m_updater->getInstallPath()));

    ui->progressBar_Upgrade->setMinimum(0);
    ui->progressBar_Upgrade->setMaximum(100);
    ui->progressBar_Upgrade->setValue(0);

    ui->pushButton_Restore->hide();
}

void MainWindow::initConnect()
{
    connect(ui->pushButton_ok, &QPushButton::clicked, this, &QWidget::close);
    connect(ui->pushButton_Update, &QPushButton::clicked, this, &MainWindow::slotStartUpdate);
    connect(ui->pushButton_Restore, &QPushButton::clicked, this, &MainWindow::slotRestore);
}

void MainWindow::setButtonsEnabled(bool enabled)
{
    ui->pushButton_ok->setEnabled(enabled);
    ui->pushButton_Update->setEnabled(enabled);
}

void MainWindow::slotStartUpdate()
{
    while (runUpdate()) {
    }
}

bool MainWindow::runUpdate()
{
    // Each attempt starts from an empty bar, also a second one after a failure.
    ui->progressBar_Upgrade->reset();
    setButtonsEnabled(false);

    UpdateSequence sequence(m_updater);
    sequence.setObserver(this);
    const UpdateSequence::Outcome outcome = sequence.run();
    const QString text = getString(UpdateSequence::resultTextId(outcome));

    if (outcome == UpdateSequence::Outcome::Succeeded) {
        // Whichever way the box is left, the update is done and the program ends.
        // What the update could not do without failing (a shortcut), below the result.
        const QStringList warnings = m_updater->warnings();
        showFinishBox(getString(896),
                      withKeptDatabase(warnings.isEmpty() ? text
                                                             : QStringLiteral("%1\n\n%2").arg(text, warnings.join(QLatin1Char('\n')))),
                      getString(10));
        close();
        return false;
    }
    if (outcome == UpdateSequence::Outcome::DatabaseInUse && !sequence.holders().isEmpty()) {
        // Who to close, and a way to try again once they are closed; nothing was changed.
        QStringList holders;
        for (const FileHolders::Holder &holder : sequence.holders())
            holders << ApplicationCheck::describe(holder);
        const int answer = showRetryBox(getString(896), QStringLiteral("%1\n\n%2\n%3").arg(text, getString(1516),
                                                                                           holders.join(QLatin1Char('\n'))));
        setButtonsEnabled(true);
        return answer == QDialog::Accepted;
    }
    if (outcome == UpdateSequence::Outcome::PackageNotVerified || outcome == UpdateSequence::Outcome::DatabaseDamaged) {
        // Why the update was turned away, as the log has it, under the failure text:
        // nothing was changed, and the user needs a whole, signed copy or a sound database.
        const QString log = QDir::cleanPath(QDir::current().filePath(logFilePath()));
        showResultBox(getString(896),
                      QStringLiteral("%1\n\n%2\n\n%3").arg(text, sequence.refusal().join(QLatin1Char('\n')), log),
                      getString(10));
    } else {
        showResultBox(getString(896), withKeptDatabase(text), getString(10));
    }
    setButtonsEnabled(true);
    return false;
}

void MainWindow::slotRestore()
{
    ui->pushButton_Restore->show();
    ui->pushButton_Update->setEnabled(false);
    // Not while another updater works on the installation.
    UpdateLock lock(m_updater->getInstallPath());
    if (lock.tryLock() == UpdateLock::Result::Busy) {
        ZR_LOG_WARNING("void MainWindow::slotRestore()")
            << UpdateSequence::anotherUpdateText(m_updater->getInstallPath(), lock.holder());
        showResultBox(getString(896), getString(1074), getString(10));
        return;
    }
    m_updater->forgetKeptDatabase();
    const bool restored = m_updater->restoreVersion();
    if (restored) {
        showResultBox(getString(896), withKeptDatabase(getString(1073)), getString(10));
        ui->pushButton_Update->setEnabled(true);
        ui->pushButton_Restore->hide();
        return;
    }
    // Updating over an installation in an unknown state would make it worse: only
    // another restore, or closing, is offered.
    showResultBox(getString(896), withKeptDatabase(getString(1074)), getString(10));
}

QString MainWindow::withKeptDatabase(const QString &text) const
{
    const QString kept = m_updater->keptDatabase();
    if (kept.isEmpty())
        return text;
    // The user's work since the update is in that file, and nowhere else.
    return QStringLiteral("%1\n\n%2").arg(text, getString(1340).arg(QDir::toNativeSeparators(m_updater->databasePath()),
                                                                      QDir::toNativeSeparators(kept)));
}

void MainWindow::slotProcessAddValue(int value)
{
    setProgress(UpdateSequence::addProgress(progress(), value));
}

const char *MainWindow::logSignature() const
{
    return "void MainWindow::slotStartUpdate()";
}

void MainWindow::stageStarted(UpdateSequence::Stage stage)
{
    // The bar and the closing boxes say all the window shows.
    Q_UNUSED(stage)
}

int MainWindow::progress() const
{
    // After the bar's reset its value is -1, so the first increment of 10 shows 9.
    return ui->progressBar_Upgrade->value();
}

void MainWindow::setProgress(int value)
{
    ui->progressBar_Upgrade->setValue(value);
}

int MainWindow::showResultBox(const QString &title, const QString &text, const QString &buttonText)
{
    return showBox(title, text, buttonText, false);
}

int MainWindow::showFinishBox(const QString &title, const QString &text, const QString &buttonText)
{
    return showBox(title, text, buttonText, true);
}

int MainWindow::showRetryBox(const QString &title, const QString &text)
{
    ZRMessageBox box(this, false);
    // Without a string table the buttons keep English words: a box without them could
    // not be left.
    const QString retry = getString(1517);
    const QString close = getString(132);
    box.setContent(title, text, retry.isEmpty() ? QStringLiteral("Retry") : retry,
                   close.isEmpty() ? QStringLiteral("Close") : close);
    box.form()->label_icon->show();
    // Closed by its buttons only, as the other failure boxes.
    box.setWindowFlags(box.windowFlags() & ~(Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint));
    return box.exec();
}

int MainWindow::showBox(const QString &title, const QString &text, const QString &buttonText, bool finish)
{
    ZRMessageBox box(this, false);
    Ui::ZRMessageBox *form = box.form();
    // Shown whatever its text: without a string table the text is empty, and a box
    // without a button could not be closed.
    form->btn_cancel->hide();
    form->btn_ok->show();
    form->btn_ok->setText(buttonText.isEmpty() ? getString(10) : buttonText);
    box.setWindowTitle(title);
    form->label_text->setText(text);
    if (finish) {
        form->label_icon->hide();
    } else {
        form->label_icon->show();
        box.setWindowFlags(box.windowFlags() & ~(Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint));
    }
    // The one button takes the place of the hidden Cancel button.
    form->btn_ok->move(290, 190);
    return box.exec();
}
