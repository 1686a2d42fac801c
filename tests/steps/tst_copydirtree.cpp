#include "common/logcapture.h"
#include "common/packagebuilder.h"
#include "common/testhome.h"
#include "steps/updateobject.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {
const QString copySignature =
    QStringLiteral("bool UpdateObject::copyDirTree(const QString&, const QString&, bool)");
const QString verCommonSignature =
    QStringLiteral("bool UpdateObject::updateVerCommonFiles(const QString&, const QString&)");

QString loopWarning(const QString &path)
{
    return QStringLiteral("Warning %1 \"skip link %2,it leads back into the tree being copied\"")
        .arg(copySignature, path);
}

QString outsideWarning(const QString &path)
{
    return QStringLiteral("Warning %1 \"refuse link %2,it leads out of the tree being copied into\"")
        .arg(copySignature, path);
}
} // namespace

// The recursive copy behind both "common" sub-steps of a version step.
class TestCopyDirTree : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void copiesTree_data();
    void copiesTree();
    void missingOrEmptySourceCreatesTarget_data();
    void missingOrEmptySourceCreatesTarget();
    void targetParentMissingFails();
    void withoutOverwriteExistingFileFails();
    void danglingLinkInInstallationIsReplaced();
    void linksAreFollowed();
    void linkLoopInPackageIsSkipped_data();
    void linkLoopInPackageIsSkipped();
    void installedLinks_data();
    void installedLinks();
    void unremovableInstalledFileFails();
    void versionCommonFilesLogLines();

private:
    QString sourcePath() const { return m_dir->path() + QStringLiteral("/package/common"); }
    QString targetPath() const { return m_dir->path() + QStringLiteral("/install"); }

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestCopyDirTree::initTestCase()
{
    m_home.reset(new TestHome);
}

void TestCopyDirTree::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void TestCopyDirTree::cleanup()
{
    m_dir.reset();
}

void TestCopyDirTree::copiesTree_data()
{
    QTest::addColumn<QStringList>("source");
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("new tree into a missing target")
        << QStringList{"a.txt=A", "bin/b.txt=B", "bin/deep/c.txt=C", "empty/"}
        << QStringList() << true
        << QStringList{"a.txt=A", "bin/", "bin/b.txt=B", "bin/deep/", "bin/deep/c.txt=C", "empty/"};
    QTest::newRow("overwrites and leaves other installed files alone")
        << QStringList{"a.txt=new", "bin/b.txt=new", "bin/added.txt=+"}
        << QStringList{"a.txt=old", "bin/b.txt=old", "bin/user.txt=mine", "keep.txt=k"} << true
        << QStringList{"a.txt=new", "bin/", "bin/added.txt=+", "bin/b.txt=new", "bin/user.txt=mine",
                       "keep.txt=k"};
    QTest::newRow("empty file overwrites")
        << QStringList{"a.txt="} << QStringList{"a.txt=old contents"} << true
        << QStringList{"a.txt="};
    QTest::newRow("hidden entries are not copied")
        << QStringList{".hidden=h", "visible=v", ".cfg/x=1", "sub/.h2=2", "sub/v2=3"}
        << QStringList() << true << QStringList{"sub/", "sub/v2=3", "visible=v"};
    // Listing order ignores case: "a.txt" < "Clash" < "z.txt". The copy stops at the clash.
    QTest::newRow("package file, installed directory")
        << QStringList{"a.txt=A", "Clash=new", "z.txt=Z"}
        << QStringList{"Clash/inner=keep"} << false
        << QStringList{"Clash/", "Clash/inner=keep", "a.txt=A"};
    QTest::newRow("package directory, installed file")
        << QStringList{"A.txt=1", "b/x=1", "c.txt=C"}
        << QStringList{"b=file"} << false
        << QStringList{"A.txt=1", "b=file"};
    QTest::newRow("failure deep down ends the whole copy")
        << QStringList{"a/b/c/d.txt=new", "a/b/c/e.txt=E", "b.txt=B"}
        << QStringList{"a/b/c/d.txt/"} << false
        << QStringList{"a/", "a/b/", "a/b/c/", "a/b/c/d.txt/"};
}

void TestCopyDirTree::copiesTree()
{
    QFETCH(QStringList, source);
    QFETCH(QStringList, installed);
    QFETCH(bool, result);
    QFETCH(QStringList, expected);

    PackageBuilder package(sourcePath());
    package.files(source);
    QVERIFY2(package.ok(), qPrintable(package.error()));
    if (!installed.isEmpty()) {
        PackageBuilder installation(targetPath());
        installation.files(installed);
        QVERIFY2(installation.ok(), qPrintable(installation.error()));
    }

    UpdateObject object{QString()};
    QCOMPARE(object.copyDirTree(sourcePath(), targetPath(), true), result);
    QCOMPARE(PackageBuilder::snapshot(targetPath()), expected);
}

void TestCopyDirTree::missingOrEmptySourceCreatesTarget_data()
{
    QTest::addColumn<bool>("sourceExists");
    QTest::newRow("empty source") << true;
    QTest::newRow("missing source") << false;
}

void TestCopyDirTree::missingOrEmptySourceCreatesTarget()
{
    QFETCH(bool, sourceExists);
    if (sourceExists)
        QVERIFY(QDir().mkpath(sourcePath()));

    UpdateObject object{QString()};
    QVERIFY(object.copyDirTree(sourcePath(), targetPath(), true));
    QVERIFY(QFileInfo(targetPath()).isDir());
    QCOMPARE(PackageBuilder::snapshot(targetPath()), QStringList());
}

void TestCopyDirTree::targetParentMissingFails()
{
    PackageBuilder package(sourcePath());
    package.files({"a.txt=A"});
    QVERIFY(package.ok());

    LogCapture log;
    UpdateObject object{QString()};
    const QString target = targetPath() + QStringLiteral("/one/two");
    QVERIFY(!object.copyDirTree(sourcePath(), target, true));
    QVERIFY(!QFileInfo::exists(targetPath()));
    QCOMPARE(log.lines(), QStringList());
}

void TestCopyDirTree::withoutOverwriteExistingFileFails()
{
    PackageBuilder package(sourcePath());
    package.files({"a.txt=A", "b.txt=B", "c.txt=C"});
    PackageBuilder installation(targetPath());
    installation.files({"b.txt=old"});
    QVERIFY(package.ok() && installation.ok());

    UpdateObject object{QString()};
    QVERIFY(!object.copyDirTree(sourcePath(), targetPath(), false));
    QCOMPARE(PackageBuilder::snapshot(targetPath()), (QStringList{"a.txt=A", "b.txt=old"}));
}

void TestCopyDirTree::danglingLinkInInstallationIsReplaced()
{
    PackageBuilder package(sourcePath());
    package.files({"tool.cfg=new"});
    PackageBuilder installation(targetPath());
    installation.link(QStringLiteral("tool.cfg"), QStringLiteral("gone/nowhere"));
    QVERIFY(package.ok() && installation.ok());

    UpdateObject object{QString()};
    QVERIFY(object.copyDirTree(sourcePath(), targetPath(), true));
    QCOMPARE(PackageBuilder::snapshot(targetPath()), QStringList{"tool.cfg=new"});
}

void TestCopyDirTree::linksAreFollowed()
{
#ifdef Q_OS_WIN
    QSKIP("symbolic links in the tree: QFile::link makes shell links (.lnk files) on Windows");
#endif
    // Links that do not loop are judged by what they point to: a directory linked twice
    // is copied twice as real directories, a linked file arrives as a file, and a
    // dangling link (a system entry) is not listed at all.
    PackageBuilder outside(m_dir->path() + QStringLiteral("/outside"));
    outside.files({"shared/lib.txt=L", "readme=R"});
    PackageBuilder package(sourcePath());
    package.link(QStringLiteral("first"), outside.path(QStringLiteral("shared")))
        .link(QStringLiteral("second"), QStringLiteral("../../outside/shared"))
        .link(QStringLiteral("readme.txt"), outside.path(QStringLiteral("readme")))
        .link(QStringLiteral("dangling"), QStringLiteral("no/such/file"));
    QVERIFY(outside.ok() && package.ok());

    UpdateObject object{QString()};
    QVERIFY(object.copyDirTree(sourcePath(), targetPath(), true));
    QCOMPARE(PackageBuilder::snapshot(targetPath()),
             (QStringList{"first/", "first/lib.txt=L", "readme.txt=R", "second/", "second/lib.txt=L"}));
}

void TestCopyDirTree::linkLoopInPackageIsSkipped_data()
{
    QTest::addColumn<QString>("linkPath");
    QTest::addColumn<QString>("linkTarget");

    QTest::newRow("link to the root being copied") << "sub/up" << "..";
    QTest::newRow("link to its own directory") << "sub/self" << ".";
    QTest::newRow("link two levels up") << "sub/deeper/top" << "../..";
    QTest::newRow("absolute link to the root") << "sub/abs" << "";
}

void TestCopyDirTree::linkLoopInPackageIsSkipped()
{
#ifdef Q_OS_WIN
    QSKIP("symbolic links in the tree: QFile::link makes shell links (.lnk files) on Windows");
#endif
    QFETCH(QString, linkPath);
    QFETCH(QString, linkTarget);
    if (linkTarget.isEmpty())
        linkTarget = sourcePath();

    PackageBuilder package(sourcePath());
    package.files({"a.txt=A", "sub/b.txt=B", "sub/deeper/c.txt=C", "z.txt=Z"}).link(linkPath, linkTarget);
    QVERIFY2(package.ok(), qPrintable(package.error()));

    LogCapture log;
    UpdateObject object{QString()};
    QVERIFY(object.copyDirTree(sourcePath(), targetPath(), true));
    QCOMPARE(PackageBuilder::snapshot(targetPath()),
             (QStringList{"a.txt=A", "sub/", "sub/b.txt=B", "sub/deeper/", "sub/deeper/c.txt=C", "z.txt=Z"}));
    QCOMPARE(log.lines(), QStringList{loopWarning(QStringLiteral("%1/%2").arg(sourcePath(), linkPath))});
}

void TestCopyDirTree::installedLinks_data()
{
    QTest::addColumn<QString>("linkTarget"); // relative to the test directory
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<QString>("written"); // where the package's inner/f.txt lands, if anywhere

    // Writing through these would change files outside the installation, the package's
    // own among them; the step fails instead (and the backup goes back).
    QTest::newRow("installed link below the source")
        << "package/common/inner/deeper" << false << "outside" << QString();
    QTest::newRow("installed link onto the source") << "package/common/inner" << false << "outside" << QString();
    QTest::newRow("installed link to a directory elsewhere") << "elsewhere" << false << "outside" << QString();
    // Inside the installation a link is written through, as before.
    QTest::newRow("installed link inside the installation") << "install/real" << true << QString()
                                                            << "install/real/f.txt";
    // Without the guard each level would create the next one below itself.
    QTest::newRow("installed link to its own parent") << "install" << true << "loop" << QString();
}

void TestCopyDirTree::installedLinks()
{
#ifdef Q_OS_WIN
    QSKIP("symbolic links in the tree: QFile::link makes shell links (.lnk files) on Windows");
#endif
    QFETCH(QString, linkTarget);
    QFETCH(bool, result);
    QFETCH(QString, warning);
    QFETCH(QString, written);
#ifdef Q_OS_WIN
    QSKIP("Unix links only");
#endif

    PackageBuilder package(sourcePath());
    package.files({"inner/f.txt=F", "inner/deeper/g.txt=G"});
    PackageBuilder elsewhere(m_dir->path() + QStringLiteral("/elsewhere"));
    elsewhere.files({"mine.txt=M"});
    PackageBuilder installation(targetPath());
    installation.dir(QStringLiteral("real")).link(QStringLiteral("inner"), m_dir->path() + QLatin1Char('/') + linkTarget);
    QVERIFY(package.ok() && elsewhere.ok() && installation.ok());
    const QStringList packageBefore = PackageBuilder::snapshot(sourcePath());

    LogCapture log;
    UpdateObject object{QString()};
    QCOMPARE(object.copyDirTree(sourcePath(), targetPath(), true), result);
    const QString link = targetPath() + QStringLiteral("/inner");
    if (warning == QLatin1String("outside"))
        QCOMPARE(log.lines(), QStringList{outsideWarning(link)});
    else if (warning == QLatin1String("loop"))
        QCOMPARE(log.lines(), QStringList{loopWarning(link)});
    else
        QCOMPARE(log.lines(), QStringList());
    if (!written.isEmpty())
        QCOMPARE(PackageBuilder::readFile(m_dir->path() + QLatin1Char('/') + written), QByteArray("F"));
    // Nothing outside the installation changed.
    QCOMPARE(PackageBuilder::snapshot(sourcePath()), packageBefore);
    QCOMPARE(PackageBuilder::snapshot(elsewhere.root()), QStringList{"mine.txt=M"});
}

void TestCopyDirTree::unremovableInstalledFileFails()
{
#ifdef Q_OS_WIN
    QSKIP("a directory's permissions do not stop removal on Windows; the clash rows cover removal failures");
#else
    if (::geteuid() == 0)
        QSKIP("root removes files from read-only directories; the clash rows cover removal failures");
#endif

    PackageBuilder package(sourcePath());
    package.files({"locked/a.txt=new", "z.txt=Z"});
    PackageBuilder installation(targetPath());
    installation.files({"locked/a.txt=old"});
    QVERIFY(package.ok() && installation.ok());
    const QString locked = installation.path(QStringLiteral("locked"));
    QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));

    UpdateObject object{QString()};
    const bool result = object.copyDirTree(sourcePath(), targetPath(), true);
    QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(!result);
    QCOMPARE(PackageBuilder::snapshot(targetPath()), (QStringList{"locked/", "locked/a.txt=old"}));
}

void TestCopyDirTree::versionCommonFilesLogLines()
{
    PackageBuilder package(sourcePath());
    package.files({"a.txt=A"});
    QVERIFY(package.ok());

    LogCapture log;
    UpdateObject object{QString()};
    QVERIFY(object.updateVerCommonFiles(sourcePath(), targetPath() + QLatin1Char('/')));
    QCOMPARE(PackageBuilder::snapshot(targetPath()), QStringList{"a.txt=A"});
    QCOMPARE(log.lines(), QStringList{"Debug " + verCommonSignature + " copy version common files"});

    log.clear();
    QVERIFY(!object.updateVerCommonFiles(sourcePath(), targetPath() + QStringLiteral("/no/parent/")));
    QCOMPARE(log.lines(), (QStringList{"Debug " + verCommonSignature + " copy version common files",
                                       "Debug " + verCommonSignature + " copy version common failed"}));
}

QTEST_GUILESS_MAIN(TestCopyDirTree)
#include "tst_copydirtree.moc"
