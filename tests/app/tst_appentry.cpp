#include "app/appentry.h"
#include "context/zrpubmethod.h"

#include <QDate>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <vector>

class TestAppEntry : public QObject
{
    Q_OBJECT

private slots:
    void languageArgument_data();
    void languageArgument();
    void contextDefaults();
    void reservedNames();
    void updaterStartsAndLogs();
};

void TestAppEntry::languageArgument_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("lanType");

    QTest::newRow("no argument") << QStringList() << 1;
    QTest::newRow("0") << QStringList{"0"} << 0;
    QTest::newRow("2") << QStringList{"2"} << 2;
    QTest::newRow("7 out of range kept") << QStringList{"7"} << 7;
    QTest::newRow("minus one kept") << QStringList{"-1"} << -1;
    QTest::newRow("abc is not a number") << QStringList{"abc"} << 0;
    QTest::newRow("empty argument") << QStringList{""} << 0;
    QTest::newRow("Qt option first") << QStringList{"-platform", "offscreen"} << 0;
    QTest::newRow("extra arguments ignored") << QStringList{"2", "1", "0"} << 2;
    QTest::newRow("hex is not base 10") << QStringList{"0x1"} << 0;
    QTest::newRow("surrounding blanks") << QStringList{" 2 "} << 2;
}

void TestAppEntry::languageArgument()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, lanType);

    std::vector<QByteArray> storage{QByteArray("corvane-updater")};
    for (const QString &argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &bytes : storage)
        argv.push_back(bytes.data());
    argv.push_back(nullptr);

    QCOMPARE(AppEntry::languageFromArguments(int(storage.size()), argv.data()), lanType);
}

void TestAppEntry::contextDefaults()
{
    ZRPubMethod *context = ZRPubMethod::getInstance();
    QCOMPARE(ZRPubMethod::getInstance(), context);
    QCOMPARE(context->getLanType(), 1);
    QCOMPARE(context->stringCount(), 0);
    context->setLanType(5);
    QCOMPARE(ZRPubMethod::getInstance()->getLanType(), 5);
    context->setLanType(1);
}

void TestAppEntry::reservedNames()
{
    const QStringList expected{"image", "log", "Updater", "backup", "UPDATER.ini", "install.log", "UPDATER.lock",
                                "kqdata.db.kept-*"};
    QCOMPARE(ZRPubMethod::getInstance()->reservedNames(), expected);
}

// The real program, started in a throw-away package directory, creates "log/" and
// writes its first line there.
void TestAppEntry::updaterStartsAndLogs()
{
    QTemporaryDir package;
    QVERIFY(package.isValid());

    QProcess updater;
    updater.setWorkingDirectory(package.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), package.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), package.path() + QStringLiteral("/.config"));
    updater.setProcessEnvironment(env);
    updater.start(QStringLiteral(CORVANE_BINARY_DIR "/corvane-updater" CORVANE_EXE_SUFFIX), {QStringLiteral("1")});
    QVERIFY2(updater.waitForStarted(), qPrintable(updater.errorString()));

    const QString logPath = package.path() + QStringLiteral("/log/cvUpdaterlog_%1.txt")
                                                 .arg(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")));
    QByteArray log;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 60000 && !log.contains("Start-Up")) {
        QTest::qWait(100);
        QFile file(logPath);
        if (file.open(QIODevice::ReadOnly))
            log = file.readAll();
    }
    updater.kill();
    updater.waitForFinished();

    QVERIFY2(log.contains(" Info void MainWindow::initData() Corvane Update Start-Up\r\n"), log.constData());
    QVERIFY(log.startsWith(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")).toLatin1()));
}

QTEST_GUILESS_MAIN(TestAppEntry)
#include "tst_appentry.moc"
