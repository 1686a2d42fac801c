#include "package/removallist.h"
#include "common/packagebuilder.h"
#include "common/scopedcurrentdir.h"
#include "common/testhome.h"
#include "db/dbcontrol.h"
#include "platform/registrystore.h"
#include "steps/formalupdateo.h"
#include "updater/cvupdater.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString step1 = QStringLiteral("3_4_to_3_5");
const QString step2 = QStringLiteral("3_5_to_3_6");

// "path=bytes" rows of files the older release shipped, as a step's "remove.list".
QByteArray removalList(const QStringList &rows)
{
    RemovalList list;
    for (const QString &row : rows) {
        const QByteArray bytes = row.section(QLatin1Char('='), 1).toUtf8();
        list.addFile(row.section(QLatin1Char('='), 0, 0), bytes.size(),
                     QCryptographicHash::hash(bytes, QCryptographicHash::Sha256));
    }
    return list.toText();
}

// Every entry below root: a directory as "/", a file by the hash of its bytes.
QMap<QString, QByteArray> state(const QString &root)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries.insert(path, it.fileInfo().isDir() ? QByteArray("/")
                                                   : QCryptographicHash::hash(PackageBuilder::readFile(path),
                                                                              QCryptographicHash::Sha256));
    }
    return entries;
}

// The paths whose entry appeared, went or changed.
QStringList changedPaths(const QMap<QString, QByteArray> &before, const QMap<QString, QByteArray> &after)
{
    QStringList paths = before.keys() + after.keys();
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    QStringList changed;
    for (const QString &path : qAsConst(paths)) {
        if (before.value(path) != after.value(path))
            changed << path;
    }
    return changed;
}

} // namespace

// The plan against the run that follows it, on real files: every path it names is what
// the run changes, and nothing else changes.
class TestStepPlan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void planListsWhatTheRunChanges_data();
    void planListsWhatTheRunChanges();

private:
    QString installPath() const { return m_root.path() + QStringLiteral("/install"); }
    QString packagePath() const { return m_root.path() + QStringLiteral("/package"); }

    std::unique_ptr<TestHome> m_home;
    QTemporaryDir m_root;
};

void TestStepPlan::initTestCase()
{
    m_home.reset(new TestHome);
    QVERIFY(m_root.isValid());
    const std::unique_ptr<QSettings> key = RegistryStore::open(QStringLiteral(
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ostrelle"));
    key->setValue(QStringLiteral("DisplayVersion"), QStringLiteral("3.4"));
    key->setValue(QStringLiteral("DisplayIcon"), installPath() + QStringLiteral("/app.exe"));
    QVERIFY(RegistryStore::commit(*key));
    PackageBuilder programDir(m_root.path() + QStringLiteral("/program"));
    programDir.markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.6"}});
    QVERIFY(programDir.ok());
    CVUpdater::setProgramDir(programDir.root());
    QCOMPARE(CVUpdater::getInstance()->getInstallPath(), installPath());
}

void TestStepPlan::cleanupTestCase()
{
    DBControl::getInstance()->closeDB();
    delete CVUpdater::getInstance();
    CVUpdater::setProgramDir(QString());
}

void TestStepPlan::planListsWhatTheRunChanges_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("removed");

    // Copies over installed files and into a new directory, an INI merged and one new, a
    // file replaced in config/, a removal (and a changed file it keeps), a script.
    QTest::newRow("one step") << QStringList{step1}
                              << QStringList{"application/common/app.exe=v2", step1 + "/common/bin/new/tool.txt=t",
                                             step1 + "/config/layout.xml=<two/>"}
                              << QStringList{"old/gone.txt=release", "old/changed.txt=release"};
    // The second step merges the INI file the first one copied as new, and removes a file
    // as the first one copied it; the package's common tree is copied at both.
    QTest::newRow("two steps") << QStringList{step1, step2}
                               << QStringList{"application/common/app.exe=v2", step1 + "/common/bin/lib.txt=3.5",
                                              step2 + "/common/bin/new.txt=3.6"}
                               << QStringList{"bin/lib.txt=3.5"};
}

void TestStepPlan::planListsWhatTheRunChanges()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, files);
    QFETCH(QStringList, removed);

    DBControl::getInstance()->closeDB();
    QVERIFY(QDir(installPath()).removeRecursively());
    QVERIFY(QDir(packagePath()).removeRecursively());
    PackageBuilder installation(installPath());
    installation.files({"app.exe=v1", "bin/lib.txt=3.4", "old/gone.txt=release", "old/changed.txt=mine"})
        .file(QStringLiteral("config/layout.xml"), "<one/>")
        .markedIni(QStringLiteral("config/app.ini"), {{"main/lang", "en"}, {"user/recent", "a.txt"}})
        .database(QStringLiteral("kqdata.db"), {"CREATE TABLE person(id INTEGER PRIMARY KEY, name TEXT)"});
    PackageBuilder package(packagePath());
    for (const QString &row : files)
        package.files({row.startsWith(QLatin1String("application/")) ? row : "application/" + row});
    package.file(PackageBuilder::stepPath(steps.last(), QLatin1String(RemovalList::kFileName)), removalList(removed))
        .markedIni(PackageBuilder::stepPath(steps.first(), "config/app.ini"), {{"main/lang", "es"}})
        .markedIni(PackageBuilder::stepPath(steps.first(), "config/new.ini"), {{"a/b", "1"}})
        .markedIni(PackageBuilder::stepPath(steps.last(), "config/new.ini"), {{"a/b", "2"}})
        .sqlScript(steps.last(), "ALTER TABLE person ADD COLUMN email TEXT;\n");
    QVERIFY2(installation.ok() && package.ok(), qPrintable(installation.error() + package.error()));
    ScopedCurrentDir cwd(packagePath());
    DBControl::getInstance()->openDB();
    QVERIFY(DBControl::getInstance()->isOpened());

    FormalUpdateO object(installPath());
    const QStringList planned = object.plan(steps).touchedPaths();
    // Files in use are judged on every installed file a removal list names, kept or not:
    // one held open could not even be read to tell.
    const QStringList replaced = object.plan(steps).replacedFiles();
    for (const QString &row : qAsConst(removed)) {
        const QString path = installPath() + QLatin1Char('/') + row.section(QLatin1Char('='), 0, 0);
        QVERIFY2(!QFileInfo(path).isFile() || replaced.contains(path), qPrintable(path));
    }
    const QMap<QString, QByteArray> before = state(installPath());
    QVERIFY(object.execUpdate(steps));
    DBControl::getInstance()->closeDB();
    QCOMPARE(planned, changedPaths(before, state(installPath())));
}

QTEST_GUILESS_MAIN(TestStepPlan)
#include "tst_stepplan.moc"
