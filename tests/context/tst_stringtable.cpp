#include "context/zrpubmethod.h"
#include "common/scopedcurrentdir.h"
#include "context/stringtable.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtEndian>
#include <QtTest>

#include <climits>
#include <cstdio>
#include <unistd.h>

namespace {

QByteArray le32(qint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    return QByteArray(bytes, 4);
}

void putInt32(QByteArray *file, int position, qint32 value)
{
    file->replace(position, 4, le32(value));
}

// One language block: the index of every identifier, the data size, the data.
QByteArray block(const QList<qint32> &index, const QByteArray &data)
{
    QByteArray out;
    for (qint32 offset : index)
        out += le32(offset);
    return out + le32(data.size()) + data;
}

// The smallest table that loads: one language, two strings "a" and "b".
//   0 header (1, 2, 20, 0, 0) | 20 index 0, 2 | 28 size 4 | 32 "a\0b\0" | 36 end
QByteArray smallTable()
{
    return le32(1) + le32(2) + le32(20) + le32(0) + le32(0) + block({0, 2}, QByteArray("a\0b\0", 4));
}

// Everything printed on standard output while it lives. The loader uses printf, so
// the file descriptor itself is redirected, not a Qt stream.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        std::fflush(stdout);
        m_file.open();
        m_saved = ::dup(STDOUT_FILENO);
        ::dup2(m_file.handle(), STDOUT_FILENO);
    }
    ~StdoutCapture() { finish(); }

    QByteArray finish()
    {
        if (m_saved >= 0) {
            std::fflush(stdout);
            ::dup2(m_saved, STDOUT_FILENO);
            ::close(m_saved);
            m_saved = -1;
            m_file.seek(0);
            m_text = m_file.readAll();
        }
        return m_text;
    }

private:
    QTemporaryFile m_file;
    int m_saved = -1;
    QByteArray m_text;
};

int openFileCount()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
}

} // namespace

class TestStringTable : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanupTestCase();

    void nothingLoaded();
    void wellFormedTable_data();
    void wellFormedTable();
    void identifierRange();
    void offsetAtFinalZeroIsEmptyText();
    void loadFailure_data();
    void loadFailure();
    void reloadReplacesTable();

private:
    // Writes "string.bin" into the current (temporary) directory and loads it.
    QByteArray load(const QByteArray *file, int lanType);

    QTemporaryDir m_dir;
};

void TestStringTable::init()
{
    QVERIFY(m_dir.isValid());
    QFile::remove(m_dir.filePath(QStringLiteral("string.bin")));
}

void TestStringTable::cleanupTestCase()
{
    ZRPubMethod::getInstance()->setLanType(1);
}

QByteArray TestStringTable::load(const QByteArray *file, int lanType)
{
    ScopedCurrentDir current(m_dir.path());
    if (file) {
        QFile out(QStringLiteral("string.bin"));
        if (!out.open(QIODevice::WriteOnly) || out.write(*file) != file->size())
            return QByteArrayLiteral("cannot write string.bin");
    }
    ZRPubMethod::getInstance()->setLanType(lanType);
    StdoutCapture capture;
    ZRPubMethod::getInstance()->loadStringTable();
    return capture.finish();
}

// Must run before any table is loaded in this process.
void TestStringTable::nothingLoaded()
{
    QCOMPARE(ZRPubMethod::getInstance()->stringCount(), 0);
    QCOMPARE(getString(0), QString());
    QCOMPARE(getString(896), QString());
    QCOMPARE(getString(1515), QString());
    QCOMPARE(getString(-1), QStringLiteral("unkown"));
}

void TestStringTable::wellFormedTable_data()
{
    QTest::addColumn<int>("lanType");
    QTest::addColumn<QStringList>("texts"); // identifiers 0 to 5
    QTest::newRow("Chinese") << 0 << QStringList{QString(), "确定", "关闭", "确定", QString(), "更新"};
    QTest::newRow("English") << 1 << QStringList{QString(), "OK", "Close", "OK", QString(), "Update"};
    QTest::newRow("Spanish") << 2 << QStringList{QString(), "Aceptar", "Cerrar", "Aceptar", QString(), "Actualización"};
}

// Three languages whose blocks lie out of order with gaps between them; identifiers 1
// and 3 share one text, 0 and 4 point at one empty string.
void TestStringTable::wellFormedTable()
{
    QFETCH(int, lanType);
    QFETCH(QStringList, texts);

    const auto languageBlock = [](const QByteArray &ok, const QByteArray &close, const QByteArray &update) {
        QByteArray data(1, '\0');
        const qint32 okAt = data.size();
        data += ok + '\0';
        const qint32 closeAt = data.size();
        data += close + '\0';
        const qint32 updateAt = data.size();
        data += update + '\0';
        return block({0, okAt, closeAt, okAt, 0, updateAt}, data);
    };
    const QByteArray zh = languageBlock("确定", "关闭", "更新");
    const QByteArray en = languageBlock("OK", "Close", "Update");
    const QByteArray es = languageBlock("Aceptar", "Cerrar", "Actualización");

    const QByteArray gap(7, '\xee');
    const qint32 esAt = 20 + gap.size();
    const qint32 enAt = esAt + es.size() + gap.size();
    const qint32 zhAt = enAt + en.size();
    const QByteArray file = le32(3) + le32(6) + le32(zhAt) + le32(enAt) + le32(esAt) + gap + es + gap + en + zh;

    QCOMPARE(load(&file, lanType), QByteArray());
    QCOMPARE(ZRPubMethod::getInstance()->stringCount(), 6);
    for (int id = 0; id < texts.size(); ++id)
        QCOMPARE(getString(id), texts.at(id).isNull() ? QString("") : texts.at(id));
    // The second lookup comes from the cache and gives the same text.
    QCOMPARE(getString(5), texts.at(5));
    QCOMPARE(getString(6), QString());
    QCOMPARE(getString(1515), QString());
}

void TestStringTable::identifierRange()
{
    // 1600 strings: more than the program can ask for.
    QList<qint32> index;
    QByteArray data(1, '\0');
    for (int id = 0; id < 1600; ++id) {
        index.append(data.size());
        data += QByteArray::number(id) + '\0';
    }
    const QByteArray file = le32(1) + le32(1600) + le32(20) + le32(0) + le32(0) + block(index, data);
    QCOMPARE(load(&file, 0), QByteArray());

    QCOMPARE(getString(0), QStringLiteral("0"));
    QCOMPARE(getString(1519), QStringLiteral("1519"));
    QCOMPARE(getString(1520), QStringLiteral("unkown"));
    QCOMPARE(getString(1599), QStringLiteral("unkown"));
    QCOMPARE(getString(-1), QStringLiteral("unkown"));
    QCOMPARE(getString(INT_MIN), QStringLiteral("unkown"));
    QCOMPARE(getString(INT_MAX), QStringLiteral("unkown"));
}

void TestStringTable::offsetAtFinalZeroIsEmptyText()
{
    QByteArray file = smallTable();
    putInt32(&file, 24, 3); // identifier 1 at the last byte of the data, its zero
    QCOMPARE(load(&file, 0), QByteArray());
    QCOMPARE(ZRPubMethod::getInstance()->stringCount(), 2);
    QCOMPARE(getString(0), QStringLiteral("a"));
    QCOMPARE(getString(1), QString(""));
}

void TestStringTable::loadFailure_data()
{
    QTest::addColumn<bool>("writeFile");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("lanType");
    QTest::addColumn<QByteArray>("message");

    const QByteArray good = smallTable();
    const auto patched = [&good](int position, qint32 value) {
        QByteArray file = good;
        putInt32(&file, position, value);
        return file;
    };

    QTest::newRow("language 3") << true << good << 3 << QByteArray("m_lanType >= LAN_TYPE_MAX \n");
    QTest::newRow("language 7") << true << good << 7 << QByteArray("m_lanType >= LAN_TYPE_MAX \n");
    QTest::newRow("language -1") << true << good << -1 << QByteArray("m_lanType < 0 \n");
    QTest::newRow("language INT_MIN") << true << good << INT_MIN << QByteArray("m_lanType < 0 \n");
    QTest::newRow("no file") << false << QByteArray() << 0 << QByteArray("NULL == m_pFile \n");
    QTest::newRow("empty file") << true << QByteArray() << 0 << QByteArray("fread fail. m_pFile \n");
    QTest::newRow("19-byte header") << true << good.left(19) << 0 << QByteArray("fread fail. m_pFile \n");

    QByteArray twoLanguages = le32(2) + le32(2) + le32(20) + le32(20) + le32(0) + good.mid(20);
    QTest::newRow("language 2, two languages") << true << twoLanguages << 2
                                               << QByteArray("stHead.m_lanCount <= m_lanType \n");
    QTest::newRow("no languages") << true << patched(0, 0) << 0 << QByteArray("stHead.m_lanCount <= m_lanType \n");
    QTest::newRow("negative language count") << true << patched(0, -1) << 0
                                             << QByteArray("stHead.m_lanCount <= m_lanType \n");

    QTest::newRow("zero-size data") << true << patched(28, 0) << 0 << QByteArray("GetString fread 3 fail. m_pFile \n");

    QTest::newRow("negative string count") << true << patched(4, -1) << 0 << QByteArray("stHead.m_strCount < 0 \n");
    QTest::newRow("string count INT_MIN") << true << patched(4, INT_MIN) << 0 << QByteArray("stHead.m_strCount < 0 \n");
    QTest::newRow("string count INT_MAX") << true << patched(4, INT_MAX) << 0
                                          << QByteArray("GetString index out of file \n");
    QTest::newRow("string count past the file") << true << patched(4, 5) << 0
                                                << QByteArray("GetString index out of file \n");
    QTest::newRow("negative block offset") << true << patched(8, -4) << 0
                                           << QByteArray("GetString index out of file \n");
    QTest::newRow("block offset past the end") << true << patched(8, 1000) << 0
                                               << QByteArray("GetString index out of file \n");
    QTest::newRow("block offset INT_MAX") << true << patched(8, INT_MAX) << 0
                                          << QByteArray("GetString index out of file \n");
    QTest::newRow("file ends in the index") << true << good.left(26) << 0
                                            << QByteArray("GetString index out of file \n");
    QTest::newRow("file ends before the data size") << true << good.left(30) << 0
                                                    << QByteArray("GetString index out of file \n");

    QTest::newRow("negative data size") << true << patched(28, -1) << 0 << QByteArray("GetString data out of file \n");
    QTest::newRow("data size INT_MAX") << true << patched(28, INT_MAX) << 0
                                       << QByteArray("GetString data out of file \n");
    QTest::newRow("file ends in the data") << true << good.left(34) << 0
                                           << QByteArray("GetString data out of file \n");

    QByteArray unterminated = good;
    unterminated[35] = 'c';
    QTest::newRow("last text without its zero") << true << unterminated << 0
                                                << QByteArray("GetString data not terminated \n");

    QTest::newRow("index offset at the data size") << true << patched(24, 4) << 0
                                                   << QByteArray("GetString index out of data \n");
    QTest::newRow("index offset past the data") << true << patched(24, 1000) << 0
                                                << QByteArray("GetString index out of data \n");
    QTest::newRow("negative index offset") << true << patched(20, -1) << 0
                                           << QByteArray("GetString index out of data \n");
    QTest::newRow("index offset INT_MIN") << true << patched(20, INT_MIN) << 0
                                          << QByteArray("GetString index out of data \n");
}

// Every refused file leaves no texts (also none cached from a table loaded before),
// no open file and exactly its one message.
void TestStringTable::loadFailure()
{
    QFETCH(bool, writeFile);
    QFETCH(QByteArray, file);
    QFETCH(int, lanType);
    QFETCH(QByteArray, message);

    const QByteArray good = smallTable();
    QCOMPARE(load(&good, 0), QByteArray());
    QCOMPARE(getString(0), QStringLiteral("a"));
    QCOMPARE(getString(1), QStringLiteral("b"));

    const int filesBefore = openFileCount();
    QFile::remove(m_dir.filePath(QStringLiteral("string.bin")));
    QCOMPARE(load(writeFile ? &file : nullptr, lanType), message);
#ifdef Q_OS_WIN
    // Under Wine /proc/self/fd also lists Wine's own descriptors, which come and go: a
    // file the load left open shows as growth.
    QVERIFY(openFileCount() <= filesBefore);
#else
    QCOMPARE(openFileCount(), filesBefore);
#endif

    QCOMPARE(ZRPubMethod::getInstance()->stringCount(), 0);
    QCOMPARE(getString(0), QString());
    QCOMPARE(getString(1), QString());
    QCOMPARE(getString(1519), QString());
    QCOMPARE(getString(1520), QStringLiteral("unkown"));
}

// Loading again frees the previous table and forgets every cached text: a stale cache
// entry would point into the freed buffer.
void TestStringTable::reloadReplacesTable()
{
    const QByteArray first = smallTable();
    QCOMPARE(load(&first, 0), QByteArray());
    QCOMPARE(getString(0), QStringLiteral("a"));
    QCOMPARE(getString(1), QStringLiteral("b"));

    const QByteArray second = le32(1) + le32(2) + le32(20) + le32(0) + le32(0)
                              + block({0, 5}, QByteArray("eins\0zwei\0", 10));
    QCOMPARE(load(&second, 0), QByteArray());
    QCOMPARE(getString(0), QStringLiteral("eins"));
    QCOMPARE(getString(1), QStringLiteral("zwei"));
}

QTEST_GUILESS_MAIN(TestStringTable)
#include "tst_stringtable.moc"
