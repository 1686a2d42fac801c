#include "common/testhome.h"
#include "fileutil/dirlisting.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

// The copies' listing must be the one of a QDir made from a path, which they used before.
class TestDirListing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sameAsQDir_data();
    void sameAsQDir();
    void missingDirectoryIsEmpty();

private:
    std::unique_ptr<TestHome> m_home;
};

void TestDirListing::initTestCase()
{
    m_home.reset(new TestHome);
}

void TestDirListing::sameAsQDir_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("expected");
    // "name" a file, "name/" a directory, "name@target" a link, "name|" a FIFO.
    QTest::newRow("empty") << QStringList() << QStringList();
    QTest::newRow("case is ignored")
        << QStringList{"b.txt", "C.txt", "a.txt", "Backup/", "bin/"}
        << QStringList{"a.txt", "b.txt", "Backup", "bin", "C.txt"};
    QTest::newRow("digits, signs and non-ASCII")
        << QStringList{"file10", "file2", "_x", "-y", "Ärger", "zeta", "1"}
        << QStringList{"-y", "1", "_x", "file10", "file2", "zeta", "Ärger"};
    QTest::newRow("hidden entries are left out")
        << QStringList{".hidden", ".git/", "shown"} << QStringList{"shown"};
    QTest::newRow("links count by what they point to; dangling ones and FIFOs are system entries")
        << QStringList{"real", "to-real@real", "dangling@nowhere", "dir/", "to-dir@dir", "pipe|"}
        << QStringList{"dir", "real", "to-dir", "to-real"};
}

void TestDirListing::sameAsQDir()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const QString &entry : qAsConst(entries)) {
        if (entry.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir(dir.path()).mkdir(entry.chopped(1)));
        } else if (entry.contains(QLatin1Char('@'))) {
            const QStringList parts = entry.split(QLatin1Char('@'));
            QVERIFY(QFile::link(parts.at(1), dir.filePath(parts.at(0))));
        } else if (entry.endsWith(QLatin1Char('|'))) {
#ifdef Q_OS_WIN
            QSKIP("FIFOs are a Unix matter");
#else
            QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath(entry.chopped(1))).constData(), 0644), 0);
#endif
        } else {
            QFile file(dir.filePath(entry));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    }

    const QStringList names = DirListing::sortedNames(dir.path());
    QCOMPARE(names, expected);
    QStringList byQDir = QDir(dir.path()).entryList();
    byQDir.removeAll(QStringLiteral("."));
    byQDir.removeAll(QStringLiteral(".."));
    QCOMPARE(names, byQDir);
}

void TestDirListing::missingDirectoryIsEmpty()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QCOMPARE(DirListing::sortedNames(dir.filePath(QStringLiteral("missing"))), QStringList());
}

QTEST_GUILESS_MAIN(TestDirListing)
#include "tst_dirlisting.moc"
