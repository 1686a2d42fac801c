#include "app/mainwindow.h"
#include "context/zrpubmethod.h"
#include "package/packagemanifest.h"
#include "common/installationfixture.h"
#include "common/packagebuilder.h"
#include "dialogs/zrmessagebox.h"
#include "strings/stringtablecompiler.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLockFile>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString driver = QStringLiteral("Debug void MainWindow::slotStartUpdate() ");
const QString backupDone = QStringLiteral("Debug bool CVUpdater::backupVersion() backup successed!");
const QString restoreDone = QStringLiteral("Debug bool CVUpdater::restoreVersion() restore successed!");
const QString regDone = QStringLiteral("Debug bool CVUpdater::updateRegKey() update reg and shortcut successed");
const QString stepLine = QStringLiteral("Debug bool FormalUpdateO::execUpdate(const QString&) exec update \"%1\"");
const QString step1 = QStringLiteral("3_2_to_3_3");
const QString step2 = QStringLiteral("3_3_to_3_4");

template <typename T>
T *child(QObject *parent, const char *name)
{
    T *found = parent->findChild<T *>(QLatin1String(name));
    Q_ASSERT(found);
    return found;
}

// A message box as it stood when it was answered, with the window behind it.
struct BoxSeen
{
    QString title;
    QString text;
    QString okText;
    QString cancelText; // empty when the box has no second button
    bool iconVisible = false;
    int progress = 0;
    bool updateEnabled = false;
    bool okEnabled = false;
};

// Answers every message box shown while it lives: reads it, then clicks its OK button.
// The timer runs inside the box's own modal loop.
class BoxAnswerer : public QObject
{
public:
    explicit BoxAnswerer(QWidget *window)
        : m_window(window)
    {
        connect(&m_timer, &QTimer::timeout, this, &BoxAnswerer::answer);
        m_timer.start(5);
    }

    QList<BoxSeen> boxes;
    // Called with each box as it was read, before its OK button is clicked.
    std::function<void(const BoxSeen &)> beforeClick;

private:
    void answer()
    {
        auto *box = qobject_cast<ZRMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        BoxSeen seen;
        seen.title = box->windowTitle();
        seen.text = child<QLabel>(box, "label_text")->text();
        seen.okText = child<QPushButton>(box, "btn_ok")->text();
        const QPushButton *cancel = child<QPushButton>(box, "btn_cancel");
        seen.cancelText = cancel->isVisible() ? cancel->text() : QString();
        seen.iconVisible = child<QLabel>(box, "label_icon")->isVisible();
        seen.progress = child<QProgressBar>(m_window, "progressBar_Upgrade")->value();
        seen.updateEnabled = child<QPushButton>(m_window, "pushButton_Update")->isEnabled();
        seen.okEnabled = child<QPushButton>(m_window, "pushButton_ok")->isEnabled();
        boxes << seen;
        if (beforeClick)
            beforeClick(seen);
        child<QPushButton>(box, "btn_ok")->click();
    }

    QWidget *m_window;
    QTimer m_timer;
};

QList<int> values(const QSignalSpy &spy)
{
    QList<int> list;
    for (const QList<QVariant> &arguments : spy)
        list << arguments.at(0).toInt();
    return list;
}

} // namespace

// The Update and Restore buttons of the real window, end to end: a real installation
// (files, marked INI files, SQLite database, registry stand-in, desktop) and a real
// package, the message boxes answered as a user would.
class TestMainWindowDriver : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void updateSucceeds();
    void noDesktopWarnsAfterResult();
    void failingStatementRestores();
    void interruptedUpdateRestoredFirst();
    void interruptedUpdateWithoutBackup();
    void tamperedPackageRefusedInItsLanguage();
    void versionRefused();
    void anotherUpdateRunning();
    void applicationOpenThenRetry();
    void unwritableRegistryKeyRestores();
    void restoreButton_data();
    void restoreButton();

private:
    // The package of an update from 3.2 to 3.4 in two steps; the second step's script
    // is given.
    void buildPackage(const QString &secondScript);
    void openWindow();
    void clickUpdate();
    QString text(int id) const { return m_strings.text(1, id); }
    // The log file's lines of the driver, the update manager and the version steps,
    // without their time stamps.
    QStringList driverLog() const;
    QStringList logLines() const;
    QStringList installed() const;
    QStringList rows(const QString &sql) const { return PackageBuilder::query(m_fixture.databasePath(), sql); }
    QPushButton *button(const char *name) const { return child<QPushButton>(m_window.get(), name); }
    QProgressBar *bar() const { return child<QProgressBar>(m_window.get(), "progressBar_Upgrade"); }

    InstallationFixture m_fixture;
    StringTableCompiler m_strings;
    QtMessageHandler m_testHandler = nullptr;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<BoxAnswerer> m_answerer;
};

void TestMainWindowDriver::initTestCase()
{
    QVERIFY2(m_fixture.setUp(), qPrintable(m_fixture.error()));
    QVERIFY2(m_strings.readSource(QStringLiteral(CORVANE_SOURCE_DIR "/strings/strings.tsv")),
             qPrintable(m_strings.errorString()));
    ZRPubMethod::getInstance()->setLanType(1);
    // The window installs the log file handler; each case puts Qt Test's back.
    m_testHandler = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(m_testHandler);
}

void TestMainWindowDriver::init()
{
    QVERIFY2(m_fixture.reset(), qPrintable(m_fixture.error()));

    PackageBuilder installation(m_fixture.installPath());
    installation
        .files({"ostrelle.exe=v3.2", "bin/lib.txt=3.2", "user/notes.txt=mine", "log/app.log=running",
                "backup/stale.txt=from 3.1"})
        .markedIni(QStringLiteral("config/app.ini"),
                   {{"main/lang", "en"}, {"main/server", "old.example"}, {"user/recent", "a.txt"}})
        .database(QStringLiteral("kqdata.db"), {"CREATE TABLE person(id INTEGER PRIMARY KEY, name TEXT)",
                                                "INSERT INTO person(name) VALUES('ann')"});
    QVERIFY2(installation.ok(), qPrintable(installation.error()));
    QVERIFY2(m_fixture.writeKey(QStringLiteral("3.2")), qPrintable(m_fixture.error()));
    QVERIFY(m_strings.writeBinary(m_fixture.packagePath() + QStringLiteral("/string.bin")));
    m_fixture.openDatabase();
}

void TestMainWindowDriver::cleanup()
{
    m_answerer.reset();
    m_window.reset();
    qInstallMessageHandler(m_testHandler);
}

void TestMainWindowDriver::buildPackage(const QString &secondScript)
{
    PackageBuilder package(m_fixture.packagePath());
    package.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.4"}})
        .files({PackageBuilder::commonPath("shared.txt=common"),
                PackageBuilder::stepPath(step1, "common/ostrelle.exe=v3.3"),
                PackageBuilder::stepPath(step1, "common/bin/step1only.txt=s1"),
                PackageBuilder::stepPath(step2, "common/ostrelle.exe=v3.4"),
                PackageBuilder::stepPath(step2, "common/bin/lib.txt=3.4")})
        .markedIni(PackageBuilder::stepPath(step1, "config/app.ini"),
                   {{"main/server", "new.example"}, {"main/timeout", "30"}})
        .markedIni(PackageBuilder::stepPath(step2, "config/app.ini"), {{"main/timeout", "60"}, {"view/theme", "dark"}})
        .sqlScript(step1, "CREATE TABLE setting(k TEXT, v TEXT);\n"
                          "INSERT INTO setting VALUES('schema', '3.3');\n"
                          "IFN_COL|person|email;\n"
                          "ALTER TABLE person ADD COLUMN email TEXT;\n")
        .sqlScript(step2, secondScript);
    QVERIFY2(package.ok(), qPrintable(package.error()));
}

void TestMainWindowDriver::openWindow()
{
    m_window.reset(new MainWindow);
    m_window->show();
    m_answerer.reset(new BoxAnswerer(m_window.get()));
}

void TestMainWindowDriver::clickUpdate()
{
    QPushButton *update = button("pushButton_Update");
    QVERIFY(update->isVisible() && update->isEnabled());
    QTest::mouseClick(update, Qt::LeftButton);
}

QStringList TestMainWindowDriver::logLines() const
{
    QStringList lines;
    const QDir logDir(m_fixture.packagePath() + QStringLiteral("/log"));
    const QStringList files = logDir.entryList({QStringLiteral("cvUpdaterlog_*.txt")}, QDir::Files, QDir::Name);
    for (const QString &name : files) {
        const QString content = QString::fromLocal8Bit(PackageBuilder::readFile(logDir.filePath(name)));
        for (const QString &line : content.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
            // "yyyy-MM-dd hh:mm:ss.zzz " in front.
            lines << line.mid(24);
        }
    }
    return lines;
}

QStringList TestMainWindowDriver::driverLog() const
{
    QStringList lines;
    for (const QString &line : logLines()) {
        if (line.contains(QLatin1String("MainWindow::slotStartUpdate()"))
            || line.contains(QLatin1String("CVUpdater::"))
            || line.contains(QLatin1String("FormalUpdateO::execUpdate(const QString&)"))) {
            lines << line;
        }
    }
    return lines;
}

QStringList TestMainWindowDriver::installed() const
{
    return PackageBuilder::snapshot(m_fixture.installPath(), {"kqdata.db", "backup", "log", "config"});
}

void TestMainWindowDriver::updateSucceeds()
{
    buildPackage("UPDATE setting SET v = '3.4' WHERE k = 'schema';\n"
                 "INSERT INTO person(name, email) VALUES('bob', 'bob@example.org');\n");
    // The backup keeps what an earlier one held and never holds reserved names.
    QStringList expectedBackup = PackageBuilder::snapshot(m_fixture.installPath(), {"log", "backup"});
    expectedBackup << "stale.txt=from 3.1";
    expectedBackup.sort();

    openWindow();
    QCOMPARE(child<QLabel>(m_window.get(), "label_value_path")->text(), QDir::toNativeSeparators(m_fixture.installPath()));
    clickUpdate();

    QCOMPARE(m_answerer->boxes.size(), 1);
    const BoxSeen box = m_answerer->boxes.first();
    QCOMPARE(box.title, text(896));
    QCOMPARE(box.text, text(1515));
    QCOMPARE(box.text, QStringLiteral("The update was completed successfully."));
    QCOMPARE(box.okText, text(10));
    QVERIFY(!box.iconVisible);
    QCOMPARE(box.progress, 100);
    QVERIFY(!box.updateEnabled);
    QVERIFY(!m_window->isVisible());
    QCOMPARE(bar()->value(), 100);

    QCOMPARE(installed(), (QStringList{"bin/", "bin/lib.txt=3.4", "bin/step1only.txt=s1", "ostrelle.exe=v3.4",
                                       "shared.txt=common", "user/", "user/notes.txt=mine"}));
    QCOMPARE(PackageBuilder::readFile(m_fixture.installPath() + QStringLiteral("/log/app.log")), QByteArray("running"));
    const QMap<QString, QString> appIni = PackageBuilder::iniValues(m_fixture.installPath() + "/config/app.ini");
    QCOMPARE(appIni, (QMap<QString, QString>{{"ZRFILE_BEGIN/CODE", "tarnwoven"}, {"ZRFILE_END/CODE", "tarnwoven"},
                                             {"main/lang", "en"}, {"main/server", "new.example"},
                                             {"main/timeout", "60"}, {"user/recent", "a.txt"},
                                             {"view/theme", "dark"}}));
    QCOMPARE(rows("SELECT name, email FROM person ORDER BY id"), (QStringList{"ann|", "bob|bob@example.org"}));
    QCOMPARE(rows("SELECT k, v FROM setting"), QStringList{"schema|3.4"});

    QCOMPARE(m_fixture.keyValues(QStringLiteral("Ostrelle")),
             (QMap<QString, QString>{{"DisplayVersion", "3.4"}, {"DisplayName", "Ostrelle 3.4"},
                                     {"DisplayIcon", m_fixture.programPath()}}));
    const QFileInfo shortcut(m_fixture.desktopPath() + QStringLiteral("/Ostrelle.lnk"));
    QCOMPARE(shortcut.symLinkTarget(), m_fixture.programPath());
    // Read through the link: on Windows the shortcut is a shell link file, not the program.
    QCOMPARE(PackageBuilder::readFile(shortcut.symLinkTarget()), QByteArray("v3.4"));
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));

    QCOMPARE(PackageBuilder::snapshot(m_fixture.backupPath()), expectedBackup);
    QCOMPARE(PackageBuilder::query(m_fixture.backupPath() + QStringLiteral("/kqdata.db"), "SELECT name FROM person"),
             QStringList{"ann"});

    QCOMPARE(logLines().value(0), QStringLiteral("Info void MainWindow::initData() Corvane Update Start-Up"));
    QCOMPARE(driverLog(), (QStringList{driver + "check version", driver + "check package",
                                       driver + "check update flag", driver + "backup old version", backupDone, driver + "exec update",
                                       stepLine.arg(step1), stepLine.arg(step2),
                                       driver + "update regedit and shortcut", regDone}));
}

// Without a desktop the update still succeeds; the box says below the result that no
// shortcut was made.
void TestMainWindowDriver::noDesktopWarnsAfterResult()
{
    buildPackage("UPDATE setting SET v = '3.4' WHERE k = 'schema';\n");
    QVERIFY(QDir(m_fixture.desktopPath()).removeRecursively());
    openWindow();
    clickUpdate();

    QCOMPARE(m_answerer->boxes.size(), 1);
    QCOMPARE(m_answerer->boxes.first().text,
             QStringLiteral("%1\n\nThere is no desktop directory %2: the shortcut Ostrelle.lnk was not made.")
                 .arg(text(1515), QDir::toNativeSeparators(m_fixture.desktopPath())));
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
}

void TestMainWindowDriver::failingStatementRestores()
{
    buildPackage("UPDATE setting SET v = '3.4' WHERE k = 'schema';\n"
                 "INSERT INTO no_such_table VALUES(1);\n");
    const QStringList filesBefore = installed();
    const QByteArray appIniBefore = PackageBuilder::readFile(m_fixture.installPath() + "/config/app.ini");
    const QMap<QString, QString> keyBefore = m_fixture.keyValues(QStringLiteral("Ostrelle"));

    openWindow();
    QSignalSpy progress(bar(), &QProgressBar::valueChanged);
    clickUpdate();

    QCOMPARE(m_answerer->boxes.size(), 1);
    const BoxSeen box = m_answerer->boxes.first();
    QCOMPARE(box.title, text(896));
    QCOMPARE(box.text, text(1514));
    QCOMPARE(box.okText, text(10));
    QVERIFY(box.iconVisible);
    QVERIFY(!box.updateEnabled);
    QVERIFY(!box.okEnabled);
    // 10 before the steps, the shares of the first step, two thirds of the second.
    QCOMPARE(values(progress), (QList<int>{9, 20, 31, 42, 77, 88, 99}));

    QVERIFY(m_window->isVisible());
    QVERIFY(button("pushButton_Update")->isEnabled());
    QVERIFY(button("pushButton_ok")->isEnabled());
    QVERIFY(!button("pushButton_Restore")->isVisible());

    // Files as they were, plus what the update added and what an earlier backup held
    // (the backup is cumulative); the database as it was.
    QStringList expectedFiles = filesBefore;
    expectedFiles << "bin/step1only.txt=s1" << "shared.txt=common" << "stale.txt=from 3.1";
    expectedFiles.sort();
    QCOMPARE(installed().join(" ; "), expectedFiles.join(" ; "));
    QCOMPARE(PackageBuilder::readFile(m_fixture.installPath() + "/config/app.ini"), appIniBefore);
    QCOMPARE(rows("SELECT name FROM sqlite_master ORDER BY name"), QStringList{"person"});
    QCOMPARE(rows("SELECT * FROM person"), QStringList{"1|ann"});
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
    QCOMPARE(m_fixture.keyValues(QStringLiteral("Ostrelle")), keyBefore);
    QVERIFY(QDir(m_fixture.desktopPath()).isEmpty());

    QCOMPARE(driverLog(), (QStringList{driver + "check version", driver + "check package",
                                       driver + "check update flag", driver + "backup old version", backupDone, driver + "exec update",
                                       stepLine.arg(step1), stepLine.arg(step2),
                                       "Debug bool FormalUpdateO::execUpdate(const QString&) db update err",
                                       restoreDone}));

    // The script is mended; a second click starts again from a reset bar and succeeds.
    PackageBuilder package(m_fixture.packagePath());
    package.sqlScript(step2, "UPDATE setting SET v = '3.4' WHERE k = 'schema';\n");
    QVERIFY(package.ok());
    progress.clear();
    clickUpdate();

    QCOMPARE(m_answerer->boxes.size(), 2);
    QCOMPARE(m_answerer->boxes.at(1).text, text(1515));
    QCOMPARE(values(progress), (QList<int>{9, 20, 31, 42, 77, 88, 99, 100}));
    QVERIFY(!m_window->isVisible());
    QCOMPARE(PackageBuilder::readFile(m_fixture.programPath()), QByteArray("v3.4"));
    QCOMPARE(rows("SELECT k, v FROM setting"), QStringList{"schema|3.4"});
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
}

void TestMainWindowDriver::interruptedUpdateRestoredFirst()
{
    buildPackage("UPDATE setting SET v = '3.4' WHERE k = 'schema';\n");
    // An earlier run backed up 3.2, got half-way and stopped; since then a file of the
    // installation was deleted.
    PackageBuilder installation(m_fixture.installPath());
    QVERIFY(ZRPubMethod::getInstance()->copyDir(QDir(m_fixture.installPath()), QDir(m_fixture.backupPath()), true));
    installation.files({"ostrelle.exe=v3.3", "bin/step1only.txt=s1"})
        .database(QStringLiteral("kqdata.db"), {"CREATE TABLE setting(k TEXT, v TEXT)",
                                                "INSERT INTO setting VALUES('schema', '3.3')"})
        .markedIni(QStringLiteral("config/UPDATER.ini"), {{"UPDATE/FLAG", "false"}});
    QVERIFY(installation.ok());
    QVERIFY(QFile::remove(m_fixture.installPath() + QStringLiteral("/user/notes.txt")));

    openWindow();
    clickUpdate();

    // The half-updated database is not the backup's, and the flag file (an earlier
    // updater's) knows no identity of it: it is kept aside, and the box says where.
    const QStringList kept = QDir(m_fixture.installPath()).entryList({"kqdata.db.kept-*"}, QDir::Files);
    QCOMPARE(kept.size(), 1);
    const QString keptPath = m_fixture.installPath() + QLatin1Char('/') + kept.first();
    QCOMPARE(PackageBuilder::query(keptPath, QStringLiteral("SELECT k, v FROM setting")), QStringList{"schema|3.3"});
    QCOMPARE(m_answerer->boxes.size(), 1);
    QCOMPARE(m_answerer->boxes.first().text,
             QStringLiteral("%1\n\n%2").arg(text(1515), text(1340).arg(QDir::toNativeSeparators(m_fixture.databasePath()),
                                                                       QDir::toNativeSeparators(keptPath))));
    QVERIFY(!m_window->isVisible());
    const QString keptLine = QStringLiteral("Warning bool CVUpdater::restoreVersion() \"kept database: %1; to get its "
                                            "work back, close the application and copy it over %2\"")
                                 .arg(keptPath, m_fixture.databasePath());
    QCOMPARE(driverLog(), (QStringList{driver + "check version", driver + "check package", driver + "check update flag",
                                       keptLine, restoreDone, driver + "backup old version", backupDone,
                                       driver + "exec update", stepLine.arg(step1), stepLine.arg(step2),
                                       driver + "update regedit and shortcut", regDone}));
    // Updated from the restored 3.2: the first step's table exists once, the deleted
    // file is back (and so is the file of the backup before).
    QCOMPARE(PackageBuilder::snapshot(m_fixture.installPath(), {"kqdata.db", "backup", "log", "config", kept.first()}),
             (QStringList{"bin/", "bin/lib.txt=3.4", "bin/step1only.txt=s1", "ostrelle.exe=v3.4", "shared.txt=common",
                          "stale.txt=from 3.1", "user/", "user/notes.txt=mine"}));
    QCOMPARE(rows("SELECT k, v FROM setting"), QStringList{"schema|3.4"});
    QCOMPARE(rows("SELECT name, email FROM person"), QStringList{"ann|"});
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
}

void TestMainWindowDriver::interruptedUpdateWithoutBackup()
{
    buildPackage("UPDATE setting SET v = '3.4' WHERE k = 'schema';\n");
    QVERIFY(QDir(m_fixture.backupPath()).removeRecursively());
    PackageBuilder installation(m_fixture.installPath());
    installation.markedIni(QStringLiteral("config/UPDATER.ini"), {{"UPDATE/FLAG", "false"}});
    QVERIFY(installation.ok());
    const QStringList before = PackageBuilder::snapshot(m_fixture.installPath(), {"log"});

    openWindow();
    clickUpdate();

    QCOMPARE(m_answerer->boxes.size(), 1);
    QCOMPARE(m_answerer->boxes.first().text, text(1514));
    QVERIFY(m_answerer->boxes.first().iconVisible);
    QCOMPARE(driverLog(), (QStringList{driver + "check version", driver + "check package", driver + "check update flag",
                                       "Warning bool CVUpdater::restoreVersion() bak file is not exist!"}));
    QCOMPARE(PackageBuilder::snapshot(m_fixture.installPath(), {"log"}), before);
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("false"));
    QVERIFY(m_window->isVisible());
    QVERIFY(button("pushButton_Update")->isEnabled());
    QVERIFY(button("pushButton_ok")->isEnabled());
}

// A package whose file no longer matches its manifest: refused before anything changes,
// the reasons in the window's language.
void TestMainWindowDriver::tamperedPackageRefusedInItsLanguage()
{
    buildPackage(QString());
    PackageManifest manifest;
    QVERIFY2(manifest.scan(m_fixture.packagePath()), qPrintable(manifest.errorString()));
    PackageBuilder package(m_fixture.packagePath());
    package.file(QLatin1String(PackageManifest::kFileName), manifest.toText())
        .file(PackageBuilder::stepPath(step1, "common/bin/step1only.txt"), "S1");
    QVERIFY2(package.ok(), qPrintable(package.error()));
    const QStringList before = PackageBuilder::snapshot(m_fixture.installPath(), {"log"});

    ZRPubMethod::getInstance()->setLanType(2);
    openWindow();
    clickUpdate();
    ZRPubMethod::getInstance()->setLanType(1);

    QCOMPARE(m_answerer->boxes.size(), 1);
    const QString shown = m_answerer->boxes.first().text;
    QVERIFY2(shown.contains(QStringLiteral("modificado: ")) && shown.contains(QLatin1String("step1only.txt")), qPrintable(shown));
    QVERIFY2(!shown.contains(QLatin1String("changed: ")), qPrintable(shown));
    QCOMPARE(PackageBuilder::snapshot(m_fixture.installPath(), {"log"}), before);
}

void TestMainWindowDriver::versionRefused()
{
    buildPackage(QString());
    QVERIFY(m_fixture.writeKey(QStringLiteral("3.4")));
    const QStringList before = PackageBuilder::snapshot(m_fixture.installPath(), {"log"});

    openWindow();
    clickUpdate();

    QCOMPARE(m_answerer->boxes.size(), 1);
    const BoxSeen box = m_answerer->boxes.first();
    QCOMPARE(box.title, text(896));
    QCOMPARE(box.text, text(1513));
    QCOMPARE(box.okText, text(10));
    QVERIFY(box.iconVisible);
    QCOMPARE(driverLog(), (QStringList{driver + "check version",
                                       "Warning bool CVUpdater::isCanUpdate() update version below or same"}));
    // The flag file was not even opened (opening would have created it).
    QVERIFY(!QFileInfo::exists(m_fixture.flagFilePath()));
    QCOMPARE(PackageBuilder::snapshot(m_fixture.installPath(), {"log"}), before);
    QVERIFY(button("pushButton_Update")->isEnabled());
    QVERIFY(button("pushButton_ok")->isEnabled());
    QVERIFY(m_window->isVisible());
}

// Another updater holds the installation: both buttons turn it away with their failure
// box, the reason in the log, nothing changed.
void TestMainWindowDriver::anotherUpdateRunning()
{
    buildPackage(QString());
    QLockFile held(m_fixture.installPath() + QStringLiteral("/UPDATER.lock"));
    QVERIFY(held.tryLock(0));
    const QStringList before = PackageBuilder::snapshot(m_fixture.installPath(), {"log", "UPDATER.lock"});

    openWindow();
    clickUpdate();
    QCOMPARE(m_answerer->boxes.size(), 1);
    QCOMPARE(m_answerer->boxes.first().text, text(1514));
    QVERIFY(m_answerer->boxes.first().iconVisible);
    const QString refused = QStringLiteral("Warning UpdateSequence::Outcome UpdateSequence::run() \"refused, nothing "
                                           "changed: Another update of %1 is running (process %2 (%3)); nothing was "
                                           "changed.\"")
                                .arg(m_fixture.installPath())
                                .arg(QCoreApplication::applicationPid())
                                .arg(QCoreApplication::applicationName());
    QVERIFY2(logLines().contains(refused), qPrintable(logLines().join(QLatin1Char('\n'))));
    QCOMPARE(PackageBuilder::snapshot(m_fixture.installPath(), {"log", "UPDATER.lock"}), before);
    QVERIFY(button("pushButton_Update")->isEnabled());

    m_window->slotRestore();
    QCOMPARE(m_answerer->boxes.size(), 2);
    QCOMPARE(m_answerer->boxes.last().text, text(1074));
    QCOMPARE(PackageBuilder::snapshot(m_fixture.installPath(), {"log", "UPDATER.lock"}), before);
}

void TestMainWindowDriver::unwritableRegistryKeyRestores()
{
    buildPackage("UPDATE setting SET v = '3.4' WHERE k = 'schema';\n");
    const QStringList filesBefore = installed();
    openWindow();

#ifdef Q_OS_WIN
    QSKIP("blocks the registry stand-in's file; the registry cannot be blocked that way (tst_windowsplatform fails the flag write instead)");
#endif
    // Read at start-up; a directory stands where the key's file would be written.
    const QString keyFile = m_fixture.keyFile(QStringLiteral("Ostrelle"));
    const QByteArray keyBefore = PackageBuilder::readFile(keyFile);
    const QString aside = m_fixture.rootPath() + QStringLiteral("/key-aside");
    QVERIFY(QDir().rename(keyFile, aside));
    QVERIFY(QDir().mkpath(keyFile));

    clickUpdate();

    QCOMPARE(m_answerer->boxes.size(), 1);
    QCOMPARE(m_answerer->boxes.first().text, text(1514));
    QVERIFY(m_window->isVisible());
    QVERIFY(button("pushButton_Update")->isEnabled());
    QString quotedKey = InstallationFixture::keyPath(QStringLiteral("Ostrelle"));
    quotedKey.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    QCOMPARE(driverLog(), (QStringList{driver + "check version", driver + "check package",
                                       driver + "check update flag", driver + "backup old version", backupDone, driver + "exec update",
                                       stepLine.arg(step1), stepLine.arg(step2),
                                       driver + "update regedit and shortcut",
                                       // A directory cannot be read either: nothing is written.
                                       "Warning bool CVUpdater::updateRegKey() \"read reg key " + quotedKey
                                           + " failed\"",
                                       restoreDone}));

    QStringList expectedFiles = filesBefore;
    expectedFiles << "bin/step1only.txt=s1" << "shared.txt=common" << "stale.txt=from 3.1";
    expectedFiles.sort();
    QCOMPARE(installed().join(" ; "), expectedFiles.join(" ; "));
    QCOMPARE(rows("SELECT name FROM sqlite_master"), QStringList{"person"});
    QCOMPARE(m_fixture.flagOnDisk(), QStringLiteral("true"));
    QVERIFY(QDir(m_fixture.desktopPath()).isEmpty());

    QVERIFY(QDir(keyFile).removeRecursively());
    QVERIFY(QDir().rename(aside, keyFile));
    QCOMPARE(PackageBuilder::readFile(keyFile), keyBefore);
}

// The application open beside the window, idle: the failure box names it and changes
// nothing; once it has closed, Retry runs the update again and it goes through.
void TestMainWindowDriver::applicationOpenThenRetry()
{
    if (QStandardPaths::findExecutable(QStringLiteral("sqlite3")).isEmpty())
        QSKIP("needs the sqlite3 shell");
    buildPackage("UPDATE setting SET v = '3.4' WHERE k = 'schema';\n");
    QProcess holder;
    holder.setProcessChannelMode(QProcess::MergedChannels);
    holder.start(QStringLiteral("sqlite3"), {m_fixture.databasePath()});
    holder.write("SELECT count(*) FROM person;\nSELECT 'held';\n");
    QByteArray output;
    while (!output.contains("held") && holder.waitForReadyRead(10000))
        output += holder.readAll();
    QVERIFY(output.contains("held"));
    const qint64 pid = holder.processId();
    const QStringList before = PackageBuilder::snapshot(m_fixture.installPath(), {"log"});

    QStringList whileShown;
    openWindow();
    m_answerer->beforeClick = [&](const BoxSeen &) {
        if (m_answerer->boxes.size() > 1)
            return;
        whileShown = PackageBuilder::snapshot(m_fixture.installPath(), {"log"});
        holder.write(".quit\n");
        holder.waitForFinished(10000);
    };
    clickUpdate();

    QCOMPARE(m_answerer->boxes.size(), 2);
    const BoxSeen refused = m_answerer->boxes.first();
    QCOMPARE(refused.text, QStringLiteral("%1\n\n%2\nsqlite3 (process %3) holds %4 open")
                               .arg(text(1514), text(1516))
                               .arg(pid)
                               .arg(QDir::toNativeSeparators(m_fixture.databasePath())));
    QCOMPARE(refused.okText, text(1517));
    QCOMPARE(refused.cancelText, text(132));
    QCOMPARE(whileShown, before);
    QCOMPARE(m_answerer->boxes.at(1).text, text(1515));
    QCOMPARE(rows("SELECT k, v FROM setting"), QStringList{"schema|3.4"});
}

void TestMainWindowDriver::restoreButton_data()
{
    QTest::addColumn<bool>("withBackup");
    QTest::addColumn<int>("textId");

    QTest::newRow("restored") << true << 1073;
    QTest::newRow("no backup") << false << 1074;
}

void TestMainWindowDriver::restoreButton()
{
    QFETCH(bool, withBackup);
    QFETCH(int, textId);

    buildPackage(QString());
    if (withBackup) {
        PackageBuilder backup(m_fixture.backupPath());
        backup.files({"ostrelle.exe=v3.1", "user/notes.txt=older"});
        QVERIFY(backup.ok());
    } else {
        QVERIFY(QDir(m_fixture.backupPath()).removeRecursively());
    }
    PackageBuilder installation(m_fixture.installPath());
    installation.markedIni(QStringLiteral("config/UPDATER.ini"), {{"UPDATE/FLAG", "false"}});
    QVERIFY(installation.ok());

    openWindow();
    QPushButton *restore = button("pushButton_Restore");
    QVERIFY(!restore->isVisible());
    // Hidden in normal use; only the program itself would press it.
    restore->click();

    QCOMPARE(m_answerer->boxes.size(), 1);
    const BoxSeen box = m_answerer->boxes.first();
    QCOMPARE(box.title, text(896));
    QCOMPARE(box.text, text(textId));
    QCOMPARE(box.okText, text(10));
    QVERIFY(!box.updateEnabled);
    QCOMPARE(button("pushButton_Update")->isEnabled(), withBackup);
    QCOMPARE(restore->isVisible(), !withBackup);
    QVERIFY(button("pushButton_ok")->isEnabled());
    QVERIFY(m_window->isVisible());
    QCOMPARE(PackageBuilder::readFile(m_fixture.programPath()), withBackup ? QByteArray("v3.1") : QByteArray("v3.2"));
    QCOMPARE(m_fixture.flagOnDisk(), withBackup ? QStringLiteral("true") : QStringLiteral("false"));
}

QTEST_MAIN(TestMainWindowDriver)
#include "tst_mainwindowdriver.moc"
