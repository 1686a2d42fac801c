#include "package/packagemanifest.h"
#include "package/packagesignature.h"
#include "package/packageverifier.h"
#include "package/trustedkeys.h"
#include "common/packagebuilder.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using Signature = PackageVerifier::Signature;

Q_DECLARE_METATYPE(PackageVerifier::Signature)

namespace {

enum class Trust { None, Signer, OtherKey, BothKeys, DamagedFile, EmptyFile, MalformedKey };

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

// Every way a package is accepted or refused before an update: the signature (trusted,
// untrusted, missing, wrong, changed, malformed), the files against the manifest
// (changed byte, missing, extra, not a file), the trusted keys file, all on real
// packages signed with real keys.
class TestPackageVerifier : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void verify_data();
    void verify();

private:
    QByteArray m_signerSecret;
    QByteArray m_signerPublic;
    QByteArray m_otherSecret;
    QByteArray m_otherPublic;
};

void TestPackageVerifier::initTestCase()
{
    if (!PackageSignature::isSupported())
        QSKIP("built without signature support (CORVANE_SIGNATURES off)");
    QVERIFY(PackageSignature::generateKeyPair(&m_signerPublic, &m_signerSecret));
    QVERIFY(PackageSignature::generateKeyPair(&m_otherPublic, &m_otherSecret));
    QCOMPARE(PackageSignature::publicKeyOf(m_signerSecret), m_signerPublic);
}

void TestPackageVerifier::verify_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("trust");
    QTest::addColumn<Signature>("signature");
    QTest::addColumn<QStringList>("problems");

    const auto row = [](const char *name, const char *change, Trust trust, Signature signature, QStringList problems) {
        QTest::newRow(name) << QString::fromLatin1(change) << int(trust) << signature << problems;
    };
    row("signed, trusted", "", Trust::Signer, Signature::Verified, {});
    row("signed by two keys, one trusted", "second signature", Trust::Signer, Signature::Verified, {});
    row("rotation: two keys trusted", "", Trust::BothKeys, Signature::Verified, {});
    row("signed, no key trusted", "", Trust::None, Signature::SignedUntrusted, {});
    row("manifest only, no key trusted", "remove signature", Trust::None, Signature::ManifestOnly, {});
    row("unsigned, no key trusted", "remove manifest|remove signature", Trust::None, Signature::Unsigned, {});
    row("log directory is not part of it", "add log", Trust::Signer, Signature::Verified, {});

    row("wrong key", "", Trust::OtherKey, Signature::UnknownKey, {"signed only by keys this installation does not trust"});
    row("no signature where a key is trusted", "remove signature", Trust::Signer, Signature::NotSigned,
        {"has no package.manifest.sig"});
    row("no manifest where a key is trusted", "remove manifest", Trust::Signer, Signature::NotSigned,
        {"has no package.manifest,"});
    row("signature without manifest", "remove manifest", Trust::None, Signature::Malformed, {"has a signature but no"});
    row("changed byte", "change byte", Trust::Signer, Signature::Verified,
        {"changed: application/3_2_to_3_3/common/app.exe (its SHA-256 differs from the manifest)"});
    row("changed byte, no key trusted", "change byte", Trust::None, Signature::SignedUntrusted,
        {"changed: application/3_2_to_3_3/common/app.exe (its SHA-256 differs from the manifest)"});
    row("truncated file", "truncate", Trust::None, Signature::SignedUntrusted,
        {"changed: application/3_2_to_3_3/common/app.exe (3 bytes, the manifest says 12)"});
    row("missing file", "remove file", Trust::Signer, Signature::Verified,
        {"missing: application/3_2_to_3_3/config/app.ini (listed in the manifest)"});
    row("extra file", "add file", Trust::Signer, Signature::Verified,
        {"extra file: application/common/evil.dll (not in the manifest)"});
#ifdef Q_OS_WIN
    // QFile::link makes a shell link there, an ordinary file: refused as one the manifest lacks.
    row("link in the package", "add link", Trust::Signer, Signature::Verified,
        {"extra file: application/common/link.dll (not in the manifest)"});
#else
    row("link in the package", "add link", Trust::Signer, Signature::Verified,
        {"not allowed in a package: application/common/link.dll (a symbolic link)"});
#endif
    // The name is given whole, whatever it holds.
    row("name with a colon and a placeholder", "add odd name", Trust::Signer, Signature::Verified,
        {"not allowed in a package: application/common/odd: %2.dll (\"\\\" or \":\" in path)"});
    row("every difference listed", "remove file|add file|change byte", Trust::Signer, Signature::Verified,
        {"changed: application/3_2_to_3_3/common/app.exe", "missing: application/3_2_to_3_3/config/app.ini",
         "extra file: application/common/evil.dll"});
    row("manifest changed after signing", "edit manifest", Trust::Signer, Signature::BadSignature,
        {"does not match the manifest", "changed: application/3_2_to_3_3/common/app.exe"});
    row("manifest changed, no key trusted", "edit manifest", Trust::None, Signature::BadSignature,
        {"does not match the manifest"});
    row("signature bit flipped", "flip signature", Trust::Signer, Signature::BadSignature, {"does not match the manifest"});
    row("manifest names a path outside", "manifest outside", Trust::Signer, Signature::Malformed,
        {"the manifest package.manifest is malformed", "\"..\" in path"});
    row("malformed manifest", "manifest garbage", Trust::None, Signature::Malformed, {"not a package manifest"});
    row("huge manifest", "manifest huge", Trust::Signer, Signature::Malformed, {"larger than"});
    row("malformed signature", "signature garbage", Trust::Signer, Signature::Malformed, {"signature file package.manifest.sig is malformed"});
    row("huge signature", "signature huge", Trust::None, Signature::Malformed, {"larger than"});
    row("trusted keys file damaged", "", Trust::DamagedFile, Signature::KeysBroken, {"is damaged"});
    row("trusted keys file without a key", "", Trust::EmptyFile, Signature::KeysBroken, {"holds no key"});
    row("trusted keys file with a malformed key", "", Trust::MalformedKey, Signature::KeysBroken,
        {"is not 64 lower-case hex digits"});
}

void TestPackageVerifier::verify()
{
    QFETCH(QString, change);
    QFETCH(int, trust);
    QFETCH(Signature, signature);
    QFETCH(QStringList, problems);

    QTemporaryDir dir;
    const QString packageDir = dir.filePath(QStringLiteral("package"));
    PackageBuilder package(packageDir);
    package.files({"corvane-updater-cli=program", "string.bin=strings", "application/common/",
                   "application/3_2_to_3_3/common/app.exe=Ostrelle 3.3"})
        .markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.3"}})
        .markedIni(PackageBuilder::stepPath(QStringLiteral("3_2_to_3_3"), QStringLiteral("config/app.ini")),
                   {{"view/zoom", "2"}});
    QVERIFY2(package.ok(), qPrintable(package.error()));

    // Signed as the vendor signs: manifest of every file, detached signature over it.
    PackageManifest manifest;
    QVERIFY2(manifest.scan(packageDir), qPrintable(manifest.errorString()));
    QByteArray manifestText = manifest.toText();
    PackageSignature signed_;
    PackageSignature::Signature one;
    QVERIFY(PackageSignature::sign(manifestText, m_signerSecret, &one));
    signed_.append(one);
    if (change.contains(QLatin1String("second signature"))) {
        QVERIFY(PackageSignature::sign(manifestText, m_otherSecret, &one));
        signed_.append(one);
    }
    QByteArray signatureText = signed_.toText();

    const QString exe = PackageBuilder::stepPath(QStringLiteral("3_2_to_3_3"), QStringLiteral("common/app.exe"));
    for (const QString &step : change.split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
        if (step == QLatin1String("change byte"))
            package.file(exe, "Ostrelle 3.4");
        else if (step == QLatin1String("truncate"))
            package.file(exe, "Ost");
        else if (step == QLatin1String("remove file"))
            QVERIFY(QFile::remove(package.path(PackageBuilder::stepPath(QStringLiteral("3_2_to_3_3"), QStringLiteral("config/app.ini")))));
        else if (step == QLatin1String("add file"))
            package.file(QStringLiteral("application/common/evil.dll"), "evil");
        else if (step == QLatin1String("add odd name"))
            package.file(QStringLiteral("application/common/odd: %2.dll"), "odd");
        else if (step == QLatin1String("add link"))
            package.link(QStringLiteral("application/common/link.dll"), QStringLiteral("../../string.bin"));
        else if (step == QLatin1String("add log"))
            package.file(QStringLiteral("log/cvUpdaterlog_2026-12-07.txt"), "a run");
        else if (step == QLatin1String("edit manifest"))
            manifestText.replace(QCryptographicHash::hash("Ostrelle 3.3", QCryptographicHash::Sha256).toHex(),
                                 QCryptographicHash::hash("Ostrelle 3.4", QCryptographicHash::Sha256).toHex());
        else if (step == QLatin1String("flip signature"))
            signatureText[signatureText.size() - 2] = signatureText.at(signatureText.size() - 2) == 'a' ? 'b' : 'a';
        else if (step == QLatin1String("manifest garbage"))
            manifestText = "<html>not found</html>\n";
        else if (step == QLatin1String("manifest huge"))
            manifestText += QByteArray(PackageManifest::kMaxTextBytes, '\n');
        else if (step == QLatin1String("signature garbage"))
            signatureText = "corvane-signature 1\ned25519 xyz\n";
        else if (step == QLatin1String("signature huge"))
            signatureText += QByteArray(PackageSignature::kMaxTextBytes, ' ');
        else if (step == QLatin1String("manifest outside")) {
            // A correctly signed manifest that names a file outside the package.
            manifestText.replace("application/3_2_to_3_3/common/app.exe", "application/../../Ostrelle/app.exe");
            PackageSignature resigned;
            QVERIFY(PackageSignature::sign(manifestText, m_signerSecret, &one));
            resigned.append(one);
            signatureText = resigned.toText();
        }
    }
    if (!change.contains(QLatin1String("remove manifest")))
        QVERIFY(writeBytes(package.path(QLatin1String(PackageManifest::kFileName)), manifestText));
    if (!change.contains(QLatin1String("remove signature")))
        QVERIFY(writeBytes(package.path(QLatin1String(PackageManifest::kSignatureName)), signatureText));
    QVERIFY2(package.ok(), qPrintable(package.error()));

    // The installation's trusted keys.
    const QString installDir = dir.filePath(QStringLiteral("Ostrelle"));
    PackageBuilder install(installDir);
    const QString keysFile = QStringLiteral("config/TRUSTED_KEYS.ini");
    const QString signerHex = QString::fromLatin1(m_signerPublic.toHex());
    const QString otherHex = QString::fromLatin1(m_otherPublic.toHex());
    switch (Trust(trust)) {
    case Trust::None:
        install.dir(QStringLiteral("config"));
        break;
    case Trust::Signer:
        install.markedIni(keysFile, {{"KEYS/vendor-2026", signerHex}});
        break;
    case Trust::OtherKey:
        install.markedIni(keysFile, {{"KEYS/vendor-2027", otherHex}});
        break;
    case Trust::BothKeys:
        install.markedIni(keysFile, {{"KEYS/vendor-2026", signerHex}, {"KEYS/vendor-2027", otherHex}});
        break;
    case Trust::DamagedFile:
        install.markedIni(keysFile, {{"KEYS/vendor-2026", signerHex}}, PackageBuilder::Markers::BeginOnly);
        break;
    case Trust::EmptyFile:
        install.markedIni(keysFile, {{"OTHER/x", "1"}});
        break;
    case Trust::MalformedKey:
        install.markedIni(keysFile, {{"KEYS/vendor-2026", signerHex}, {"KEYS/typo", signerHex.toUpper()}});
        break;
    }
    QVERIFY2(install.ok(), qPrintable(install.error()));
    const QStringList packageBefore = PackageBuilder::snapshot(packageDir);
    const QStringList installBefore = PackageBuilder::snapshot(installDir);

    const TrustedKeys keys = TrustedKeys::forInstallation(installDir);
    const PackageVerifier::Result result = PackageVerifier::verify(packageDir, keys);

    QVERIFY2(result.signature == signature,
             qPrintable(QStringLiteral("%1: %2").arg(PackageVerifier::signatureName(result.signature), result.signatureText)));
    QCOMPARE(result.accepted(), problems.isEmpty());
    const QString all = result.problems.join(QLatin1Char('\n'));
    for (const QString &problem : qAsConst(problems))
        QVERIFY2(all.contains(problem), qPrintable(QStringLiteral("%1 not in:\n%2").arg(problem, all)));
    if (problems.size() > 1 && signature == Signature::Verified)
        QCOMPARE(result.problems.size(), problems.size());
    // Verifying reads; it never changes the package or the installation.
    QCOMPARE(PackageBuilder::snapshot(packageDir), packageBefore);
    QCOMPARE(PackageBuilder::snapshot(installDir), installBefore);
}

QTEST_GUILESS_MAIN(TestPackageVerifier)
#include "tst_packageverifier.moc"
