#include "config/initextcodec.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Text a user could type or paste: separators and quotes the INI syntax escapes,
// control characters, blanks at either end, Latin-1, the rest of the BMP, and
// characters beyond it (emoji, CJK extension B, the last planes).
QString randomText(QRandomGenerator &random, int maxLength, bool beyondBmp)
{
    static const QString special = QStringLiteral(" ;,=\"\\@[]%#/\t\n\r\u00a0");
    QString text;
    const int length = random.bounded(maxLength + 1);
    for (int i = 0; i < length; ++i) {
        char32_t c = 0;
        switch (random.bounded(beyondBmp ? 7 : 6)) {
        case 0: c = char32_t(random.bounded(0x20, 0x7f)); break;
        case 1: c = special.at(random.bounded(special.size())).unicode(); break;
        case 2: c = char32_t(random.bounded(0x00, 0x20)); break;
        case 3: c = char32_t(random.bounded(0x80, 0x100)); break;
        case 4: c = char32_t(random.bounded(0x100, 0xd800)); break;
        case 5: c = char32_t(random.bounded(0xe000, 0xfffe)); break;
        case 6: c = random.bounded(2) ? char32_t(random.bounded(0x1f300, 0x1fa00))
                                      : char32_t(random.bounded(0x10000, 0x110000)); break;
        }
        text += QString::fromUcs4(&c, 1);
    }
    return text;
}

// A key part: no "/" (it separates groups), never empty.
QString randomKeyPart(QRandomGenerator &random, bool beyondBmp)
{
    QString part = randomText(random, 8, beyondBmp);
    part.remove(QLatin1Char('/'));
    return part.isEmpty() ? QStringLiteral("k") : part;
}

using Values = QMap<QString, QString>;

Values randomValues(QRandomGenerator &random, bool beyondBmp)
{
    Values values;
    const int groups = random.bounded(1, 4);
    for (int g = 0; g < groups; ++g) {
        const QString group = g == 0 ? QString() : randomKeyPart(random, beyondBmp) + QLatin1Char('/');
        const int keys = random.bounded(1, 6);
        for (int k = 0; k < keys; ++k)
            values.insert(group + randomKeyPart(random, beyondBmp), randomText(random, 24, beyondBmp));
    }
    return values;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The file written with the codec (or with Qt's plain UTF-8 when codec is null).
QByteArray written(const QString &path, const Values &values, QTextCodec *codec)
{
    {
        QSettings settings(path, QSettings::IniFormat);
        if (codec)
            settings.setIniCodec(codec);
        else
            settings.setIniCodec("UTF-8");
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            settings.setValue(it.key(), it.value());
    }
    return fileBytes(path);
}

// What Qt's own INI reader makes of bytes, from a file it has never seen (QSettings
// serves a file it has just written from memory).
Values readByQt(const QString &path, const QByteArray &bytes)
{
    Values values;
    if (!writeBytes(path, bytes))
        return values;
    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys)
        values.insert(key, settings.value(key).toString());
    return values;
}

} // namespace

class TestIniTextCodec : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void randomTextRoundTrips_data();
    void randomTextRoundTrips();
    void bmpTextWrittenAsQtWritesIt();
    void qtFilesReadAsBefore();
    void byteOrderMarkFileChangedOnDisk();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    int m_files = 0;
    QString newPath() { return m_dir->filePath(QStringLiteral("f%1.ini").arg(++m_files)); }
};

void TestIniTextCodec::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void TestIniTextCodec::randomTextRoundTrips_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed = 1; seed <= 4; ++seed)
        QTest::newRow(qPrintable(QStringLiteral("seed %1").arg(seed))) << seed;
}

void TestIniTextCodec::randomTextRoundTrips()
{
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    for (int round = 0; round < 30; ++round) {
        const Values values = randomValues(random, true);
        const QByteArray bytes = written(newPath(), values, IniTextCodec::instance());
        QVERIFY(!bytes.isEmpty());
        QCOMPARE(readByQt(newPath(), bytes), values);
    }
}

void TestIniTextCodec::bmpTextWrittenAsQtWritesIt()
{
    QRandomGenerator random(77);
    for (int round = 0; round < 100; ++round) {
        const Values values = randomValues(random, false);
        QCOMPARE(written(newPath(), values, IniTextCodec::instance()), written(newPath(), values, nullptr));
    }
}

void TestIniTextCodec::qtFilesReadAsBefore()
{
    // Files that Qt wrote, and files with UTF-8 written by hand (a byte order mark, a
    // character beyond the BMP typed in): both readers give the same values.
    QRandomGenerator random(5);
    QList<QByteArray> files{
        QByteArray("\xEF\xBB\xBF[General]\nName=Zo\xC3\xAB \xF0\x9F\x8C\xBB \xC3\x85ngstr\xC3\xB6m\n"),
        QByteArray("[a]\nk=\"x, y\"\nl=x, y\nm=@@at\nn=\\x1f600\n; note\n"),
    };
    for (int round = 0; round < 30; ++round)
        files.append(written(newPath(), randomValues(random, false), nullptr));
    for (const QByteArray &bytes : qAsConst(files)) {
        const QString ours = newPath();
        QVERIFY(writeBytes(ours, bytes));
        QSettings settings(ours, QSettings::IniFormat);
        IniTextCodec::apply(settings);
        Values values;
        const QStringList keys = settings.allKeys();
        for (const QString &key : keys)
            values.insert(key, settings.value(key).toString());
        QCOMPARE(values, readByQt(newPath(), bytes));
    }
}

void TestIniTextCodec::byteOrderMarkFileChangedOnDisk()
{
    // A file that another program rewrote (with a byte order mark) while it was open:
    // the save re-reads it, and must still write the flower.
    const QString path = newPath();
    const QString flower = QStringLiteral("Zo\u00eb \U0001F33B \u00c5ngstr\u00f6m");
    QVERIFY(writeBytes(path, "[General]\nother=1\n"));
    QSettings settings(path, QSettings::IniFormat);
    IniTextCodec::apply(settings);
    QCOMPARE(settings.value(QStringLiteral("other")).toString(), QStringLiteral("1"));
    QVERIFY(writeBytes(path, "\xEF\xBB\xBF[General]\nother=22\n"));
    settings.setValue(QStringLiteral("name"), flower);
    IniTextCodec::sync(settings);
    QVERIFY(settings.status() != QSettings::AccessError);
    const Values values = readByQt(newPath(), fileBytes(path));
    QCOMPARE(values.value(QStringLiteral("name")), flower);
    QCOMPARE(values.value(QStringLiteral("other")), QStringLiteral("22"));
}

QTEST_GUILESS_MAIN(TestIniTextCodec)
#include "tst_initextcodec.moc"
