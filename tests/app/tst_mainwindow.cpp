#include "app/mainwindow.h"
#include "context/zrpubmethod.h"
#include "common/scopedcurrentdir.h"
#include "common/testhome.h"
#include "dialogs/zrmessagebox.h"
#include "platform/registrystore.h"
#include "strings/stringtablecompiler.h"
#include "updater/cvupdater.h"

#include <QDate>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const char kUninstallKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ostrelle";

const char kProgressStyleSheet[] = "QProgressBar{\n"
                                   "        border: none;\n"
                                   "        color: white;\n"
                                   "        text-align: center;\n"
                                   "        background: rgb(68, 69, 73);\n"
                                   "}\n"
                                   "QProgressBar::chunk {\n"
                                   "        border: none;\n"
                                   "        background: rgb(15, 93, 171);\n"
                                   "}";

const char kDisabledStyleSheet[] =
    "QLabel:!enabled{color:rgb(0,0,0);} QLineEdit:!enabled{color:rgb(0,0,0);}QDateTimeEdit:!enabled{color:rgb(0,0,0);}"
    "QDateEdit:!enabled{color:rgb(0,0,0);}QComboBox:!enabled{color:rgb(0,0,0);}QTextEdit:!enabled{color:rgb(0,0,0);}"
    "QTableWidget:!enabled{color:rgb(0,0,0);}QHeaderView:!enabled{color:rgb(0,0,0);}";

// Texts that tell apart identifier and language at a glance.
const char kTestTable[] = "id\tzh\ten\tes\n"
                          "10\t确定\tOK\tAceptar\n"
                          "132\t关闭\tClose\tCerrar\n"
                          "896\t更新\tUpdate\tActualizar\n"
                          "1510\t当前版本：\tInstalled version:\tVersión instalada:\n"
                          "1511\t新版本：\tNew version:\tVersión nueva:\n"
                          "1512\t安装位置：\tInstall location:\tUbicación:\n";

template <typename T>
T *child(QWidget *parent, const char *name)
{
    return parent->findChild<T *>(QLatin1String(name));
}

QProgressBar *progressBar(QWidget *window)
{
    return child<QProgressBar>(window, "progressBar_Upgrade");
}

// What a modal box showed, read while it was open.
struct BoxSeen
{
    bool shown = false;
    QString title;
    QString text;
    QString okText;
    QPoint okPos;
    bool okVisible = false;
    bool cancelVisible = true;
    bool iconVisible = false;
    Qt::WindowFlags flags;
    bool openAfterEscape = false;
};

// Reads the box once its modal loop runs, presses Escape on it, then clicks OK.
void readAndCloseBox(BoxSeen *seen)
{
    QTimer::singleShot(0, [seen] {
        auto *box = qobject_cast<ZRMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        seen->shown = true;
        seen->title = box->windowTitle();
        seen->text = child<QLabel>(box, "label_text")->text();
        QPushButton *ok = child<QPushButton>(box, "btn_ok");
        seen->okText = ok->text();
        seen->okPos = ok->pos();
        seen->okVisible = ok->isVisible();
        seen->cancelVisible = child<QPushButton>(box, "btn_cancel")->isVisible();
        seen->iconVisible = child<QLabel>(box, "label_icon")->isVisible();
        seen->flags = box->windowFlags();
        QTest::keyClick(box, Qt::Key_Escape);
        seen->openAfterEscape = box->isVisible();
        ok->click();
    });
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void layout_data();
    void layout();
    void windowIsFixedSize();
    void styleSheets();
    void disabledLabelStaysBlack();
    void windowFlags();
    void texts_data();
    void texts();
    void noStringTable_data();
    void noStringTable();
    void startUpWork();
    void progress();
    void buttons();
    void closeButtonClosesWindow();
    void resultBoxes_data();
    void resultBoxes();
    void resultBoxWithoutTable();
    void destructorDeletesUpdater();

private:
    // Constructs the window as the program does, in a package directory; Qt Test's
    // message handler comes back afterwards.
    std::unique_ptr<MainWindow> makeWindow(const QString &packageDir, int lanType);

    std::unique_ptr<TestHome> m_home;
    QTemporaryDir m_package;
    QTemporaryDir m_bare; // a package without "string.bin"
    QString m_installDir;
};

void TestMainWindow::initTestCase()
{
    m_home = std::make_unique<TestHome>();
    QVERIFY(m_package.isValid());
    QVERIFY(m_bare.isValid());

    StringTableCompiler compiler;
    QVERIFY2(compiler.parse(kTestTable), qPrintable(compiler.errorString()));
    QVERIFY(compiler.writeBinary(m_package.filePath(QStringLiteral("string.bin"))));

    const QByteArray versionIni = "[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n[RELEASE]\nVERSION=3.5\n\n[ZRFILE_END]\nCODE=tarnwoven\n";
    for (const QTemporaryDir *dir : {&m_package, &m_bare}) {
        QFile file(dir->filePath(QStringLiteral("version.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(versionIni), qint64(versionIni.size()));
    }
    CVUpdater::setProgramDir(m_package.path());

    m_installDir = m_home->path() + QStringLiteral("/Programs/Ostrelle");
    const std::unique_ptr<QSettings> key = RegistryStore::open(QString::fromLatin1(kUninstallKey));
    key->setValue(QStringLiteral("DisplayVersion"), QStringLiteral("3.4.0.12"));
    key->setValue(QStringLiteral("DisplayIcon"), m_installDir + QStringLiteral("/ostrelle.exe"));
    key->setValue(QStringLiteral("DisplayName"), QStringLiteral("Ostrelle"));
    QVERIFY(RegistryStore::commit(*key));
}

void TestMainWindow::cleanupTestCase()
{
    CVUpdater::setProgramDir(QString());
    ZRPubMethod::getInstance()->setLanType(1);
}

std::unique_ptr<MainWindow> TestMainWindow::makeWindow(const QString &packageDir, int lanType)
{
    ZRPubMethod::getInstance()->setLanType(lanType);
    const QtMessageHandler testHandler = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(testHandler);
    ScopedCurrentDir current(packageDir);
    auto window = std::make_unique<MainWindow>();
    qInstallMessageHandler(testHandler);
    return window;
}

void TestMainWindow::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("pushButton_ok") << "pushButton_ok" << "QPushButton" << QRect(390, 240, 100, 33);
    QTest::newRow("label_oldVersion") << "label_oldVersion" << "QLabel" << QRect(30, 40, 120, 20);
    QTest::newRow("label_newVersion") << "label_newVersion" << "QLabel" << QRect(30, 70, 120, 20);
    QTest::newRow("label_installPath") << "label_installPath" << "QLabel" << QRect(30, 100, 120, 20);
    QTest::newRow("label_value_oldVer") << "label_value_oldVer" << "QLabel" << QRect(160, 40, 400, 20);
    QTest::newRow("label_value_newVer") << "label_value_newVer" << "QLabel" << QRect(160, 70, 400, 20);
    QTest::newRow("label_value_path") << "label_value_path" << "QLabel" << QRect(160, 100, 400, 20);
    QTest::newRow("progressBar_Upgrade") << "progressBar_Upgrade" << "QProgressBar" << QRect(30, 170, 541, 41);
    QTest::newRow("pushButton_Update") << "pushButton_Update" << "QPushButton" << QRect(110, 240, 100, 33);
    QTest::newRow("pushButton_Restore") << "pushButton_Restore" << "QPushButton" << QRect(250, 240, 100, 33);
}

void TestMainWindow::layout()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);

    const auto window = makeWindow(m_package.path(), 1);
    QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
    QWidget *central = window->centralWidget();
    QVERIFY(central);
    QCOMPARE(central->objectName(), QStringLiteral("centralWidget"));

    QWidget *widget = central->findChild<QWidget *>(name, Qt::FindDirectChildrenOnly);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->geometry(), geometry);
}

void TestMainWindow::windowIsFixedSize()
{
    const auto window = makeWindow(m_package.path(), 1);
    QCOMPARE(window->size(), QSize(600, 300));
    QCOMPARE(window->minimumSize(), QSize(600, 300));
    QCOMPARE(window->maximumSize(), QSize(600, 300));
    QCOMPARE(window->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(window->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);

    // (Maximising is left to the window system, which honours the size limits; the
    // offscreen platform used here does not, so it is not tried.)
    window->resize(800, 600);
    QCOMPARE(window->size(), QSize(600, 300));
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QCOMPARE(window->size(), QSize(600, 300));

    // The icon comes from the compiled-in bundle, a real multi-size Windows icon.
    QVERIFY(QFile::exists(QStringLiteral(":/resource/images/Resource/corvane.ico")));
    const QList<QSize> sizes = window->windowIcon().availableSizes();
    QVERIFY2(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(32, 32)) && sizes.contains(QSize(256, 256)),
             qPrintable(QStringLiteral("icon sizes: %1").arg(sizes.size())));
}

void TestMainWindow::styleSheets()
{
    const auto window = makeWindow(m_package.path(), 1);
    QCOMPARE(progressBar(window.get())->styleSheet(), QString::fromLatin1(kProgressStyleSheet));
    QCOMPARE(window->styleSheet(), QString::fromLatin1(kDisabledStyleSheet));
    QCOMPARE(MainWindow::disabledStyleSheet(), QString::fromLatin1(kDisabledStyleSheet));
}

// Disabled labels keep black text; without the style sheet they would turn grey.
void TestMainWindow::disabledLabelStaysBlack()
{
    const auto window = makeWindow(m_package.path(), 1);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QLabel *caption = child<QLabel>(window.get(), "label_oldVersion");
    caption->setEnabled(false);
    const QImage image = caption->grab().toImage();
    int darkest = 255;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            darkest = qMin(darkest, qGray(image.pixel(x, y)));
    }
    QVERIFY2(darkest < 40, qPrintable(QStringLiteral("darkest grey %1").arg(darkest)));
}

void TestMainWindow::windowFlags()
{
    const auto window = makeWindow(m_package.path(), 1);
    // A title bar with the minimise and maximise buttons and no close button. (Qt adds
    // the title and system-menu hints those buttons need.)
    const Qt::WindowFlags flags = window->windowFlags();
    QVERIFY(window->isWindow());
    QCOMPARE(flags & ~(Qt::WindowTitleHint | Qt::WindowSystemMenuHint),
             Qt::Window | Qt::CustomizeWindowHint | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint);
}

void TestMainWindow::texts_data()
{
    QTest::addColumn<int>("lanType");
    QTest::addColumn<QString>("font");
    QTest::addColumn<QStringList>("texts"); // title, closing button, Update, three captions

    QTest::newRow("Chinese") << 0 << "SimSun"
                             << QStringList{"更新", "关闭", "更新", "当前版本：", "新版本：", "安装位置："};
    QTest::newRow("English") << 1 << "Arial"
                             << QStringList{"Update", "Close", "Update", "Installed version:", "New version:",
                                            "Install location:"};
    QTest::newRow("Spanish") << 2 << "Arial"
                             << QStringList{"Actualizar", "Cerrar", "Actualizar", "Versión instalada:",
                                            "Versión nueva:", "Ubicación:"};
}

void TestMainWindow::texts()
{
    QFETCH(int, lanType);
    QFETCH(QString, font);
    QFETCH(QStringList, texts);

    const auto window = makeWindow(m_package.path(), lanType);
    QCOMPARE(window->font().family(), font);
    const QStringList shown{window->windowTitle(),
                            child<QPushButton>(window.get(), "pushButton_ok")->text(),
                            child<QPushButton>(window.get(), "pushButton_Update")->text(),
                            child<QLabel>(window.get(), "label_oldVersion")->text(),
                            child<QLabel>(window.get(), "label_newVersion")->text(),
                            child<QLabel>(window.get(), "label_installPath")->text()};
    QCOMPARE(shown, texts);

    QCOMPARE(child<QLabel>(window.get(), "label_value_oldVer")->text(), QStringLiteral("3.4"));
    QCOMPARE(child<QLabel>(window.get(), "label_value_newVer")->text(), QStringLiteral("3.5"));
    QCOMPARE(child<QLabel>(window.get(), "label_value_path")->text(), QDir::toNativeSeparators(m_installDir));
}

void TestMainWindow::noStringTable_data()
{
    QTest::addColumn<bool>("withTable");
    QTest::addColumn<int>("lanType");
    QTest::addColumn<QString>("font");

    QTest::newRow("no string.bin") << false << 1 << "Arial";
    QTest::newRow("no string.bin, Chinese") << false << 0 << "SimSun";
    QTest::newRow("language 5") << true << 5 << "Arial";
    QTest::newRow("language -1") << true << -1 << "Arial";
}

// The window still opens, with empty texts and the three values filled in.
void TestMainWindow::noStringTable()
{
    QFETCH(bool, withTable);
    QFETCH(int, lanType);
    QFETCH(QString, font);

    const auto window = makeWindow(withTable ? m_package.path() : m_bare.path(), lanType);
    QCOMPARE(ZRPubMethod::getInstance()->stringCount(), 0);
    QCOMPARE(window->font().family(), font);
    QCOMPARE(window->windowTitle(), QString());
    for (const char *name : {"pushButton_ok", "pushButton_Update"})
        QCOMPARE(child<QPushButton>(window.get(), name)->text(), QString());
    for (const char *name : {"label_oldVersion", "label_newVersion", "label_installPath"})
        QCOMPARE(child<QLabel>(window.get(), name)->text(), QString());
    QCOMPARE(child<QLabel>(window.get(), "label_value_oldVer")->text(), QStringLiteral("3.4"));
    QCOMPARE(child<QLabel>(window.get(), "label_value_newVer")->text(), QStringLiteral("3.5"));
    QCOMPARE(child<QLabel>(window.get(), "label_value_path")->text(), QDir::toNativeSeparators(m_installDir));
}

// The log directory with its first line; the package's plug-in folder is not searched.
void TestMainWindow::startUpWork()
{
    QTemporaryDir package;
    QVERIFY(package.isValid());
    // Qt keeps only plug-in paths that exist: this one would show, were it added.
    QVERIFY(QDir(package.path()).mkdir(QStringLiteral("sqldrivers")));
    const auto window = makeWindow(package.path(), 1);

    const QString logPath = package.filePath(QStringLiteral("log/cvUpdaterlog_%1.txt")
                                                 .arg(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"))));
    QFile log(logPath);
    QVERIFY2(log.open(QIODevice::ReadOnly), qPrintable(logPath));
    const QByteArray lines = log.readAll();
    QVERIFY2(lines.contains(" Info void MainWindow::initData() Corvane Update Start-Up\r\n"), lines.constData());

    // Plug-ins come from the program's own folder only, never from the package (the
    // current directory), which anyone may have written.
    const QString plugins = QDir(package.filePath(QStringLiteral("sqldrivers"))).canonicalPath();
    QVERIFY2(!QCoreApplication::libraryPaths().contains(plugins),
             qPrintable(QCoreApplication::libraryPaths().join(QLatin1Char(' '))));
}

// From the reset (-1) through increments to the cap (the update's own increments reach
// the bar through the sequence, see the driver's test).
void TestMainWindow::progress()
{
    const auto window = makeWindow(m_package.path(), 1);
    QProgressBar *bar = progressBar(window.get());
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), 0);

    window->slotProcessAddValue(5);
    QCOMPARE(bar->value(), 5);

    bar->reset();
    QCOMPARE(bar->value(), -1);
    window->slotProcessAddValue(10);
    QCOMPARE(bar->value(), 9);
    window->slotProcessAddValue(70);
    QCOMPARE(bar->value(), 79);
    window->slotProcessAddValue(21);
    QCOMPARE(bar->value(), 100);
    window->slotProcessAddValue(70);
    QCOMPARE(bar->value(), 100);

    bar->reset();
    window->slotProcessAddValue(101);
    QCOMPARE(bar->value(), 100);
}

void TestMainWindow::buttons()
{
    const auto window = makeWindow(m_package.path(), 1);
    QPushButton *ok = child<QPushButton>(window.get(), "pushButton_ok");
    QPushButton *update = child<QPushButton>(window.get(), "pushButton_Update");
    QPushButton *restore = child<QPushButton>(window.get(), "pushButton_Restore");
    QVERIFY(restore->isHidden());
    QVERIFY(!ok->isHidden());
    QVERIFY(!update->isHidden());

    window->setButtonsEnabled(false);
    QVERIFY(!ok->isEnabled());
    QVERIFY(!update->isEnabled());
    QVERIFY(restore->isEnabled());
    QVERIFY(restore->isHidden());

    window->setButtonsEnabled(true);
    QVERIFY(ok->isEnabled());
    QVERIFY(update->isEnabled());
}

void TestMainWindow::closeButtonClosesWindow()
{
    const auto window = makeWindow(m_package.path(), 1);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTest::mouseClick(child<QPushButton>(window.get(), "pushButton_ok"), Qt::LeftButton);
    QVERIFY(!window->isVisible());
}

void TestMainWindow::resultBoxes_data()
{
    QTest::addColumn<bool>("finish");
    QTest::addColumn<QString>("buttonText");
    QTest::addColumn<QString>("shownButtonText");

    QTest::newRow("result box, text 10") << false << QString() << "OK";
    QTest::newRow("result box, own button text") << false << "Retry" << "Retry";
    QTest::newRow("finish box, text 10") << true << QString() << "OK";
    QTest::newRow("finish box, own button text") << true << "Done" << "Done";
}

void TestMainWindow::resultBoxes()
{
    QFETCH(bool, finish);
    QFETCH(QString, buttonText);
    QFETCH(QString, shownButtonText);

    const auto window = makeWindow(m_package.path(), 1);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));

    BoxSeen seen;
    readAndCloseBox(&seen);
    const QString title = QStringLiteral("Update");
    const QString text = QStringLiteral("The update could not be completed.");
    const int result = finish ? window->showFinishBox(title, text, buttonText)
                              : window->showResultBox(title, text, buttonText);

    QVERIFY(seen.shown);
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(seen.title, title);
    QCOMPARE(seen.text, text);
    QCOMPARE(seen.okText, shownButtonText);
    QVERIFY(seen.okVisible);
    QCOMPARE(seen.okPos, QPoint(290, 190));
    QVERIFY(!seen.cancelVisible);
    QVERIFY(seen.openAfterEscape);
    QCOMPARE(seen.iconVisible, !finish);
    // Only the finish box keeps its close button.
    QCOMPARE(seen.flags.testFlag(Qt::WindowCloseButtonHint), finish);
    QVERIFY(!seen.flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!seen.flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(!QApplication::activeModalWidget());
}

// Without texts the box's one button is still there, or the box could not be closed.
void TestMainWindow::resultBoxWithoutTable()
{
    const auto window = makeWindow(m_bare.path(), 1);
    BoxSeen seen;
    readAndCloseBox(&seen);
    QCOMPARE(window->showResultBox(QString(), QString(), QString()), int(QDialog::Accepted));
    QVERIFY(seen.shown);
    QVERIFY(seen.okVisible);
    QCOMPARE(seen.okText, QString());
}

void TestMainWindow::destructorDeletesUpdater()
{
    auto window = makeWindow(m_package.path(), 1);
    const QPointer<CVUpdater> updater = CVUpdater::getInstance();
    QVERIFY(updater);
    window.reset();
    QVERIFY(updater.isNull());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
