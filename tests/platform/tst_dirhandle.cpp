#include "common/deeptree.h"
#include "common/testhome.h"
#include "fileutil/symlink.h"
#include "platform/dirhandle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// "name" a file, "name/" a directory, "name@target" a link, "deep" a chain of
// directories longer than any path the system takes (DeepTree) with
// a file and a link at the bottom, "latin1/" a directory holding a file whose name is
// not valid UTF-8.
bool make(const QString &root, const QString &entry)
{
    const DirHandle dir = DirHandle::open(root);
    if (entry == QLatin1String("deep")) {
        if (!dir.makeDir(QStringLiteral("deep")))
            return false;
        const DirHandle level = DeepTree::open(dir.pathOf(QStringLiteral("deep")), true);
        return level.isOpen() && level.path().toUtf8().size() > DeepTree::longestWholePath()
            && level.makeDir(QStringLiteral("bottom"))
            && (!SymLink::isSupported() || level.makeLink("bottom", QStringLiteral("link")));
    }
    if (entry == QLatin1String("latin1/")) {
#ifdef Q_OS_WIN
        return dir.makeDir(QStringLiteral("latin1"));
#else
        const DirHandle latin1 = dir.makeDir(QStringLiteral("latin1")) ? dir.openChild(QStringLiteral("latin1"))
                                                                      : DirHandle();
        const int fd = latin1.isOpen() ? ::openat(latin1.fd(), "caf\xe9.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644) : -1;
        return fd >= 0 && ::close(fd) == 0;
#endif
    }
    if (entry.endsWith(QLatin1Char('/')))
        return dir.makeDir(entry.chopped(1));
    if (entry.contains(QLatin1Char('@'))) {
        const QStringList parts = entry.split(QLatin1Char('@'));
        return dir.makeLink(QFile::encodeName(parts.at(1)), parts.at(0));
    }
    QFile file(dir.pathOf(entry));
    return file.open(QIODevice::WriteOnly) && file.write("x") == 1;
}

} // namespace

// An open directory and the entries it holds by their names, at any depth.
class TestDirHandle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void removeTree_data();
    void removeTree();
    void isInside_data();
    void isInside();

private:
    std::unique_ptr<TestHome> m_home;
};

void TestDirHandle::initTestCase()
{
    m_home.reset(new TestHome);
}

void TestDirHandle::removeTree_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("name");
    QTest::newRow("file") << "x" << "x";
    QTest::newRow("empty directory") << "x/" << "x";
    QTest::newRow("tree deeper than any path") << "deep" << "deep";
    QTest::newRow("a name not valid in the encoding") << "latin1/" << "latin1";
    QTest::newRow("link to a directory: the link goes, not what it leads to") << "x@kept" << "x";
    QTest::newRow("nothing there") << "" << "x";
}

void TestDirHandle::removeTree()
{
    QFETCH(QString, entry);
    QFETCH(QString, name);
    if (entry.contains(QLatin1Char('@')) && !SymLink::isSupported())
        QSKIP("the copies keep no links here");
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(make(root.path(), QStringLiteral("kept/")) && make(root.path() + QStringLiteral("/kept"), QStringLiteral("file")));
    QVERIFY(entry.isEmpty() || make(root.path(), entry));

    const DirHandle dir = DirHandle::open(root.path());
    QVERIFY(dir.removeTree(name));
    QCOMPARE(QDir(root.path()).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"kept"});
    QVERIFY(QFileInfo::exists(root.filePath(QStringLiteral("kept/file"))));
}

void TestDirHandle::isInside_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("inside");
    QTest::newRow("a directory") << "sub/" << true;
    QTest::newRow("a link to a directory inside") << "in@sub" << true;
    QTest::newRow("a link to the root itself") << "up@." << true;
    QTest::newRow("a link out") << "out@../elsewhere" << false;
    QTest::newRow("a link to the root's parent") << "parent@.." << false;
}

void TestDirHandle::isInside()
{
    QFETCH(QString, entry);
    QFETCH(bool, inside);
    if (entry.contains(QLatin1Char('@')) && !SymLink::isSupported())
        QSKIP("the copies keep no links here");
    QTemporaryDir top;
    QVERIFY(top.isValid());
    QVERIFY(make(top.path(), QStringLiteral("root/")) && make(top.path(), QStringLiteral("elsewhere/")));
    const QString rootPath = top.filePath(QStringLiteral("root"));
    QVERIFY(make(rootPath, QStringLiteral("sub/")));
    if (entry != QLatin1String("sub/"))
        QVERIFY(make(rootPath, entry));

    const DirHandle root = DirHandle::open(rootPath);
    const DirHandle dir = root.openChild(entry.section(QLatin1Char('@'), 0, 0).remove(QLatin1Char('/')));
    QVERIFY(dir.isOpen());
    QCOMPARE(dir.isInside(root), inside);
    // A loop through a link meets the directory it leads to again.
    if (entry == QLatin1String("up@."))
        QCOMPARE(dir.identity(), root.identity());
}

QTEST_GUILESS_MAIN(TestDirHandle)
#include "tst_dirhandle.moc"
