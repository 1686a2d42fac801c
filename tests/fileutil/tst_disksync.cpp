#include "common/deeptree.h"
#include "common/logcapture.h"
#include "common/testhome.h"
#include "fileutil/disksync.h"
#include "platform/dirhandle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString kWarning = QStringLiteral("Warning bool DiskSync::flushTrees(const QStringList&) ");

bool makeFile(const QString &path, const QByteArray &bytes)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

// The flush that stands in for per-file flushes before the update flag changes.
class TestDiskSync : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void flushesTree();
    void linkLoopEnds();
    void linkToOtherFileSystem();
    void missingTreeFails();
    void failureStopsAtFirstTree();
    void deepTreeIsFlushed();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestDiskSync::initTestCase()
{
    m_home.reset(new TestHome);
}

void TestDiskSync::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void TestDiskSync::cleanup()
{
    m_dir.reset();
}

void TestDiskSync::flushesTree()
{
    QVERIFY(makeFile(path("install/a.dll"), "a"));
    QVERIFY(makeFile(path("install/data/deep/b.dat"), "b"));
    QVERIFY(makeFile(path("install/.hidden/c"), "c"));
    QVERIFY(makeFile(path("registry/Ostrelle.ini"), "DisplayVersion=3.3\n"));

    LogCapture log;
    QVERIFY(DiskSync::flushTree(path("install")));
    QVERIFY(DiskSync::flushTrees({path("install"), path("registry")}));
    QVERIFY(DiskSync::flushTrees({}));
    QCOMPARE(log.lines(), QStringList());
}

void TestDiskSync::linkLoopEnds()
{
    // "install/data/up" leads back to "install": the walk must not go round forever.
    QVERIFY(makeFile(path("install/data/x"), "x"));
    QVERIFY(QFile::link(path("install"), path("install/data/up")));
    QVERIFY(QFile::link(path("nowhere"), path("install/dangling")));

    LogCapture log;
    QVERIFY(DiskSync::flushTree(path("install")));
    QCOMPARE(log.lines(), QStringList());
}

void TestDiskSync::linkToOtherFileSystem()
{
    // A directory of the installation may live on another file system; the copies write
    // through the link, so that file system is flushed too and must not make it fail.
    const QString other = QStringLiteral("/dev/shm");
    if (!QFileInfo(other).isDir() || !QFileInfo(other).isWritable())
        QSKIP("needs a writable /dev/shm");
    QTemporaryDir elsewhere(other + QStringLiteral("/tst_disksync-XXXXXX"));
    QVERIFY(elsewhere.isValid());
    QVERIFY(makeFile(elsewhere.filePath("data.bin"), "data"));
    QVERIFY(makeFile(path("install/a.dll"), "a"));
    QVERIFY(QFile::link(elsewhere.path(), path("install/data")));

    LogCapture log;
    QVERIFY(DiskSync::flushTree(path("install")));
    QCOMPARE(log.lines(), QStringList());
}

void TestDiskSync::missingTreeFails()
{
    const QString missing = path("missing");
    LogCapture log;
    QVERIFY(!DiskSync::flushTree(missing));
    QCOMPARE(log.lines(),
             QStringList{kWarning + QStringLiteral("\"flush %1 failed,reason:No such file or directory\"").arg(missing)});
}

void TestDiskSync::failureStopsAtFirstTree()
{
    QVERIFY(makeFile(path("install/a.dll"), "a"));
    const QString missing = path("missing");
    LogCapture log;
    QVERIFY(!DiskSync::flushTrees({missing, path("install"), path("also-missing")}));
    // One warning: the first tree that fails ends the call.
    QCOMPARE(log.lines(),
             QStringList{kWarning + QStringLiteral("\"flush %1 failed,reason:No such file or directory\"").arg(missing)});
}

void TestDiskSync::deepTreeIsFlushed()
{
    // Below a path longer than the system takes whole, as the backup may hold.
    QVERIFY(QDir().mkpath(path(QStringLiteral("tree/deep"))));
    {
        const DirHandle dir = DeepTree::open(path(QStringLiteral("tree/deep")), true);
        QVERIFY(dir.isOpen());
        QVERIFY(dir.path().toUtf8().size() > DeepTree::longestWholePath());
        QVERIFY(dir.makeDir(QStringLiteral("bottom")));
    }
    LogCapture log;
    const bool flushed = DiskSync::flushTree(path(QStringLiteral("tree")));
    // QTemporaryDir removes by whole paths.
    QVERIFY(DirHandle::open(path(QStringLiteral("tree"))).removeTree(QStringLiteral("deep")));
    QVERIFY(flushed);
    QCOMPARE(log.lines(), QStringList());
}

QTEST_GUILESS_MAIN(TestDiskSync)
#include "tst_disksync.moc"
