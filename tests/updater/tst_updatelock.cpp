#include "updater/updatelock.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

#include <cstdio>
#include <memory>

namespace {

const char kHoldOption[] = "--hold-lock";

const char *resultName(UpdateLock::Result result)
{
    switch (result) {
    case UpdateLock::Result::Locked:
        return "Locked";
    case UpdateLock::Result::Busy:
        return "Busy";
    case UpdateLock::Result::Failed:
        return "Failed";
    }
    return "";
}

// This program started again as the other process: it tries the installation's lock,
// prints the result, and holds what it got until its standard input closes.
int holdLock(const QString &installPath)
{
    UpdateLock lock(installPath);
    std::printf("%s\n", resultName(lock.tryLock()));
    std::fflush(stdout);
    QFile input;
    if (input.open(stdin, QIODevice::ReadOnly))
        input.readAll();
    return 0;
}

// Another process that tries the lock; result() is what it printed.
class OtherProcess
{
public:
    explicit OtherProcess(const QString &installPath)
    {
        m_process.start(QCoreApplication::applicationFilePath(), {QLatin1String(kHoldOption), installPath});
    }
    ~OtherProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    QString result()
    {
        while (!m_process.canReadLine() && m_process.waitForReadyRead(30000)) {
        }
        return QString::fromUtf8(m_process.readLine()).trimmed();
    }
    qint64 pid() const { return m_process.processId(); }
    // Ends it as it would end itself: the lock is released on the way out.
    bool finish()
    {
        m_process.closeWriteChannel();
        return m_process.waitForFinished(30000) && m_process.exitCode() == 0;
    }
    // Ends it without any clean-up, as a crash or a kill does.
    bool kill()
    {
        m_process.kill();
        return m_process.waitForFinished(30000);
    }

private:
    QProcess m_process;
};

// What is there before this process tries the lock.
enum class Before {
    Nothing,
    HolderRuns,
    HolderEnded,
    HolderKilled, // its lock file stays behind, naming a process that is gone
    UnnamedFile,  // a holder killed between making the file and naming itself in it
    UnnamedRemover,
    NoDirectory
};

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

bool backdate(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite)
        && file.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime);
}

} // namespace

Q_DECLARE_METATYPE(Before)
Q_DECLARE_METATYPE(UpdateLock::Result)

// One updater at a time per installation, with real lock files and a real second
// process that holds the lock, ends, or is killed while it holds it.
class TestUpdateLock : public QObject
{
    Q_OBJECT

private slots:
    void tryLock_data();
    void tryLock();
    void unlockLetsTheOtherProcessIn();
    void lockedInThisProcessTwice();

private:
    QString lockPath(const QTemporaryDir &dir) const { return dir.filePath(QStringLiteral("UPDATER.lock")); }
};

void TestUpdateLock::tryLock_data()
{
    QTest::addColumn<Before>("before");
    QTest::addColumn<UpdateLock::Result>("expected");

    QTest::newRow("free installation") << Before::Nothing << UpdateLock::Result::Locked;
    QTest::newRow("held by a running process") << Before::HolderRuns << UpdateLock::Result::Busy;
    QTest::newRow("holder ended") << Before::HolderEnded << UpdateLock::Result::Locked;
    QTest::newRow("holder killed") << Before::HolderKilled << UpdateLock::Result::Locked;
    QTest::newRow("lock file naming nobody") << Before::UnnamedFile << UpdateLock::Result::Locked;
    QTest::newRow("takeover lock naming nobody") << Before::UnnamedRemover << UpdateLock::Result::Locked;
    QTest::newRow("no such installation") << Before::NoDirectory << UpdateLock::Result::Failed;
}

void TestUpdateLock::tryLock()
{
    QFETCH(Before, before);
    QFETCH(UpdateLock::Result, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString installPath = dir.path();
    std::unique_ptr<OtherProcess> other;
    const QString remover = lockPath(dir) + QStringLiteral(".rmlock");
    switch (before) {
    case Before::Nothing:
        break;
    case Before::HolderRuns:
    case Before::HolderEnded:
    case Before::HolderKilled:
        other = std::make_unique<OtherProcess>(installPath);
        QCOMPARE(other->result(), QStringLiteral("Locked"));
        QVERIFY(QFileInfo::exists(lockPath(dir)));
        if (before == Before::HolderEnded)
            QVERIFY(other->finish());
        if (before == Before::HolderKilled)
            QVERIFY(other->kill() && QFileInfo::exists(lockPath(dir)));
        break;
    case Before::UnnamedFile:
        QVERIFY(writeFile(lockPath(dir), QByteArray()) && backdate(lockPath(dir)));
        break;
    case Before::UnnamedRemover:
        QVERIFY(writeFile(remover, QByteArray()) && backdate(remover));
        break;
    case Before::NoDirectory:
        installPath = dir.filePath(QStringLiteral("missing"));
        break;
    }

    UpdateLock lock(installPath);
    const UpdateLock::Result result = lock.tryLock();
    QCOMPARE(resultName(result), resultName(expected));
    QCOMPARE(lock.isLocked(), expected == UpdateLock::Result::Locked);
    if (expected == UpdateLock::Result::Busy) {
        QCOMPARE(lock.holder(), QStringLiteral("process %1 (%2)")
                                    .arg(other->pid())
                                    .arg(QCoreApplication::applicationName()));
        // Still the other's: refusing does not take its lock file away.
        QVERIFY(QFileInfo::exists(lockPath(dir)));
        QVERIFY(other->finish());
        QCOMPARE(resultName(lock.tryLock()), "Locked");
    }
    if (expected != UpdateLock::Result::Failed) {
        QCOMPARE(lock.filePath(), lockPath(dir));
        QVERIFY(QFileInfo::exists(lockPath(dir)));
        // The one this process holds now keeps another process out.
        OtherProcess late(installPath);
        QCOMPARE(late.result(), QStringLiteral("Busy"));
        QVERIFY(late.finish());
    }
    lock.unlock();
    QVERIFY(!QFileInfo::exists(lockPath(dir)));
    QVERIFY(!QFileInfo::exists(remover));
}

void TestUpdateLock::unlockLetsTheOtherProcessIn()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    {
        UpdateLock lock(dir.path());
        QCOMPARE(resultName(lock.tryLock()), "Locked");
        OtherProcess refused(dir.path());
        QCOMPARE(refused.result(), QStringLiteral("Busy"));
        QVERIFY(refused.finish());
        lock.unlock();
        QVERIFY(!lock.isLocked());
        OtherProcess admitted(dir.path());
        QCOMPARE(admitted.result(), QStringLiteral("Locked"));
        QVERIFY(admitted.finish());
        QCOMPARE(resultName(lock.tryLock()), "Locked");
    }
    // Released when the object goes.
    QVERIFY(!QFileInfo::exists(lockPath(dir)));
    OtherProcess after(dir.path());
    QCOMPARE(after.result(), QStringLiteral("Locked"));
    QVERIFY(after.finish());
}

void TestUpdateLock::lockedInThisProcessTwice()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    UpdateLock first(dir.path());
    QCOMPARE(resultName(first.tryLock()), "Locked");
    QCOMPARE(resultName(first.tryLock()), "Locked");
    // A second object of the same process is another holder: it must wait its turn.
    UpdateLock second(dir.path());
    QCOMPARE(resultName(second.tryLock()), "Busy");
    first.unlock();
    QCOMPARE(resultName(second.tryLock()), "Locked");
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], kHoldOption) == 0)
        return holdLock(QString::fromLocal8Bit(argv[2]));
    TestUpdateLock test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_updatelock.moc"
