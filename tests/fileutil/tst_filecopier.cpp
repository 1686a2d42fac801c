#include "common/testhome.h"
#include "fileutil/filecopier.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool makeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Bytes that no block size divides, with every byte value, NUL included.
QByteArray patternOf(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + i / 4099) & 0xff);
    return bytes;
}

mode_t modeOf(const QString &path)
{
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return 0;
    return status.st_mode & 07777;
}

// Sets the process's umask for one test and puts the old one back.
class ScopedUmask
{
public:
    explicit ScopedUmask(mode_t mask)
        : m_previous(::umask(mask))
    {
    }
    ~ScopedUmask() { ::umask(m_previous); }

private:
    const mode_t m_previous;
};

// Limits the size of files this process may write, as a full disk would stop a copy
// half-way; the signal the kernel sends on hitting the limit is ignored meanwhile.
class ScopedFileSizeLimit
{
public:
    explicit ScopedFileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_previous);
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_previous;
        limit.rlim_cur = bytes;
        m_active = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~ScopedFileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_previous);
        std::signal(SIGXFSZ, m_previousHandler);
    }
    bool isActive() const { return m_active; }

private:
    rlimit m_previous{};
    void (*m_previousHandler)(int) = nullptr;
    bool m_active = false;
};

} // namespace

// The single-file copy behind backup, restore and the update's file steps.
class TestFileCopier : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void copiesContent_data();
    void copiesContent();
    void keepsPermissionsWhateverTheUmask_data();
    void keepsPermissionsWhateverTheUmask();
    void existingTargetFails_data();
    void existingTargetFails();
    void linkedSourceCopiesContent();
    void fileWithoutSizeIsReadToTheEnd();
    void unusableSourceFails_data();
    void unusableSourceFails();
    void unreadableSourceFails();
    void missingTargetDirectoryFails();
    void failureHalfWayRemovesTarget();
    void errorClearedBySuccess();
    void removeTarget_data();
    void removeTarget();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestFileCopier::initTestCase()
{
    m_home.reset(new TestHome);
}

void TestFileCopier::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void TestFileCopier::cleanup()
{
    m_dir.reset();
}

void TestFileCopier::copiesContent_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray("x");
    QTest::newRow("text") << QByteArray("[General]\r\nkey=value\r\n");
    QTest::newRow("binary, odd size") << patternOf(70001);
    // Larger than any single transfer the copy might make at once.
    QTest::newRow("large") << patternOf(9 * 1024 * 1024 + 17);
}

void TestFileCopier::copiesContent()
{
    QFETCH(QByteArray, content);
    QVERIFY(makeFile(path("source.bin"), content));

    FileCopier copier;
    QVERIFY2(copier.copy(path("source.bin"), path("target.bin")), qPrintable(copier.errorString()));
    QVERIFY(copier.errorString().isEmpty());
    QVERIFY(QFileInfo(path("target.bin")).isFile());
    QCOMPARE(QFileInfo(path("target.bin")).size(), qint64(content.size()));
    QVERIFY(readFile(path("target.bin")) == content);
    // The source is only read.
    QVERIFY(readFile(path("source.bin")) == content);
}

void TestFileCopier::keepsPermissionsWhateverTheUmask_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("rw-r--r--") << 0644;
    QTest::newRow("rwxr-xr-x") << 0755;
    QTest::newRow("rw-------") << 0600;
    QTest::newRow("r--r--r-- (read-only)") << 0444;
    QTest::newRow("rwxrwxrwx") << 0777;
}

void TestFileCopier::keepsPermissionsWhateverTheUmask()
{
    QFETCH(int, mode);
    QVERIFY(makeFile(path("program"), "#!/bin/sh\n"));
    QCOMPARE(::chmod(QFile::encodeName(path("program")).constData(), mode_t(mode)), 0);

    const ScopedUmask umask(077);
    FileCopier copier;
    QVERIFY2(copier.copy(path("program"), path("copy")), qPrintable(copier.errorString()));
    QCOMPARE(int(modeOf(path("copy"))), mode);
    QCOMPARE(readFile(path("copy")), QByteArray("#!/bin/sh\n"));
}

void TestFileCopier::existingTargetFails_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("file") << "file";
    QTest::newRow("empty file") << "empty";
    QTest::newRow("directory") << "directory";
    QTest::newRow("link to a file") << "link";
    QTest::newRow("dangling link") << "dangling";
}

void TestFileCopier::existingTargetFails()
{
    QFETCH(QString, kind);
    QVERIFY(makeFile(path("source"), "new"));
    QVERIFY(makeFile(path("elsewhere"), "elsewhere"));
    const QString target = path("target");
    if (kind == QLatin1String("file"))
        QVERIFY(makeFile(target, "old"));
    else if (kind == QLatin1String("empty"))
        QVERIFY(makeFile(target, QByteArray()));
    else if (kind == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(target));
    else if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(path("elsewhere"), target));
    else
        QVERIFY(QFile::link(path("nowhere"), target));
    const QFileInfo before(target);

    FileCopier copier;
    QVERIFY(!copier.copy(path("source"), target));
    QCOMPARE(copier.errorString(), QStringLiteral("Destination file exists"));

    // Nothing in the way was touched, and a link was not followed.
    const QFileInfo after(target);
    QCOMPARE(after.isSymLink(), before.isSymLink());
    QCOMPARE(after.isDir(), before.isDir());
    if (kind == QLatin1String("file"))
        QCOMPARE(readFile(target), QByteArray("old"));
    if (kind == QLatin1String("empty"))
        QCOMPARE(after.size(), qint64(0));
    QCOMPARE(readFile(path("elsewhere")), QByteArray("elsewhere"));
    QVERIFY(!QFileInfo::exists(path("nowhere")));
}

void TestFileCopier::linkedSourceCopiesContent()
{
    QVERIFY(makeFile(path("real.dll"), "library bytes"));
    QVERIFY(QFile::link(path("real.dll"), path("link.dll")));

    FileCopier copier;
    QVERIFY2(copier.copy(path("link.dll"), path("copy.dll")), qPrintable(copier.errorString()));
    const QFileInfo copy(path("copy.dll"));
    QVERIFY(!copy.isSymLink());
    QVERIFY(copy.isFile());
    QCOMPARE(readFile(path("copy.dll")), QByteArray("library bytes"));
}

void TestFileCopier::fileWithoutSizeIsReadToTheEnd()
{
    // Files of /proc report size 0 and still have content; the kernel copy gives
    // nothing for them, so this goes through plain reads.
    const QString source = QStringLiteral("/proc/self/status");
    if (!QFileInfo(source).isFile() || QFileInfo(source).size() != 0)
        QSKIP("needs Linux /proc");

    FileCopier copier;
    QVERIFY2(copier.copy(source, path("status")), qPrintable(copier.errorString()));
    const QByteArray copied = readFile(path("status"));
    QVERIFY2(copied.startsWith("Name:"), copied.left(40).constData());
    QVERIFY(copied.contains("\nPid:"));
}

void TestFileCopier::unusableSourceFails_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << "missing" << "No such file or directory";
    QTest::newRow("directory") << "directory" << "Is a directory";
    // Opening a FIFO for reading would wait for a writer; it must fail at once instead.
    QTest::newRow("fifo") << "fifo" << "Invalid argument";
}

void TestFileCopier::unusableSourceFails()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    const QString source = path("source");
    if (kind == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(source));
    else if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(source).constData(), 0644), 0);

    FileCopier copier;
    QVERIFY(!copier.copy(source, path("target")));
    QCOMPARE(copier.errorString(), QStringLiteral("Cannot open %1 for input: %2").arg(source, reason));
    QVERIFY(!QFileInfo::exists(path("target")));
}

void TestFileCopier::unreadableSourceFails()
{
    if (::geteuid() == 0)
        QSKIP("root reads files whatever their permissions");
    QVERIFY(makeFile(path("secret"), "secret"));
    QVERIFY(QFile::setPermissions(path("secret"), QFileDevice::WriteOwner));

    FileCopier copier;
    QVERIFY(!copier.copy(path("secret"), path("target")));
    QCOMPARE(copier.errorString(),
             QStringLiteral("Cannot open %1 for input: Permission denied").arg(path("secret")));
    QVERIFY(!QFileInfo::exists(path("target")));
}

void TestFileCopier::missingTargetDirectoryFails()
{
    QVERIFY(makeFile(path("source"), "bytes"));
    const QString target = path("missing/target");

    FileCopier copier;
    QVERIFY(!copier.copy(path("source"), target));
    QCOMPARE(copier.errorString(),
             QStringLiteral("Cannot open %1 for output: No such file or directory").arg(target));
    QVERIFY(!QFileInfo::exists(path("missing")));
}

void TestFileCopier::failureHalfWayRemovesTarget()
{
    const QByteArray content = patternOf(256 * 1024);
    QVERIFY(makeFile(path("big"), content));

    FileCopier copier;
    bool copied = true;
    {
        const ScopedFileSizeLimit limit(64 * 1024);
        if (!limit.isActive())
            QSKIP("cannot limit the file size");
        copied = copier.copy(path("big"), path("target"));
    }
    QVERIFY(!copied);
    QCOMPARE(copier.errorString(), QStringLiteral("Cannot copy %1 to %2: File too large")
                                       .arg(path("big"), path("target")));
    // No half-written file is left under the name of a complete one.
    QVERIFY(!QFileInfo::exists(path("target")));
    QVERIFY(readFile(path("big")) == content);

    // The same object copies again once the obstacle is gone.
    QVERIFY2(copier.copy(path("big"), path("target")), qPrintable(copier.errorString()));
    QVERIFY(readFile(path("target")) == content);
}

void TestFileCopier::errorClearedBySuccess()
{
    QVERIFY(makeFile(path("a"), "a"));
    QVERIFY(makeFile(path("b"), "b"));

    FileCopier copier;
    QVERIFY(!copier.copy(path("a"), path("b")));
    QCOMPARE(copier.errorString(), QStringLiteral("Destination file exists"));
    QVERIFY(copier.copy(path("a"), path("c")));
    QVERIFY(copier.errorString().isEmpty());
    QCOMPARE(readFile(path("c")), QByteArray("a"));
}

void TestFileCopier::removeTarget_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("removed");
    QTest::newRow("nothing there") << "missing" << true;
    QTest::newRow("file") << "file" << true;
    QTest::newRow("read-only file") << "read-only" << true;
    QTest::newRow("link to a file: the link goes, the file stays") << "link" << true;
    QTest::newRow("dangling link") << "dangling" << true;
    QTest::newRow("directory stays") << "directory" << false;
    QTest::newRow("link to a directory goes, the directory stays") << "dirlink" << true;
}

void TestFileCopier::removeTarget()
{
    QFETCH(QString, kind);
    QFETCH(bool, removed);
    QVERIFY(makeFile(path("elsewhere"), "elsewhere"));
    QVERIFY(QDir().mkpath(path("somedir/inner")));
    const QString target = path("target");
    if (kind == QLatin1String("file") || kind == QLatin1String("read-only"))
        QVERIFY(makeFile(target, "old"));
    if (kind == QLatin1String("read-only"))
        QVERIFY(QFile::setPermissions(target, QFileDevice::ReadOwner));
    else if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(path("elsewhere"), target));
    else if (kind == QLatin1String("dangling"))
        QVERIFY(QFile::link(path("nowhere"), target));
    else if (kind == QLatin1String("directory"))
        QVERIFY(QDir().mkpath(target + QStringLiteral("/inner")));
    else if (kind == QLatin1String("dirlink"))
        QVERIFY(QFile::link(path("somedir"), target));

    QCOMPARE(FileCopier::removeTarget(target), removed);
    const QFileInfo after(target);
    QCOMPARE(after.exists() || after.isSymLink(), !removed);
    QCOMPARE(readFile(path("elsewhere")), QByteArray("elsewhere"));
    QVERIFY(QFileInfo(path("somedir/inner")).isDir());
}

QTEST_GUILESS_MAIN(TestFileCopier)
#include "tst_filecopier.moc"
