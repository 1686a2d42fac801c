#include "package/packagemanifest.h"
#include "entry/entrymanifest.h"
#include "entry/entrytrust.h"
#include "entry/privatecopy.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sodium.h>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <aclapi.h>
#include <sddl.h>
#endif

namespace {

QByteArray line(const QByteArray &path, qint64 size = 3, char digit = '0')
{
    return QByteArray(64, digit) + ' ' + QByteArray::number(size) + ' ' + path + '\n';
}

QByteArray listOf(const QMap<QString, QByteArray> &files)
{
    QByteArray text = "corvane-manifest 1\n";
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        text += QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256).toHex() + ' '
            + QByteArray::number(it.value().size()) + ' ' + it.key().toUtf8() + '\n';
    return text;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

std::string bytes(const QByteArray &text)
{
    return std::string(text.constData(), std::size_t(text.size()));
}

QByteArray keysFile(const QList<QByteArray> &keys)
{
    QByteArray text = "[ZRFILE_BEGIN]\nCODE=tarnwoven\n\n[KEYS]\n";
    for (int i = 0; i < keys.size(); ++i)
        text += "vendor-" + QByteArray::number(i) + '=' + keys.at(i).toHex() + '\n';
    return text + "\n[ZRFILE_END]\nCODE=tarnwoven\n";
}

} // namespace

// The elevated entry's checks without Qt: its manifest reader refuses what the updater's
// refuses; signatures against trusted keys; the private copy holds only listed files,
// refuses links and catches a file that differs.
class TestEntryCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(sodium_init() >= 0); }
    void readsManifestsAsTheUpdaterDoes_data();
    void readsManifestsAsTheUpdaterDoes();
    void trustAndSignature_data();
    void trustAndSignature();
    void copiesOnlyListedFiles();
    void refusesWhatTheVendorDidNotShip_data();
    void refusesWhatTheVendorDidNotShip();
};

void TestEntryCheck::readsManifestsAsTheUpdaterDoes_data()
{
    QTest::addColumn<QByteArray>("text");
    const QByteArray head = "corvane-manifest 1\n";
    QTest::newRow("files") << head + line("Qt5Core.dll") + line("sqldrivers/qsqlite.dll");
    QTest::newRow("header only") << head;
    QTest::newRow("no header") << line("a");
    QTest::newRow("other header") << "corvane-manifest 2\n" + line("a");
    QTest::newRow("no final line feed") << head + line("a").chopped(1);
    QTest::newRow("carriage return") << head + line("a").replace('\n', "\r\n");
    QTest::newRow("dot dot") << head + line("../evil.dll");
    QTest::newRow("dot dot inside") << head + line("sqldrivers/../../evil.dll");
    QTest::newRow("absolute") << head + line("/evil.dll");
    QTest::newRow("backslash") << head + line("sqldrivers\\evil.dll");
    QTest::newRow("drive") << head + line("C:evil.dll");
    QTest::newRow("trailing dot") << head + line("evil.dll.");
    QTest::newRow("trailing space") << head + line("evil.dll ");
    QTest::newRow("empty part") << head + line("a//b");
    QTest::newRow("control") << head + line("a\tb");
    QTest::newRow("upper-case hex") << head + line("a", 3, 'A');
    QTest::newRow("short hash") << head + line("a").mid(1);
    QTest::newRow("size with sign") << head + QByteArray(64, '0') + " +3 a\n";
    QTest::newRow("size with zero") << head + QByteArray(64, '0') + " 03 a\n";
    QTest::newRow("size too large") << head + line("a", (qint64(1) << 36) + 1);
    QTest::newRow("out of order") << head + line("b") + line("a");
    QTest::newRow("twice") << head + line("a") + line("a");
    QTest::newRow("letter case") << head + line("A.dll") + line("a.dll");
    QTest::newRow("file and directory") << head + line("a") + line("a/b");
    QTest::newRow("the manifest itself") << head + line("package.manifest");
    QTest::newRow("the log") << head + line("log/x.txt");
}

void TestEntryCheck::readsManifestsAsTheUpdaterDoes()
{
    QFETCH(QByteArray, text);
    PackageManifest updater;
    EntryManifest entry;
    const bool updaterAccepts = updater.parse(text);
    QCOMPARE(entry.parse(bytes(text)), updaterAccepts);
    if (updaterAccepts) {
        QCOMPARE(int(entry.files().size()), updater.entries().size());
        for (int i = 0; i < updater.entries().size(); ++i)
            QCOMPARE(QString::fromStdString(entry.files()[std::size_t(i)].path), updater.entries().at(i).path);
    } else {
        QCOMPARE(entry.error().textId, 1429);
        QVERIFY(entry.files().empty());
    }
}

void TestEntryCheck::trustAndSignature_data()
{
    QTest::addColumn<QString>("keys");       // the keys file: "trusted", "other", "none", "broken", "utf16"
    QTest::addColumn<QString>("signature");  // "good", "tampered", "missing", "garbage"
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("signed by the trusted key") << "trusted" << "good" << int(EntryTrust::State::Trusted) << true;
    QTest::newRow("keys file in UTF-16") << "utf16" << "good" << int(EntryTrust::State::Trusted) << true;
    QTest::newRow("manifest changed after signing") << "trusted" << "tampered" << int(EntryTrust::State::Trusted) << false;
    QTest::newRow("no signature file") << "trusted" << "missing" << int(EntryTrust::State::Trusted) << false;
    QTest::newRow("signature garbage") << "trusted" << "garbage" << int(EntryTrust::State::Trusted) << false;
    QTest::newRow("signed by another key") << "other" << "good" << int(EntryTrust::State::Trusted) << false;
    QTest::newRow("no keys file") << "none" << "good" << int(EntryTrust::State::NoKeys) << false;
    QTest::newRow("keys file without markers") << "broken" << "good" << int(EntryTrust::State::Broken) << false;
    QTest::newRow("malformed key") << "malformed" << "good" << int(EntryTrust::State::Broken) << false;
}

void TestEntryCheck::trustAndSignature()
{
    QFETCH(QString, keys);
    QFETCH(QString, signature);
    QFETCH(int, state);
    QFETCH(bool, accepted);

    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    unsigned char otherKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char otherSecret[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(publicKey, secretKey);
    crypto_sign_keypair(otherKey, otherSecret);
    const QByteArray trusted(reinterpret_cast<const char *>(publicKey), sizeof publicKey);
    const QByteArray other(reinterpret_cast<const char *>(otherKey), sizeof otherKey);

    const QByteArray manifest = "corvane-manifest 1\n" + line("corvane-updater.exe");
    unsigned char signatureBytes[crypto_sign_BYTES];
    crypto_sign_detached(signatureBytes, nullptr, reinterpret_cast<const unsigned char *>(manifest.constData()),
                         std::size_t(manifest.size()), secretKey);
    QByteArray signatureText = "corvane-signature 1\ned25519 " + trusted.toHex() + ' '
        + QByteArray(reinterpret_cast<const char *>(signatureBytes), sizeof signatureBytes).toHex() + '\n';
    QByteArray checked = manifest;
    if (signature == QLatin1String("tampered"))
        checked = "corvane-manifest 1\n" + line("corvane-updater.exe") + line("version.dll");
    else if (signature == QLatin1String("missing"))
        signatureText.clear();
    else if (signature == QLatin1String("garbage"))
        signatureText = "corvane-signature 1\ned25519 " + trusted.toHex() + " 00\n";

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("TRUSTED_KEYS.ini"));
    if (keys == QLatin1String("trusted"))
        QVERIFY(writeFile(path, keysFile({other, trusted})));
    else if (keys == QLatin1String("utf16")) {
        const QString text = QString::fromUtf8(keysFile({trusted}));
        QByteArray utf16("\xff\xfe", 2);
        utf16.append(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
        QVERIFY(writeFile(path, utf16));
    } else if (keys == QLatin1String("other"))
        QVERIFY(writeFile(path, keysFile({other})));
    else if (keys == QLatin1String("broken"))
        QVERIFY(writeFile(path, "[KEYS]\nvendor=" + trusted.toHex() + '\n'));
    else if (keys == QLatin1String("malformed"))
        QVERIFY(writeFile(path, keysFile({trusted}).replace(trusted.toHex(), trusted.toHex().toUpper())));

    EntryTrust trust = EntryTrust::fromFile(path.toStdString());
    QCOMPARE(int(trust.state()), state);
    QCOMPARE(trust.verify(bytes(checked), bytes(signatureText)), accepted);
    if (!accepted)
        QCOMPARE(trust.error().textId, 1428);
}

void TestEntryCheck::copiesOnlyListedFiles()
{
    QTemporaryDir source;
    QTemporaryDir parent;
    const QMap<QString, QByteArray> own{{QStringLiteral("corvane-updater-cli.exe"), "program"},
                                        {QStringLiteral("sqldrivers/qsqlite.dll"), "driver"},
                                        {QStringLiteral("string.bin"), "texts"}};
    for (auto it = own.cbegin(); it != own.cend(); ++it)
        QVERIFY(writeFile(source.filePath(it.key()), it.value()));
    // Planted beside the programs and among the plug-ins: never copied.
    QVERIFY(writeFile(source.filePath(QStringLiteral("VERSION.dll")), "planted"));
    QVERIFY(writeFile(source.filePath(QStringLiteral("sqldrivers/planted.dll")), "planted"));
    QVERIFY(writeFile(source.filePath(QStringLiteral("application/3_2_to_3_3/common/a.txt")), "data"));

    EntryManifest list;
    QVERIFY(list.parse(bytes(listOf(own))));
    QString folder;
    {
        PrivateCopy copy{std::filesystem::path(source.path().toStdString())};
        QVERIFY(copy.create(parent.path().toStdString()));
        folder = QString::fromStdString(copy.folder().string());
        QVERIFY(QFileInfo(folder).isDir());
#ifdef Q_OS_WIN
        // Administrators own it; SYSTEM and Administrators only, nothing inherited.
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        QCOMPARE(GetNamedSecurityInfoW(reinterpret_cast<const wchar_t *>(folder.utf16()), SE_FILE_OBJECT,
                                       OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                       nullptr, &descriptor),
                 DWORD(ERROR_SUCCESS));
        wchar_t *text = nullptr;
        QVERIFY(ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr));
        const QString sddl = QString::fromWCharArray(text);
        LocalFree(text);
        LocalFree(descriptor);
        // Windows keeps "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"; Wine stores Administrators
        // as its one user and drops the protection flag. Either way: SYSTEM has full
        // control, and no ACE lets everyone, users or the interactive logon in.
        QVERIFY2(sddl.contains(QLatin1String("(A;OICI;FA;;;SY)")), qPrintable(sddl));
        for (const char *trustee : {";WD)", ";BU)", ";AU)", ";IU)"})
            QVERIFY2(!sddl.contains(QLatin1String(trustee)), qPrintable(sddl));
        QCOMPARE(sddl.count(QLatin1String("(A;")), 2);
#else
        QCOMPARE(QFileInfo(folder).permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
                 QFile::Permissions());
#endif
        for (const EntryFile &file : list.files())
            QVERIFY(copy.copyFile(file.path));
        QVERIFY(copy.copyTree("application"));
        QVERIFY(copy.copyTree("no-such-tree"));
        QVERIFY(copy.verify(list.files()));

        QStringList copied;
        QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            copied << QDir(folder).relativeFilePath(it.next());
        copied.sort();
        QCOMPARE(copied, QStringList({QStringLiteral("application/3_2_to_3_3/common/a.txt"),
                                      QStringLiteral("corvane-updater-cli.exe"), QStringLiteral("sqldrivers/qsqlite.dll"),
                                      QStringLiteral("string.bin")}));
    }
    QVERIFY2(!QFileInfo::exists(folder), "the copy goes with its object");
}

void TestEntryCheck::refusesWhatTheVendorDidNotShip_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("textId");
    QTest::newRow("replaced library") << "replaced" << 1422;
    QTest::newRow("same size, other bytes") << "same size" << 1422;
    QTest::newRow("listed file missing") << "missing" << 1421;
    QTest::newRow("library is a link") << "link" << 1423;
    QTest::newRow("plug-in folder is a link") << "linked folder" << 1423;
    QTest::newRow("link in the package tree") << "tree link" << 1423;
}

void TestEntryCheck::refusesWhatTheVendorDidNotShip()
{
    QFETCH(QString, change);
    QFETCH(int, textId);
#ifdef Q_OS_WIN
    if (change.contains(QLatin1String("link")))
        QSKIP("QFile::link makes a shell link file on Windows, not a reparse point");
#endif
    QTemporaryDir source;
    QTemporaryDir elsewhere;
    QTemporaryDir parent;
    const QMap<QString, QByteArray> own{{QStringLiteral("Qt5Core.dll"), "the vendor's Qt"},
                                        {QStringLiteral("sqldrivers/qsqlite.dll"), "driver"}};
    for (auto it = own.cbegin(); it != own.cend(); ++it)
        QVERIFY(writeFile(source.filePath(it.key()), it.value()));
    QVERIFY(writeFile(source.filePath(QStringLiteral("application/common/a.txt")), "data"));
    QVERIFY(writeFile(elsewhere.filePath(QStringLiteral("qsqlite.dll")), "driver"));
    EntryManifest list;
    QVERIFY(list.parse(bytes(listOf(own))));

    const QString core = source.filePath(QStringLiteral("Qt5Core.dll"));
    if (change == QLatin1String("replaced"))
        QVERIFY(writeFile(core, "a proxy that runs its own code first"));
    else if (change == QLatin1String("same size"))
        QVERIFY(writeFile(core, "the vendor's Qu"));
    else if (change == QLatin1String("missing"))
        QVERIFY(QFile::remove(core));
    else if (change == QLatin1String("link"))
        QVERIFY(QFile::remove(core) && QFile::link(elsewhere.filePath(QStringLiteral("qsqlite.dll")), core));
    else if (change == QLatin1String("linked folder"))
        QVERIFY(QDir(source.filePath(QStringLiteral("sqldrivers"))).removeRecursively()
                && QFile::link(elsewhere.path(), source.filePath(QStringLiteral("sqldrivers"))));
    else if (change == QLatin1String("tree link"))
        QVERIFY(QFile::link(elsewhere.path(), source.filePath(QStringLiteral("application/common/linked"))));

    PrivateCopy copy{std::filesystem::path(source.path().toStdString())};
    QVERIFY(copy.create(parent.path().toStdString()));
    bool ok = copy.copyTree("application");
    for (const EntryFile &file : list.files())
        ok = ok && copy.copyFile(file.path);
    ok = ok && copy.verify(list.files());
    QVERIFY(!ok);
    QCOMPARE(copy.error().textId, textId);
}

QTEST_GUILESS_MAIN(TestEntryCheck)
#include "tst_entrycheck.moc"
