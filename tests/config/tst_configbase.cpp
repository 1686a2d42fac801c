#include "common/logcapture.h"
#include "common/testhome.h"
#include "config/configbase.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

const QString kBegin = QStringLiteral("ZRFILE_BEGIN/CODE");
const QString kEnd = QStringLiteral("ZRFILE_END/CODE");

// A null array stands for "no such file" in the tables below.
const QByteArray kMissing;

const QByteArray kValidOld("[APP]\nNAME=old\n\n[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n[ZRFILE_END]\nCODE=tarnwoven\n");
const QByteArray kNoEndNew("[APP]\nNAME=new\n\n[ZRFILE_BEGIN]\nCODE=tarnwoven\n");
const QByteArray kNoBeginOld("[APP]\nNAME=old\n\n[ZRFILE_END]\nCODE=tarnwoven\n");
const QByteArray kBeginOnly("[ZRFILE_BEGIN]\nCODE=tarnwoven\n");
const QByteArray kEndWrongCase("[APP]\nNAME=new\n\n[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n[ZRFILE_END]\nCODE=Tarnwoven\n");

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The bytes of a file, or a null array when it does not exist.
QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray bytes = file.readAll();
    return bytes.isNull() ? QByteArray("") : bytes;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

// Supplies the recursive mutex that the lock hook asks of a subclass, and counts how
// often the base class asks for it.
class LockedConfig : public ConfigBase
{
public:
    explicit LockedConfig(const QString &filePath)
        : ConfigBase(filePath)
    {
    }
    // The base destructor no longer sees this override, so the last save happens here.
    ~LockedConfig() override { save(); }

    QMutex *getMutex() override
    {
        ++requests;
        return &mutex;
    }

    QMutex mutex{QMutex::Recursive};
    int requests = 0;
};

} // namespace

class TestConfigBase : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void repairAtOpening_data();
    void repairAtOpening();
    void restoreFromBackupOfEqualSize();
    void keptCopyFailureLeavesFileAlone();
    void readOnlyObjectNeverTouchesFile();
    void recreatedWithoutChangeStaysDamaged();
    void firstChangeAddsEndMarkAndBackup();
    void utf16KeepsKeysSavedMeanwhile();
    void backupHoldsPreviousBytes();
    void failedBackupKeepsPreviousBackup();
    void unreadableFileIsLeftAlone_data();
    void unreadableFileIsLeftAlone();
    void valueDefaults_data();
    void valueDefaults();
    void subclassWithRecursiveMutex();
    void textSurvivesSaveAndReopen_data();
    void textSurvivesSaveAndReopen();

private:
    QString path(const QString &name = QStringLiteral("settings.ini")) const { return m_dir->filePath(name); }

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestConfigBase::initTestCase()
{
    m_home.reset(new TestHome);
}

void TestConfigBase::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void TestConfigBase::cleanup()
{
    m_dir.reset();
}

void TestConfigBase::repairAtOpening_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("backup");
    QTest::addColumn<QByteArray>("staleDamaged");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QVariant>("name");
    // A null array: no bytes to compare (the file is re-created) or no such file.
    QTest::addColumn<QByteArray>("fileAfter");
    QTest::addColumn<QByteArray>("backupAfter");
    QTest::addColumn<QByteArray>("damagedAfter");
    QTest::addColumn<QByteArray>("backupDamagedAfter");
    QTest::addColumn<QStringList>("warnings");

    const QStringList beginOnly{kBegin};
    const QStringList restored{QStringLiteral("APP/NAME"), kBegin, kEnd};
    const QString keptFile = QStringLiteral(
        "Warning virtual void ConfigBase::checkAndRestore() \"damaged file %1/settings.ini kept as %1/settings.ini.damaged\"");
    const QString keptBackup = QStringLiteral(
        "Warning virtual void ConfigBase::checkAndRestore() \"damaged file %1/settings.ini.bak kept as %1/settings.ini.bak.damaged\"");

    QTest::newRow("missing file, no backup")
        << kMissing << kMissing << kMissing << beginOnly << QVariant()
        << kMissing << kMissing << kMissing << kMissing << QStringList();
    QTest::newRow("missing file, valid backup")
        << kMissing << kValidOld << kMissing << restored << QVariant("old")
        << kValidOld << kValidOld << kMissing << kMissing << QStringList();
    QTest::newRow("end group missing, valid backup")
        << kNoEndNew << kValidOld << kMissing << restored << QVariant("old")
        << kValidOld << kValidOld << kNoEndNew << kMissing << QStringList{keptFile};
    QTest::newRow("begin group missing, valid backup, older kept copy replaced")
        << kNoBeginOld << kValidOld << QByteArray("stale") << restored << QVariant("old")
        << kValidOld << kValidOld << kNoBeginOld << kMissing << QStringList{keptFile};
    QTest::newRow("file and backup damaged")
        << kNoEndNew << kNoBeginOld << kMissing << beginOnly << QVariant()
        << kMissing << kMissing << kNoEndNew << kNoBeginOld << QStringList{keptFile, keptBackup};
    QTest::newRow("file and backup damaged, markers only")
        << kBeginOnly << kBeginOnly << kMissing << beginOnly << QVariant()
        << kMissing << kMissing << kMissing << kMissing << QStringList();
    QTest::newRow("marker differs in letter case")
        << kEndWrongCase << kMissing << kMissing << beginOnly << QVariant()
        << kMissing << kMissing << kEndWrongCase << kMissing << QStringList{keptFile};
    QTest::newRow("marker differs in letter case, valid backup")
        << kEndWrongCase << kValidOld << kMissing << restored << QVariant("old")
        << kValidOld << kValidOld << kEndWrongCase << kMissing << QStringList{keptFile};
    QTest::newRow("empty file")
        << QByteArray("") << kMissing << kMissing << beginOnly << QVariant()
        << kMissing << kMissing << kMissing << kMissing << QStringList();
    // Nothing QSettings can read as a key, yet it may be someone's data.
    QTest::newRow("no key in it")
        << QByteArray("\x01\x02 not an ini file\n") << kMissing << kMissing << beginOnly << QVariant()
        << kMissing << kMissing << QByteArray("\x01\x02 not an ini file\n") << kMissing << QStringList{keptFile};
    // No text at all (here a byte that is no UTF-8): nothing decides what it holds, so it
    // is neither repaired nor replaced, not even by a valid backup.
    const QString notText = QStringLiteral(
        "Warning virtual void ConfigBase::checkAndRestore() \"read %1/settings.ini failed,it is no text in UTF-8 or "
        "UTF-16, file left as it is\"");
    QTest::newRow("no text")
        << QByteArray("\x01\x02 not an ini file \xff\n") << kMissing << kMissing << QStringList() << QVariant()
        << QByteArray("\x01\x02 not an ini file \xff\n") << kMissing << kMissing << kMissing << QStringList{notText};
    QTest::newRow("no text, valid backup")
        << QByteArray("[APP]\nNAME=\xffold\n") << kValidOld << kMissing << QStringList() << QVariant()
        << QByteArray("[APP]\nNAME=\xffold\n") << kValidOld << kMissing << kMissing << QStringList{notText};
    // The file of a damaged backup copied over it is set aside as the backup's.
    QTest::newRow("damaged, backup no text")
        << kNoEndNew << QByteArray("[APP]\nNAME=\xffold\n") << kMissing << beginOnly << QVariant()
        << kMissing << kMissing << kNoEndNew << QByteArray("[APP]\nNAME=\xffold\n") << QStringList{keptFile, keptBackup};
}

void TestConfigBase::repairAtOpening()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, backup);
    QFETCH(QByteArray, staleDamaged);
    QFETCH(QStringList, keys);
    QFETCH(QVariant, name);
    QFETCH(QByteArray, fileAfter);
    QFETCH(QByteArray, backupAfter);
    QFETCH(QByteArray, damagedAfter);
    QFETCH(QByteArray, backupDamagedAfter);
    QFETCH(QStringList, warnings);

    if (!file.isNull())
        QVERIFY(writeFile(path(), file));
    if (!backup.isNull())
        QVERIFY(writeFile(path("settings.ini.bak"), backup));
    if (!staleDamaged.isNull())
        QVERIFY(writeFile(path("settings.ini.damaged"), staleDamaged));

    LogCapture log;
    {
        ConfigBase config(path());
        QCOMPARE(sorted(config.allKeys()), keys);
        QCOMPARE(config.value(QStringLiteral("APP/NAME")), name);
        QCOMPARE(config.isValid(), keys.contains(kEnd));
    }

    QVERIFY(QFile::exists(path()));
    if (!fileAfter.isNull()) {
        QCOMPARE(readFile(path()), fileAfter);
    } else {
        // Re-created: the begin group alone, on disk as well.
        QSettings onDisk(path(), QSettings::IniFormat);
        QCOMPARE(onDisk.allKeys(), QStringList{kBegin});
        QCOMPARE(onDisk.value(kBegin).toString(), QStringLiteral("tarnwoven"));
    }
    QCOMPARE(readFile(path("settings.ini.bak")), backupAfter);
    QCOMPARE(readFile(path("settings.ini.damaged")), damagedAfter);
    QCOMPARE(readFile(path("settings.ini.bak.damaged")), backupDamagedAfter);
    QCOMPARE(log.lines(), warnings.replaceInStrings(QStringLiteral("%1"), m_dir->path()));
}

void TestConfigBase::restoreFromBackupOfEqualSize()
{
    // QSettings serves a file from its cache while size and modification time look the
    // same; a restored backup of equal size written in the same millisecond must still
    // be read as itself. Repeated because the coincidence depends on the clock.
    QCOMPARE(kEndWrongCase.size(), kValidOld.size());
    for (int round = 0; round < 25; ++round) {
        const QString dir = m_dir->filePath(QString::number(round));
        QVERIFY(QDir().mkpath(dir));
        const QString file = dir + QStringLiteral("/settings.ini");
        QVERIFY(writeFile(file, kEndWrongCase));
        QVERIFY(writeFile(file + QStringLiteral(".bak"), kValidOld));
        LogCapture log;
        ConfigBase config(file);
        QVERIFY2(config.isValid(), qPrintable(QStringLiteral("round %1").arg(round)));
        QCOMPARE(config.value(QStringLiteral("APP/NAME")).toString(), QStringLiteral("old"));
        QCOMPARE(readFile(file + QStringLiteral(".bak")), kValidOld);
    }
}

void TestConfigBase::keptCopyFailureLeavesFileAlone()
{
    // "<file>.damaged" cannot be replaced (a non-empty directory): the damaged file is
    // the only copy of its keys, so it stays and the object serves what it holds.
    QVERIFY(writeFile(path(), kNoEndNew));
    QVERIFY(writeFile(path("settings.ini.bak"), kValidOld));
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("settings.ini.damaged/inside")));

    LogCapture log;
    {
        ConfigBase config(path());
        QCOMPARE(config.value(QStringLiteral("APP/NAME")).toString(), QStringLiteral("new"));
        QVERIFY(!config.isValid());
    }
    QCOMPARE(readFile(path()), kNoEndNew);
    QCOMPARE(readFile(path("settings.ini.bak")), kValidOld);
    QCOMPARE(log.lines().size(), 1);
    QVERIFY2(log.lines().constFirst().startsWith(QStringLiteral(
                 "Warning virtual void ConfigBase::checkAndRestore() \"keep damaged file %1/settings.ini failed,reason:")
                                                      .arg(m_dir->path())),
             qPrintable(log.lines().constFirst()));
}

void TestConfigBase::readOnlyObjectNeverTouchesFile()
{
    QVERIFY(writeFile(path(), kValidOld));
    const QDateTime past = QDateTime::currentDateTime().addSecs(-3600);
    {
        QFile file(path());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(past, QFileDevice::FileModificationTime));
    }
    const QDateTime before = QFileInfo(path()).lastModified();

    {
        ConfigBase config(path());
        QVERIFY(config.isValid());
        QCOMPARE(config.value(QStringLiteral("APP/NAME")).toString(), QStringLiteral("old"));
        QVERIFY(config.save());
    }
    QCOMPARE(QFileInfo(path()).lastModified(), before);
    QCOMPARE(readFile(path()), kValidOld);
    QVERIFY(!QFile::exists(path("settings.ini.bak")));
}

void TestConfigBase::recreatedWithoutChangeStaysDamaged()
{
    { ConfigBase config(path()); }
    QByteArray firstBytes = readFile(path());
    {
        QSettings onDisk(path(), QSettings::IniFormat);
        QCOMPARE(onDisk.allKeys(), QStringList{kBegin});
    }

    LogCapture log;
    {
        ConfigBase config(path());
        // Damaged again, and re-created again: nothing to keep, nothing backed up.
        QCOMPARE(config.allKeys(), QStringList{kBegin});
        QVERIFY(!config.isValid());
    }
    QCOMPARE(readFile(path()), firstBytes);
    QVERIFY(!QFile::exists(path("settings.ini.bak")));
    QVERIFY(!QFile::exists(path("settings.ini.damaged")));
    QVERIFY(log.lines().isEmpty());
}

// Another program's save between the opening and the save of a UTF-16 file is kept, as
// QSettings keeps it in a UTF-8 file, and the file stays UTF-16.
void TestConfigBase::utf16KeepsKeysSavedMeanwhile()
{
    QTextCodec *const utf16 = QTextCodec::codecForName("UTF-16LE");
    const auto inUtf16 = [utf16](const QString &app) {
        return QByteArray("\xFF\xFE") + utf16->fromUnicode(app + QStringLiteral("\r\n[ZRFILE_BEGIN]\r\nCODE=tarnwoven\r\n"
                                                                              "[ZRFILE_END]\r\nCODE=tarnwoven\r\n"));
    };
    QVERIFY(writeFile(path(), inUtf16(QStringLiteral("[APP]\r\nNAME=old"))));
    ConfigBase config(path());
    config.setValue(QStringLiteral("APP/NAME"), QStringLiteral("new"));
    QThread::msleep(5);
    QVERIFY(writeFile(path(), inUtf16(QStringLiteral("[APP]\r\nNAME=old\r\nOTHER=theirs"))));
    QVERIFY(config.save());

    const QByteArray after = readFile(path());
    QVERIFY(after.startsWith("\xFF\xFE"));
    const QString text = utf16->toUnicode(after.mid(2));
    QVERIFY2(text.startsWith(QStringLiteral("[APP]\r\nNAME=new\r\nOTHER=theirs\r\n")), qPrintable(text));
}

void TestConfigBase::firstChangeAddsEndMarkAndBackup()
{
    QByteArray recreated;
    {
        ConfigBase config(path());
        recreated = readFile(path());
        config.setValue(QStringLiteral("UPDATE/FLAG"), false);
        // Pending until saved.
        QCOMPARE(readFile(path()), recreated);
    }
    QCOMPARE(readFile(path("settings.ini.bak")), recreated);

    ConfigBase reopened(path());
    QVERIFY(reopened.isValid());
    QCOMPARE(sorted(reopened.allKeys()), (QStringList{QStringLiteral("UPDATE/FLAG"), kBegin, kEnd}));
    QCOMPARE(reopened.value(QStringLiteral("UPDATE/FLAG")).toBool(), false);
}

void TestConfigBase::backupHoldsPreviousBytes()
{
    QVERIFY(writeFile(path(), kValidOld));
    {
        ConfigBase config(path());
        config.setValue(QStringLiteral("APP/NAME"), QStringLiteral("second"));
    }
    QCOMPARE(readFile(path("settings.ini.bak")), kValidOld);
    const QByteArray afterFirst = readFile(path());
    QVERIFY(afterFirst.contains("NAME=second"));

    {
        ConfigBase config(path());
        config.setValue(QStringLiteral("APP/NAME"), QStringLiteral("third"));
        QVERIFY(config.save());
        QCOMPARE(readFile(path("settings.ini.bak")), afterFirst);
        // Saved already: destruction changes nothing more.
        config.setValue(QStringLiteral("APP/NAME"), QStringLiteral("third"));
    }
    ConfigBase reopened(path());
    QVERIFY(reopened.isValid());
    QCOMPARE(reopened.value(QStringLiteral("APP/NAME")).toString(), QStringLiteral("third"));
}

void TestConfigBase::failedBackupKeepsPreviousBackup()
{
    // The file vanishes while the object is open: the save cannot take a backup of it,
    // and the backup of the last good state must survive that.
    QVERIFY(writeFile(path(), kValidOld));
    QVERIFY(writeFile(path("settings.ini.bak"), kValidOld));
    ConfigBase config(path());
    QVERIFY(QFile::remove(path()));
    config.setValue(QStringLiteral("APP/NAME"), QStringLiteral("lost"));
    QVERIFY(!config.save());
    QCOMPARE(readFile(path("settings.ini.bak")), kValidOld);
}

void TestConfigBase::unreadableFileIsLeftAlone_data()
{
    QTest::addColumn<bool>("directory");
    QTest::newRow("no read permission") << false;
    QTest::newRow("a directory in its place") << true;
}

void TestConfigBase::unreadableFileIsLeftAlone()
{
    // A file that cannot be read is no empty file: repaired from its backup, an update
    // flag that an update had just set to false would read as the older true again.
    QFETCH(bool, directory);
    const QByteArray flagFalse("[UPDATE]\nFLAG=false\n\n[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n[ZRFILE_END]\nCODE=tarnwoven\n");
    const QByteArray flagTrue("[UPDATE]\nFLAG=true\n\n[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n[ZRFILE_END]\nCODE=tarnwoven\n");
    QVERIFY(writeFile(path("settings.ini.bak"), flagTrue));
    if (directory) {
        QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("settings.ini/inside")));
    } else {
        QVERIFY(writeFile(path(), flagFalse));
        QVERIFY(QFile::setPermissions(path(), QFileDevice::WriteOwner));
        if (QFile(path()).open(QIODevice::ReadOnly))
            QSKIP("this user reads files without read permission");
    }

    LogCapture log;
    {
        ConfigBase inspected(path(), ConfigBase::Access::ReadOnly);
        QVERIFY(!inspected.isReadable());
        ConfigBase config(path());
        QVERIFY(!config.isReadable());
        QVERIFY(!config.isValid());
        QCOMPARE(config.value(QStringLiteral("UPDATE/FLAG"), QStringLiteral("unknown")).toString(),
                 QStringLiteral("unknown"));
        config.setValue(QStringLiteral("UPDATE/FLAG"), true);
        QVERIFY(config.save());
    }
    QCOMPARE(log.lines(), (QStringList{
        QStringLiteral("Warning virtual void ConfigBase::checkAndRestore() \"read %1 failed, file left as it is\"")
            .arg(path()),
        QStringLiteral("Warning void ConfigBase::setValue(const QString&, const QVariant&) \"file %1 could not be read, "
                       "key UPDATE/FLAG not set\"")
            .arg(path())}));

    QCOMPARE(readFile(path("settings.ini.bak")), flagTrue);
    QVERIFY(!QFileInfo::exists(path("settings.ini.damaged")));
    if (directory) {
        QVERIFY(QFileInfo(path()).isDir());
    } else {
        QVERIFY(QFile::setPermissions(path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QCOMPARE(readFile(path()), flagFalse);
        ConfigBase readable(path());
        QVERIFY(readable.isReadable());
        QCOMPARE(readable.value(QStringLiteral("UPDATE/FLAG")).toString(), QStringLiteral("false"));
    }
}

void TestConfigBase::valueDefaults_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("defaultValue");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("present key") << kValidOld << "APP/NAME" << QVariant("fallback") << QVariant("old");
    QTest::newRow("absent key, default") << kValidOld << "APP/OTHER" << QVariant(7) << QVariant(7);
    QTest::newRow("absent key, no default") << kValidOld << "APP/OTHER" << QVariant() << QVariant();
    QTest::newRow("absent group") << kValidOld << "UPDATE/FLAG" << QVariant(true) << QVariant(true);
    QTest::newRow("re-created file, default")
        << kNoEndNew << "APP/NAME" << QVariant("fallback") << QVariant("fallback");
}

void TestConfigBase::valueDefaults()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, key);
    QFETCH(QVariant, defaultValue);
    QFETCH(QVariant, expected);

    QVERIFY(writeFile(path(), file));
    ConfigBase config(path());
    QCOMPARE(config.value(key, defaultValue), expected);
}

void TestConfigBase::subclassWithRecursiveMutex()
{
    QVERIFY(writeFile(path(), kValidOld));
    {
        LockedConfig config(path());
        config.requests = 0;
        {
            // A caller already holding the lock can still use the object.
            QMutexLocker outer(&config.mutex);
            config.setValue(QStringLiteral("APP/NAME"), QStringLiteral("locked"));
            QCOMPARE(config.value(QStringLiteral("APP/NAME")).toString(), QStringLiteral("locked"));
            QVERIFY(config.save());
        }
        QCOMPARE(config.requests, 3);

        // Every lock taken was released: another thread gets the mutex at once.
        bool otherThreadLocked = false;
        std::unique_ptr<QThread> thread(QThread::create([&config, &otherThreadLocked] {
            otherThreadLocked = config.mutex.tryLock();
            if (otherThreadLocked)
                config.mutex.unlock();
        }));
        thread->start();
        QVERIFY(thread->wait());
        QVERIFY(otherThreadLocked);

        config.setValue(QStringLiteral("APP/NAME"), QStringLiteral("at destruction"));
    }
    QCOMPARE(readFile(path("settings.ini.bak")).contains("NAME=locked"), true);
    ConfigBase reopened(path());
    QVERIFY(reopened.isValid());
    QCOMPARE(reopened.value(QStringLiteral("APP/NAME")).toString(), QStringLiteral("at destruction"));
}

void TestConfigBase::textSurvivesSaveAndReopen_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");
    // Bytes the file must hold as they are (null: no check of the raw text).
    QTest::addColumn<QByteArray>("raw");
    // Whether the save leaves the flush to its caller (an update's merges).
    QTest::addColumn<bool>("flushedByCaller");

    struct Row
    {
        const char *name;
        QString key;
        QVariant value;
        QByteArray raw;
    };
    const QString nonAscii = QStringLiteral("Ostrelle \u2013 Ketterin \u51ef\u7279\u6797 \u00f1\u00fc");
    // Qt's own INI writer loses characters beyond the Basic Multilingual Plane.
    const QString flower = QStringLiteral("Zo\u00eb \U0001F33B \u00c5ngstr\u00f6m");
    const QVector<Row> rows{
        {"non-ASCII value", QStringLiteral("APP/NAME"), nonAscii, nonAscii.toUtf8()},
        {"blanks in group and key", QStringLiteral("My Group/key with blanks"), QStringLiteral("v a l"), {}},
        {"non-ASCII key", QStringLiteral("Pfade/\u00dcberschrift"), QStringLiteral("ja"), {}},
        {"separators in value", QStringLiteral("APP/LIST"), QStringLiteral("a=b; c,\"d\" [e]"), {}},
        {"backslash path", QStringLiteral("APP/PATH"), QStringLiteral("C:\\Program Files\\Ostrelle\\"), {}},
        {"bool", QStringLiteral("UPDATE/FLAG"), false, QByteArray("FLAG=false")},
        {"beyond the BMP", QStringLiteral("USER/NAME"), flower, flower.toUtf8()},
    };
    for (const Row &row : rows) {
        for (const bool byCaller : {false, true}) {
            QTest::addRow("%s%s", row.name, byCaller ? " (flushed by caller)" : "")
                << row.key << row.value << row.raw << byCaller;
        }
    }
}

void TestConfigBase::textSurvivesSaveAndReopen()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);
    QFETCH(QByteArray, raw);
    QFETCH(bool, flushedByCaller);

    {
        ConfigBase config(path());
        config.setFlushedByCaller(flushedByCaller);
        config.setValue(key, value);
        QVERIFY(config.save());
    }
    QVERIFY(QFile::exists(path("settings.ini.bak")));
    if (!raw.isNull())
        QVERIFY2(readFile(path()).contains(raw), readFile(path()).constData());

    ConfigBase reopened(path());
    QVERIFY(reopened.isValid());
    QVERIFY2(reopened.allKeys().contains(key), qPrintable(reopened.allKeys().join(QLatin1Char(','))));
    QCOMPARE(reopened.value(key).toString(), value.toString());
}

QTEST_GUILESS_MAIN(TestConfigBase)
#include "tst_configbase.moc"
