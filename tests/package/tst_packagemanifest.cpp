#include "package/packagemanifest.h"
#include "package/packagesignature.h"
#include "common/packagebuilder.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray line(const QByteArray &path, qint64 size = 3, char digit = '0')
{
    return QByteArray(64, digit) + ' ' + QByteArray::number(size) + ' ' + path + '\n';
}

QByteArray manifest(const QList<QByteArray> &lines)
{
    QByteArray text = "corvane-manifest 1\n";
    for (const QByteArray &one : lines)
        text += one;
    return text;
}

} // namespace

// The manifest format: what the parser refuses (every way a path could leave the
// package or name one file twice, every malformed field, every bound), and a scanned
// package written and read back.
class TestPackageManifest : public QObject
{
    Q_OBJECT

private slots:
    void refusesMalformed_data();
    void refusesMalformed();
    void acceptsCanonicalText();
    void scanWritesWhatParses();
    void scanRefusesWhatItCannotName();
    void signatureFileRefusals_data();
    void signatureFileRefusals();
};

void TestPackageManifest::refusesMalformed_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("reason");

    QTest::newRow("empty") << QByteArray() << "does not end with a line feed";
    QTest::newRow("other header") << QByteArray("corvane-manifest 2\n") << "not a package manifest";
    QTest::newRow("no final line feed") << manifest({}).chopped(1) << "does not end with a line feed";
    QTest::newRow("carriage return") << QByteArray("corvane-manifest 1\r\n") << "carriage return";
    QTest::newRow("NUL byte") << manifest({line(QByteArray("a\0b", 3))}) << "NUL";
    QTest::newRow("parent directory") << manifest({line("application/../../etc/passwd")}) << "\"..\"";
    QTest::newRow("leading parent") << manifest({line("../outside")}) << "\"..\"";
    QTest::newRow("dot part") << manifest({line("application/./a")}) << "\"..\"";
    QTest::newRow("absolute") << manifest({line("/etc/passwd")}) << "absolute path";
    QTest::newRow("backslash") << manifest({line("application\\..\\a")}) << "\"\\\"";
    QTest::newRow("drive letter") << manifest({line("C:/Windows/a")}) << "\":\"";
    QTest::newRow("empty part") << manifest({line("application//a")}) << "empty part";
    QTest::newRow("trailing slash") << manifest({line("application/")}) << "empty part";
    QTest::newRow("trailing dot") << manifest({line("a./b")}) << "ends in a dot or a space";
    QTest::newRow("trailing space") << manifest({line("a /b")}) << "ends in a dot or a space";
    QTest::newRow("control character") << manifest({line("a\tb")}) << "control character";
    QTest::newRow("invalid UTF-8") << manifest({line("a\xff")}) << "not valid UTF-8";
    QTest::newRow("overlong UTF-8 slash") << manifest({line("a\xc0\xaf" "b")}) << "not valid UTF-8";
    QTest::newRow("path too long") << manifest({line(QByteArray(PackageManifest::kMaxPathBytes + 1, 'a'))}) << "too long";
    QTest::newRow("duplicate") << manifest({line("a"), line("a")}) << "listed twice";
    QTest::newRow("out of order") << manifest({line("b"), line("a")}) << "out of order";
    QTest::newRow("letter case") << manifest({line("A.txt"), line("a.txt")}) << "letter case";
    QTest::newRow("file and directory") << manifest({line("a"), line("a/b")}) << "below a file";
    QTest::newRow("directory and file, case") << manifest({line("A/b"), line("a")}) << "both a file and a directory";
    QTest::newRow("the manifest itself") << manifest({line("package.manifest")}) << "not part of a package";
    QTest::newRow("the log") << manifest({line("log/x.txt")}) << "not part of a package";
    QTest::newRow("upper-case hex") << manifest({line("a", 3, 'A')}) << "lower-case hex";
    QTest::newRow("short hash") << manifest({QByteArray(63, '0') + " 3 a\n"}) << "lower-case hex";
    QTest::newRow("negative size") << manifest({QByteArray(64, '0') + " -3 a\n"}) << "plain decimal";
    QTest::newRow("leading zero") << manifest({QByteArray(64, '0') + " 03 a\n"}) << "plain decimal";
    QTest::newRow("size overflows") << manifest({QByteArray(64, '0') + " 99999999999999999999 a\n"}) << "plain decimal";
    QTest::newRow("huge size") << manifest({line("a", PackageManifest::kMaxFileSize + 1)}) << "a size above";
    QTest::newRow("two spaces") << manifest({QByteArray(64, '0') + "  3 a\n"}) << "plain decimal";
    QTest::newRow("no path") << manifest({QByteArray(64, '0') + " 3\n"}) << "expected";
    QTest::newRow("empty line") << manifest({"\n"}) << "expected";
    QByteArray many = "corvane-manifest 1\n";
    for (int i = 0; i <= PackageManifest::kMaxEntries; ++i)
        many += line(QByteArray::number(1000000 + i));
    QTest::newRow("too many files") << many << "more than";
    QTest::newRow("too large") << manifest({line("a")}) + QByteArray(PackageManifest::kMaxTextBytes, '\n')
                               << "larger than";
}

void TestPackageManifest::refusesMalformed()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, reason);
    PackageManifest parsed;
    QVERIFY(!parsed.parse(text));
    QVERIFY2(parsed.errorString().contains(reason), qPrintable(parsed.errorString()));
    QVERIFY(parsed.entries().isEmpty());

    // Read from a file, a text past the bound is cut there, not read whole.
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("m")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    file.close();
    QVERIFY(!parsed.read(file.fileName()));
}

void TestPackageManifest::acceptsCanonicalText()
{
    const QByteArray text = manifest({line("a"), line("a-b/c"), line("a.b"), line("b/c/d", 0), line("\xc3\xa9t\xc3\xa9" ".txt")});
    PackageManifest parsed;
    QVERIFY2(parsed.parse(text), qPrintable(parsed.errorString()));
    QCOMPARE(parsed.entries().size(), 5);
    QCOMPARE(parsed.entries().at(4).path, QStringLiteral("été.txt"));
    QCOMPARE(parsed.toText(), text);
}

void TestPackageManifest::scanWritesWhatParses()
{
    QTemporaryDir dir;
    PackageBuilder package(dir.path());
    package.files({"version.ini=v", "string.bin=", "application/common/a b.txt=spaces", "application/3_2_to_3_3/sql/dbupdate.sql=x;",
                   "application/.hidden=h", "log/cvUpdaterlog_2026-01-01.txt=not part of it"})
        .file(QStringLiteral("big.bin"), QByteArray(3 << 20, 'z'));
    QVERIFY2(package.ok(), qPrintable(package.error()));

    PackageManifest scanned;
    qint64 lastDone = 0;
    QVERIFY2(scanned.scan(dir.path(), [&lastDone](qint64 done, qint64) { lastDone = done; }),
             qPrintable(scanned.errorString()));
    QCOMPARE(lastDone, qint64(3 << 20) + 6 + 1 + 2 + 1);
    QStringList paths;
    for (const PackageManifest::Entry &entry : scanned.entries())
        paths << entry.path;
    QCOMPARE(paths, QStringList({"application/.hidden", "application/3_2_to_3_3/sql/dbupdate.sql",
                                 "application/common/a b.txt", "big.bin", "string.bin", "version.ini"}));
    QCOMPARE(scanned.entries().at(3).sha256, QCryptographicHash::hash(QByteArray(3 << 20, 'z'), QCryptographicHash::Sha256));
    QCOMPARE(scanned.entries().at(4).size, qint64(0));

    PackageManifest parsed;
    QVERIFY2(parsed.parse(scanned.toText()), qPrintable(parsed.errorString()));
    QCOMPARE(parsed.toText(), scanned.toText());
}

void TestPackageManifest::scanRefusesWhatItCannotName()
{
#ifdef Q_OS_WIN
    QSKIP("Windows has no symbolic links for a package to carry, and a backslash separates folders there");
#endif
    QTemporaryDir dir;
    PackageBuilder package(dir.path());
    package.files({"version.ini=v", "a\\b=backslash"}).link(QStringLiteral("linked"), QStringLiteral("version.ini"));
    QVERIFY2(package.ok(), qPrintable(package.error()));
    PackageManifest scanned;
    QVERIFY(!scanned.scan(dir.path()));
    QVERIFY2(scanned.errorString().contains(QStringLiteral("linked: a symbolic link")), qPrintable(scanned.errorString()));
    QVERIFY2(scanned.errorString().contains(QStringLiteral("a\\b")), qPrintable(scanned.errorString()));
}

void TestPackageManifest::signatureFileRefusals_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("reason");
    const QByteArray key(64, 'a');
    const QByteArray sig(128, 'b');
    QTest::newRow("empty") << QByteArray() << "line feed";
    QTest::newRow("header only") << QByteArray("corvane-signature 1\n") << "no signature";
    QTest::newRow("other algorithm") << "corvane-signature 1\nrsa " + key + ' ' + sig + '\n' << "expected";
    QTest::newRow("short key") << "corvane-signature 1\ned25519 " + key.left(62) + ' ' + sig + '\n' << "expected";
    QTest::newRow("upper-case signature") << "corvane-signature 1\ned25519 " + key + ' ' + sig.toUpper() + '\n' << "expected";
    QTest::newRow("extra field") << "corvane-signature 1\ned25519 " + key + ' ' + sig + " x\n" << "expected";
    QTest::newRow("same key twice") << "corvane-signature 1\ned25519 " + key + ' ' + sig + "\ned25519 " + key + ' ' + sig + '\n'
                                    << "same key";
    QTest::newRow("huge") << "corvane-signature 1\ned25519 " + key + ' ' + sig + '\n' + QByteArray(5000, '\n') << "larger than";
}

void TestPackageManifest::signatureFileRefusals()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, reason);
    PackageSignature signature;
    QVERIFY(!signature.parse(text));
    QVERIFY2(signature.errorString().contains(reason), qPrintable(signature.errorString()));
}

QTEST_GUILESS_MAIN(TestPackageManifest)
#include "tst_packagemanifest.moc"
