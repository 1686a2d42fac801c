#include "app/zrpubmethod.h"
#include "common/logcapture.h"
#include "common/packagebuilder.h"
#include "common/scopedcurrentdir.h"
#include "common/testhome.h"
#include "fileutil/recursionguard.h"
#include "log/logmessagehandler.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

const QString kWarning = QStringLiteral("Warning bool ZRPubMethod::copyDir(QDir, QDir, bool, qint64) ");

bool makeFile(const QString &path, const QByteArray &bytes)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every entry below root, hidden ones included and links not followed, as relative
// paths; directories end in "/", links in "@".
QStringList treeOf(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        QString entry = base.relativeFilePath(info.filePath());
        if (info.isSymLink())
            entry += QLatin1Char('@');
        else if (info.isDir())
            entry += QLatin1Char('/');
        entries << entry;
    }
    entries.sort();
    return entries;
}

bool copy(const QString &source, const QString &target, bool overwrite = true)
{
    return ZRPubMethod::getInstance()->copyDir(QDir(source), QDir(target), overwrite);
}

} // namespace

class TestCopyDir : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void emptySourceMakesEmptyTarget();
    void missingTargetParentFailsWithoutLogLine();
    void copiesTreeAndBytes();
    void reservedNames_data();
    void reservedNames();
    void hiddenEntriesSkipped();
    void overwriteReplacesEntriesNotWhatTheyPointTo();
    void unremovableTargetStopsWholeCopy();
    void existingFileWithoutOverwriteStops();
    void warningReachesLogFile();
    void disabledWarningsLeaveNoLine();
    void linksAreCopiedAsLinks();
    void linksInTargetAreReplacedNotWrittenThrough();
    void undecodableNameIsWarned();
    void recursionGuard();

private:
    QString src() const { return m_dir->filePath(QStringLiteral("src")); }
    QString dst() const { return m_dir->filePath(QStringLiteral("dst")); }

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestCopyDir::initTestCase()
{
    m_home.reset(new TestHome);
}

void TestCopyDir::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("src")));
}

void TestCopyDir::cleanup()
{
    QLoggingCategory::setFilterRules(QString());
    m_dir.reset();
}

void TestCopyDir::emptySourceMakesEmptyTarget()
{
    LogCapture log;
    QVERIFY(copy(src(), dst()));
    QVERIFY(QFileInfo(dst()).isDir());
    QCOMPARE(treeOf(dst()), QStringList());
    QVERIFY(log.lines().isEmpty());
}

void TestCopyDir::missingTargetParentFailsWithoutLogLine()
{
    QVERIFY(makeFile(src() + QStringLiteral("/a.txt"), "a"));
    const QString target = m_dir->filePath(QStringLiteral("missing/dst"));

    LogCapture log;
    QVERIFY(!copy(src(), target));
    QVERIFY(!QFileInfo::exists(m_dir->filePath(QStringLiteral("missing"))));
    QCOMPARE(log.lines(), QStringList());
}

void TestCopyDir::copiesTreeAndBytes()
{
    QByteArray binary;
    for (int i = 0; i < 70000; ++i)
        binary.append(char(i * 7));
    QVERIFY(makeFile(src() + QStringLiteral("/kqdata.db"), binary));
    QVERIFY(makeFile(src() + QStringLiteral("/config/app.ini"), "[APP]\nNAME=x\n"));
    QVERIFY(makeFile(src() + QStringLiteral("/plugins/sqldrivers/libqsqlite.so"), "so"));
    QVERIFY(makeFile(src() + QString::fromUtf8("/数据/Grüße.txt"), "utf"));
    QVERIFY(makeFile(src() + QStringLiteral("/with blank.txt"), ""));
    QVERIFY(QDir(src()).mkdir(QStringLiteral("empty")));

    LogCapture log;
    QVERIFY(copy(src(), dst()));
    QCOMPARE(treeOf(dst()), (QStringList{QStringLiteral("config/"),
                                         QStringLiteral("config/app.ini"), QStringLiteral("empty/"),
                                         QStringLiteral("kqdata.db"), QStringLiteral("plugins/"),
                                         QStringLiteral("plugins/sqldrivers/"),
                                         QStringLiteral("plugins/sqldrivers/libqsqlite.so"),
                                         QStringLiteral("with blank.txt"), QString::fromUtf8("数据/"),
                                         QString::fromUtf8("数据/Grüße.txt")}));
    QCOMPARE(readFile(dst() + QStringLiteral("/kqdata.db")), binary);
    QCOMPARE(readFile(dst() + QString::fromUtf8("/数据/Grüße.txt")), QByteArray("utf"));
    QVERIFY(log.lines().isEmpty());
}

void TestCopyDir::reservedNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("isDir");
    QTest::addColumn<bool>("copied");
    QTest::addColumn<bool>("copiedBelowTop");

    // The installation's own folders are left out at the top only: a package's
    // "share/mime/image" must come back on restore like any other folder.
    const QStringList topFolders{QStringLiteral("image"), QStringLiteral("log"), QStringLiteral("Updater"),
                                 QStringLiteral("backup")};
    for (const QString &name : topFolders) {
        QTest::addRow("%s as directory", qPrintable(name)) << name << true << false << true;
        QTest::addRow("%s as file", qPrintable(name)) << name << false << false << true;
    }
    // The flag file, the lock and the installer's log are left out wherever they stand.
    const QStringList fileNames{QStringLiteral("UPDATER.ini"), QStringLiteral("install.log"),
                                QStringLiteral("UPDATER.lock")};
    for (const QString &name : fileNames) {
        QTest::addRow("%s as directory", qPrintable(name)) << name << true << false << false;
        QTest::addRow("%s as file", qPrintable(name)) << name << false << false << false;
    }
    // Only the exact names are reserved.
    const QStringList lookalikes{QStringLiteral("Log"), QStringLiteral("LOG"), QStringLiteral("logs"),
                                 QStringLiteral("log.txt"), QStringLiteral("Backup"), QStringLiteral("backup2"),
                                 QStringLiteral("updater"), QStringLiteral("Updater.exe"),
                                 QStringLiteral("updater.ini"), QStringLiteral("UPDATER.ini.bak"),
                                 QStringLiteral("Install.log"), QStringLiteral("install.log.1"),
                                 QStringLiteral("images"), QStringLiteral("IMAGE")};
    for (const QString &name : lookalikes) {
        QTest::addRow("%s as directory", qPrintable(name)) << name << true << true << true;
        QTest::addRow("%s as file", qPrintable(name)) << name << false << true << true;
    }
}

void TestCopyDir::reservedNames()
{
    QFETCH(QString, name);
    QFETCH(bool, isDir);
    QFETCH(bool, copied);
    QFETCH(bool, copiedBelowTop);

    // The name at the top and three levels down, beside an ordinary file.
    const QStringList parents{QString(), QStringLiteral("a/b/c/")};
    for (const QString &parent : parents) {
        const QString entry = src() + QLatin1Char('/') + parent + name;
        QVERIFY(makeFile(isDir ? entry + QStringLiteral("/inner.txt") : entry, "x"));
        QVERIFY(makeFile(src() + QLatin1Char('/') + parent + QStringLiteral("keep.txt"), "k"));
    }

    QVERIFY(copy(src(), dst()));

    QStringList expected{QStringLiteral("a/"), QStringLiteral("a/b/"), QStringLiteral("a/b/c/"),
                         QStringLiteral("a/b/c/keep.txt"), QStringLiteral("keep.txt")};
    for (const QString &parent : parents) {
        if (parent.isEmpty() ? copied : copiedBelowTop) {
            if (isDir)
                expected << parent + name + QLatin1Char('/') << parent + name + QStringLiteral("/inner.txt");
            else
                expected << parent + name;
        }
    }
    expected.sort();
    QCOMPARE(treeOf(dst()), expected);
}

void TestCopyDir::hiddenEntriesSkipped()
{
    QVERIFY(makeFile(src() + QStringLiteral("/.hidden"), "h"));
    QVERIFY(makeFile(src() + QStringLiteral("/.git/config"), "h"));
    QVERIFY(makeFile(src() + QStringLiteral("/sub/.hidden.ini"), "h"));
    QVERIFY(makeFile(src() + QStringLiteral("/sub/visible.ini"), "v"));

    QVERIFY(copy(src(), dst()));
    QCOMPARE(treeOf(dst()), (QStringList{QStringLiteral("sub/"), QStringLiteral("sub/visible.ini")}));
}

void TestCopyDir::overwriteReplacesEntriesNotWhatTheyPointTo()
{
    QVERIFY(makeFile(src() + QStringLiteral("/a.txt"), "new a"));
    QVERIFY(makeFile(src() + QStringLiteral("/sub/b.txt"), "new b"));
    QVERIFY(makeFile(src() + QStringLiteral("/linked.txt"), "new linked"));
    QVERIFY(makeFile(src() + QStringLiteral("/dangling.txt"), "new dangling"));

    QVERIFY(makeFile(dst() + QStringLiteral("/a.txt"), "old a, longer than the new one"));
    QVERIFY(makeFile(dst() + QStringLiteral("/sub/b.txt"), "old b"));
    QVERIFY(QFile::setPermissions(dst() + QStringLiteral("/sub/b.txt"), QFile::ReadOwner));
    QVERIFY(makeFile(dst() + QStringLiteral("/extra.txt"), "stays"));
    const QString outside = m_dir->filePath(QStringLiteral("outside.txt"));
    QVERIFY(makeFile(outside, "outside"));
    QVERIFY(QFile::link(outside, dst() + QStringLiteral("/linked.txt")));
    QVERIFY(QFile::link(m_dir->filePath(QStringLiteral("nowhere")), dst() + QStringLiteral("/dangling.txt")));

    LogCapture log;
    QVERIFY(copy(src(), dst()));
    QCOMPARE(readFile(dst() + QStringLiteral("/a.txt")), QByteArray("new a"));
    QCOMPARE(readFile(dst() + QStringLiteral("/sub/b.txt")), QByteArray("new b"));
    QCOMPARE(readFile(dst() + QStringLiteral("/extra.txt")), QByteArray("stays"));
    // A link in the target is replaced by the file; what it pointed to stays untouched.
    QVERIFY(!QFileInfo(dst() + QStringLiteral("/linked.txt")).isSymLink());
    QCOMPARE(readFile(dst() + QStringLiteral("/linked.txt")), QByteArray("new linked"));
    QCOMPARE(readFile(outside), QByteArray("outside"));
    QVERIFY(!QFileInfo(dst() + QStringLiteral("/dangling.txt")).isSymLink());
    QCOMPARE(readFile(dst() + QStringLiteral("/dangling.txt")), QByteArray("new dangling"));
    QVERIFY(log.lines().isEmpty());
}

void TestCopyDir::unremovableTargetStopsWholeCopy()
{
    // A directory where the source has a file cannot be removed as a file. This holds
    // for every user, root included, unlike a read-only file: removing a file needs
    // only write access to its directory, which root always has.
    QVERIFY(makeFile(src() + QStringLiteral("/a.txt"), "a"));
    QVERIFY(makeFile(src() + QStringLiteral("/sub/b.txt"), "b"));
    QVERIFY(makeFile(src() + QStringLiteral("/sub/c.txt"), "c"));
    QVERIFY(makeFile(src() + QStringLiteral("/z.txt"), "z"));
    QVERIFY(makeFile(dst() + QStringLiteral("/sub/b.txt/inner"), "in the way"));

    LogCapture log;
    QVERIFY(!copy(src(), dst()));
    QCOMPARE(log.lines(), QStringList{kWarning + QStringLiteral("\"remove b.txt failed\"")});
    // Entries before the failure were copied; nothing after it, at any level.
    QCOMPARE(treeOf(dst()), (QStringList{QStringLiteral("a.txt"), QStringLiteral("sub/"),
                                         QStringLiteral("sub/b.txt/"), QStringLiteral("sub/b.txt/inner")}));
}

void TestCopyDir::existingFileWithoutOverwriteStops()
{
    QVERIFY(makeFile(src() + QStringLiteral("/a.txt"), "a"));
    QVERIFY(makeFile(src() + QStringLiteral("/b.txt"), "new b"));
    QVERIFY(makeFile(src() + QStringLiteral("/c.txt"), "c"));
    QVERIFY(makeFile(dst() + QStringLiteral("/b.txt"), "old b"));

    LogCapture log;
    QVERIFY(!copy(src(), dst(), false));
    QCOMPARE(log.lines(), QStringList{kWarning + QStringLiteral("\"copy b.txt failed,reason:Destination file exists\"")});
    QCOMPARE(readFile(dst() + QStringLiteral("/b.txt")), QByteArray("old b"));
    QCOMPARE(treeOf(dst()), (QStringList{QStringLiteral("a.txt"), QStringLiteral("b.txt")}));
}

void TestCopyDir::warningReachesLogFile()
{
    QVERIFY(makeFile(src() + QStringLiteral("/b.txt"), "b"));
    QVERIFY(makeFile(dst() + QStringLiteral("/b.txt/inner"), "in the way"));
    const QString workDir = m_dir->filePath(QStringLiteral("work"));
    QVERIFY(QDir().mkpath(workDir + QStringLiteral("/log")));

    bool copied = true;
    {
        ScopedCurrentDir cwd(workDir);
        const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
        copied = copy(src(), dst());
        qInstallMessageHandler(previous);
    }
    QVERIFY(!copied);

    QDir logDir(workDir + QStringLiteral("/log"));
    const QStringList logs = logDir.entryList(QDir::Files);
    QCOMPARE(logs.size(), 1);
    const QString text = QString::fromLocal8Bit(readFile(logDir.filePath(logs.constFirst())));
    const QRegularExpression line(QStringLiteral(
        "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} Warning bool ZRPubMethod::copyDir\\(QDir, QDir, bool, qint64\\) "
        "\"remove b\\.txt failed\"\r\n$"));
    QVERIFY2(line.match(text).hasMatch(), qPrintable(text));
}

void TestCopyDir::disabledWarningsLeaveNoLine()
{
    QVERIFY(makeFile(src() + QStringLiteral("/b.txt"), "b"));
    QVERIFY(makeFile(dst() + QStringLiteral("/b.txt"), "old"));
    QLoggingCategory::setFilterRules(QStringLiteral("ZR_LOG.A.warning=false"));

    LogCapture log;
    QVERIFY(!copy(src(), dst(), false));
    QVERIFY(log.lines().isEmpty());
}

void TestCopyDir::linksAreCopiedAsLinks()
{
#ifdef Q_OS_WIN
    QSKIP("links are kept as links where they are Unix links");
#else
    // Links keep their own text: relative ones, links back into the tree (which would
    // be followed without end), links out of it and dangling ones. None is followed.
    const QString outside = m_dir->filePath(QStringLiteral("outside"));
    QVERIFY(makeFile(outside + QStringLiteral("/big.bin"), "outside"));
    QVERIFY(makeFile(src() + QStringLiteral("/a/file.txt"), "f"));
    QVERIFY(makeFile(src() + QStringLiteral("/y/shared.txt"), "s"));
    QVERIFY(makeFile(src() + QStringLiteral("/kqdata.db"), "db"));
    const QList<QPair<QString, QString>> links{{QStringLiteral("alias.db"), QStringLiteral("kqdata.db")},
                                               {QStringLiteral("a/loop"), QStringLiteral("..")},
                                               {QStringLiteral("a/self"), QStringLiteral(".")},
                                               {QStringLiteral("a/root"), src()},
                                               {QStringLiteral("x/sibling"), QStringLiteral("../y")},
                                               {QStringLiteral("lib.so"), QStringLiteral("a/file.txt")},
                                               {QStringLiteral("out"), outside},
                                               {QStringLiteral("dangling"), QStringLiteral("no/such/file")}};
    QVERIFY(QDir(src()).mkdir(QStringLiteral("x")));
    for (const auto &link : links)
        QVERIFY(QFile::link(link.second, src() + QLatin1Char('/') + link.first));

    LogCapture log;
    QVERIFY(copy(src(), dst()));
    QVERIFY(log.lines().isEmpty());
    for (const auto &link : links)
        QCOMPARE(PackageBuilder::linkText(dst() + QLatin1Char('/') + link.first), link.second);
    QCOMPARE(treeOf(dst()), (QStringList{QStringLiteral("a/"), QStringLiteral("a/file.txt"), QStringLiteral("a/loop@"),
                                         QStringLiteral("a/root@"), QStringLiteral("a/self@"),
                                         QStringLiteral("alias.db@"), QStringLiteral("dangling@"),
                                         QStringLiteral("kqdata.db"), QStringLiteral("lib.so@"),
                                         QStringLiteral("out@"), QStringLiteral("x/"), QStringLiteral("x/sibling@"),
                                         QStringLiteral("y/"), QStringLiteral("y/shared.txt")}));
#endif
}

void TestCopyDir::linksInTargetAreReplacedNotWrittenThrough()
{
#ifdef Q_OS_WIN
    QSKIP("links are kept as links where they are Unix links");
#else
    // The target holds a link where the source has a directory (copied anew into a real
    // directory, never through the link), and directories or files where the source has
    // a link (an earlier copy that followed it).
    const QString outside = m_dir->filePath(QStringLiteral("outside"));
    QVERIFY(makeFile(outside + QStringLiteral("/conf.txt"), "outside"));
    QVERIFY(makeFile(src() + QStringLiteral("/data/conf.txt"), "inside"));
    QVERIFY(QFile::link(QStringLiteral("data"), src() + QStringLiteral("/lk")));
    QVERIFY(QFile::link(QStringLiteral("data/conf.txt"), src() + QStringLiteral("/conf")));
    QVERIFY(QDir().mkpath(dst()));
    QVERIFY(QFile::link(outside, dst() + QStringLiteral("/data")));
    QVERIFY(makeFile(dst() + QStringLiteral("/lk/conf.txt"), "old copy"));
    QVERIFY(makeFile(dst() + QStringLiteral("/conf"), "old copy"));

    QVERIFY(copy(src(), dst()));
    QCOMPARE(readFile(outside + QStringLiteral("/conf.txt")), QByteArray("outside"));
    QCOMPARE(treeOf(dst()), (QStringList{QStringLiteral("conf@"), QStringLiteral("data/"),
                                         QStringLiteral("data/conf.txt"), QStringLiteral("lk@")}));
    QCOMPARE(readFile(dst() + QStringLiteral("/data/conf.txt")), QByteArray("inside"));
    QCOMPARE(PackageBuilder::linkText(dst() + QStringLiteral("/lk")), QStringLiteral("data"));
#endif
}

void TestCopyDir::undecodableNameIsWarned()
{
#ifdef Q_OS_WIN
    QSKIP("Windows has no such names");
#else
    // A name that is not valid in the file name encoding cannot be listed, let alone
    // copied; the copy goes on without it but says so, naming it as well as it can.
    QVERIFY(makeFile(src() + QStringLiteral("/sub/ok.txt"), "ok"));
    const QByteArray raw = QFile::encodeName(src()) + "/sub/caf\xe9.txt";
    const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    QVERIFY(fd >= 0);
    ::close(fd);

    LogCapture log;
    QVERIFY(copy(src(), dst()));
    QCOMPARE(treeOf(dst()), (QStringList{QStringLiteral("sub/"), QStringLiteral("sub/ok.txt")}));
    QCOMPARE(log.lines(),
             QStringList{kWarning + QStringLiteral("\"skip sub/caf\\\\xE9.txt,its name is not valid in the file name encoding\"")});
#endif
}

void TestCopyDir::recursionGuard()
{
#ifdef Q_OS_WIN
    QSKIP("symbolic links in the tree: QFile::link makes shell links (.lnk files) on Windows");
#endif
    const QString a = m_dir->filePath(QStringLiteral("a"));
    const QString b = a + QStringLiteral("/b");
    QVERIFY(QDir().mkpath(b));
    QVERIFY(QFile::link(a, b + QStringLiteral("/up")));

    RecursionGuard guard;
    QVERIFY(guard.enter(a));
    QVERIFY(guard.enter(b));
    QCOMPARE(guard.depth(), 2);
    // The same directory under another spelling or through a link.
    QVERIFY(!guard.enter(b + QStringLiteral("/up")));
    QVERIFY(!guard.enter(a + QStringLiteral("/./b/..")));
    QCOMPARE(guard.depth(), 2);
    guard.leave();
    guard.leave();
    QCOMPARE(guard.depth(), 0);
    QVERIFY(guard.enter(b + QStringLiteral("/up")));
    QVERIFY(guard.enter(b));
    QVERIFY(!guard.enter(a));
}

QTEST_GUILESS_MAIN(TestCopyDir)
#include "tst_copydir.moc"
