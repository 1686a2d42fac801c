#include "package/packagemanifest.h"
#include "package/packagesignature.h"
#include "package/packageverifier.h"
#include "package/trustedkeys.h"
#include "common/packagebuilder.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using Signature = PackageVerifier::Signature;

namespace {

enum class Trust { None, Signer, OtherKey, BothKeys, DamagedFile, EmptyFile, MalformedKey };

const char kExe[] = "application/3_2_to_3_3/common/app.exe";
const char kStepIni[] = "application/3_2_to_3_3/config/app.ini";

// What a row does to a signed package before it is verified: files through the builder,
// the manifest and signature texts before they are written (an empty text is not written).
struct Tampering
{
    PackageBuilder &package;
    QByteArray manifest;
    QByteArray signature;
    QByteArray signerSecret;
    QByteArray otherSecret;
};

// Returns false when the row's own set-up failed, so that such a row fails instead of
// verifying an untouched package.
using Tamper = std::function<bool(Tampering &)>;

// The detached signature of manifest by every secret key given, or an empty text.
QByteArray signedBy(const QByteArray &manifest, const QList<QByteArray> &secrets)
{
    PackageSignature signatures;
    for (const QByteArray &secret : secrets) {
        PackageSignature::Signature one;
        if (!PackageSignature::sign(manifest, secret, &one))
            return QByteArray();
        signatures.append(one);
    }
    return signatures.toText();
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

Q_DECLARE_METATYPE(PackageVerifier::Signature)
Q_DECLARE_METATYPE(Trust)
Q_DECLARE_METATYPE(Tamper)

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
    QTest::addColumn<Tamper>("tamper");
    QTest::addColumn<Trust>("trust");
    QTest::addColumn<Signature>("signature");
    QTest::addColumn<QStringList>("problems");

    const auto row = [](const char *name, const Tamper &tamper, Trust trust, Signature signature, QStringList problems) {
        QTest::newRow(name) << tamper << trust << signature << problems;
    };
    const Tamper untouched = [](Tampering &) { return true; };
    const Tamper noSignature = [](Tampering &t) {
        t.signature.clear();
        return true;
    };
    const Tamper noManifest = [](Tampering &t) {
        t.manifest.clear();
        return true;
    };
    const Tamper changeByte = [](Tampering &t) { return t.package.file(QLatin1String(kExe), "Ostrelle 3.4").ok(); };
    const Tamper removeFile = [](Tampering &t) { return QFile::remove(t.package.path(QLatin1String(kStepIni))); };
    const Tamper addFile = [](Tampering &t) {
        return t.package.file(QStringLiteral("application/common/evil.dll"), "evil").ok();
    };
    const Tamper editManifest = [](Tampering &t) {
        const QByteArray from = QCryptographicHash::hash("Ostrelle 3.3", QCryptographicHash::Sha256).toHex();
        const bool found = t.manifest.contains(from);
        t.manifest.replace(from, QCryptographicHash::hash("Ostrelle 3.4", QCryptographicHash::Sha256).toHex());
        return found;
    };

    row("signed, trusted", untouched, Trust::Signer, Signature::Verified, {});
    row("signed by two keys, one trusted", [](Tampering &t) {
        t.signature = signedBy(t.manifest, {t.signerSecret, t.otherSecret});
        return !t.signature.isEmpty();
    }, Trust::Signer, Signature::Verified, {});
    row("rotation: two keys trusted", untouched, Trust::BothKeys, Signature::Verified, {});
    row("signed, no key trusted", untouched, Trust::None, Signature::SignedUntrusted, {});
    row("manifest only, no key trusted", noSignature, Trust::None, Signature::ManifestOnly, {});
    row("unsigned, no key trusted", [](Tampering &t) {
        t.manifest.clear();
        t.signature.clear();
        return true;
    }, Trust::None, Signature::Unsigned, {});
    row("log directory is not part of it", [](Tampering &t) {
        return t.package.file(QStringLiteral("log/cvUpdaterlog_2026-12-07.txt"), "a run").ok();
    }, Trust::Signer, Signature::Verified, {});

    row("wrong key", untouched, Trust::OtherKey, Signature::UnknownKey, {"signed only by keys this installation does not trust"});
    row("no signature where a key is trusted", noSignature, Trust::Signer, Signature::NotSigned,
        {"has no package.manifest.sig"});
    row("no manifest where a key is trusted", noManifest, Trust::Signer, Signature::NotSigned,
        {"has no package.manifest,"});
    row("signature without manifest", noManifest, Trust::None, Signature::Malformed, {"has a signature but no"});
    row("changed byte", changeByte, Trust::Signer, Signature::Verified,
        {"changed: application/3_2_to_3_3/common/app.exe (its SHA-256 differs from the manifest)"});
    row("changed byte, no key trusted", changeByte, Trust::None, Signature::SignedUntrusted,
        {"changed: application/3_2_to_3_3/common/app.exe (its SHA-256 differs from the manifest)"});
    row("truncated file", [](Tampering &t) { return t.package.file(QLatin1String(kExe), "Ost").ok(); }, Trust::None,
        Signature::SignedUntrusted, {"changed: application/3_2_to_3_3/common/app.exe (3 bytes, the manifest says 12)"});
    row("missing file", removeFile, Trust::Signer, Signature::Verified,
        {"missing: application/3_2_to_3_3/config/app.ini (listed in the manifest)"});
    row("extra file", addFile, Trust::Signer, Signature::Verified,
        {"extra file: application/common/evil.dll (not in the manifest)"});
    const Tamper addLink = [](Tampering &t) {
        return t.package.link(QStringLiteral("application/common/link.dll"), QStringLiteral("../../string.bin")).ok();
    };
#ifdef Q_OS_WIN
    // QFile::link makes a shell link there, an ordinary file: refused as one the manifest lacks.
    row("link in the package", addLink, Trust::Signer, Signature::Verified,
        {"extra file: application/common/link.dll (not in the manifest)"});
#else
    row("link in the package", addLink, Trust::Signer, Signature::Verified,
        {"not allowed in a package: application/common/link.dll (a symbolic link)"});
#endif
    // The name is given whole, whatever it holds.
    row("name with a colon and a placeholder", [](Tampering &t) {
        return t.package.file(QStringLiteral("application/common/odd: %2.dll"), "odd").ok();
    }, Trust::Signer, Signature::Verified,
        {"not allowed in a package: application/common/odd: %2.dll (\"\\\" or \":\" in path)"});
    row("every difference listed", [=](Tampering &t) { return removeFile(t) && addFile(t) && changeByte(t); },
        Trust::Signer, Signature::Verified,
        {"changed: application/3_2_to_3_3/common/app.exe", "missing: application/3_2_to_3_3/config/app.ini",
         "extra file: application/common/evil.dll"});
    row("manifest changed after signing", editManifest, Trust::Signer, Signature::BadSignature,
        {"does not match the manifest", "changed: application/3_2_to_3_3/common/app.exe"});
    row("manifest changed, no key trusted", editManifest, Trust::None, Signature::BadSignature,
        {"does not match the manifest"});
    row("signature bit flipped", [](Tampering &t) {
        const int at = t.signature.size() - 2;
        if (at < 0)
            return false;
        t.signature[at] = t.signature.at(at) == 'a' ? 'b' : 'a';
        return true;
    }, Trust::Signer, Signature::BadSignature, {"does not match the manifest"});
    // A correctly signed manifest that names a file outside the package.
    row("manifest names a path outside", [](Tampering &t) {
        const bool found = t.manifest.contains(kExe);
        t.manifest.replace(kExe, "application/../../Ostrelle/app.exe");
        t.signature = signedBy(t.manifest, {t.signerSecret});
        return found && !t.signature.isEmpty();
    }, Trust::Signer, Signature::Malformed, {"the manifest package.manifest is malformed", "\"..\" in path"});
    row("malformed manifest", [](Tampering &t) {
        t.manifest = "<html>not found</html>\n";
        return true;
    }, Trust::None, Signature::Malformed, {"not a package manifest"});
    row("huge manifest", [](Tampering &t) {
        t.manifest += QByteArray(PackageManifest::kMaxTextBytes, '\n');
        return true;
    }, Trust::Signer, Signature::Malformed, {"larger than"});
    row("malformed signature", [](Tampering &t) {
        t.signature = "corvane-signature 1\ned25519 xyz\n";
        return true;
    }, Trust::Signer, Signature::Malformed, {"signature file package.manifest.sig is malformed"});
    row("huge signature", [](Tampering &t) {
        t.signature += QByteArray(PackageSignature::kMaxTextBytes, ' ');
        return true;
    }, Trust::None, Signature::Malformed, {"larger than"});
    row("trusted keys file damaged", untouched, Trust::DamagedFile, Signature::KeysBroken, {"is damaged"});
    row("trusted keys file without a key", untouched, Trust::EmptyFile, Signature::KeysBroken, {"holds no key"});
    row("trusted keys file with a malformed key", untouched, Trust::MalformedKey, Signature::KeysBroken,
        {"is not 64 lower-case hex digits"});
}

void TestPackageVerifier::verify()
{
    QFETCH(Tamper, tamper);
    QFETCH(Trust, trust);
    QFETCH(Signature, signature);
    QFETCH(QStringList, problems);

    QTemporaryDir dir;
    const QString packageDir = dir.filePath(QStringLiteral("package"));
    PackageBuilder package(packageDir);
    package.files({"corvane-updater-cli=program", "string.bin=strings", "application/common/",
                   "application/3_2_to_3_3/common/app.exe=Ostrelle 3.3"})
        .markedIni(QStringLiteral("version.ini"), {{"RELEASE/VERSION", "3.3"}})
        .markedIni(QLatin1String(kStepIni), {{"view/zoom", "2"}});
    QVERIFY2(package.ok(), qPrintable(package.error()));

    // Signed as the vendor signs: manifest of every file, detached signature over it.
    PackageManifest manifest;
    QVERIFY2(manifest.scan(packageDir), qPrintable(manifest.errorString()));
    Tampering tampering{package, manifest.toText(), QByteArray(), m_signerSecret, m_otherSecret};
    tampering.signature = signedBy(tampering.manifest, {m_signerSecret});
    QVERIFY(!tampering.signature.isEmpty());
    QVERIFY2(tamper(tampering), "the row's change to the package could not be made");
    if (!tampering.manifest.isEmpty())
        QVERIFY(writeBytes(package.path(QLatin1String(PackageManifest::kFileName)), tampering.manifest));
    if (!tampering.signature.isEmpty())
        QVERIFY(writeBytes(package.path(QLatin1String(PackageManifest::kSignatureName)), tampering.signature));
    QVERIFY2(package.ok(), qPrintable(package.error()));

    // The installation's trusted keys.
    const QString installDir = dir.filePath(QStringLiteral("Ostrelle"));
    PackageBuilder install(installDir);
    const QString keysFile = QStringLiteral("config/TRUSTED_KEYS.ini");
    const QString signerHex = QString::fromLatin1(m_signerPublic.toHex());
    const QString otherHex = QString::fromLatin1(m_otherPublic.toHex());
    switch (trust) {
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
