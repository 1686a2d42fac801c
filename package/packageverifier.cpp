#include "package/packageverifier.h"

#include "context/consoletext.h"
#include "package/packagemanifest.h"
#include "package/packagesignature.h"
#include "package/pathlisttext.h"
#include "package/sha256stream.h"
#include "package/trustedkeys.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString keyText(const QByteArray &publicKey)
{
    return QString::fromLatin1(publicKey.toHex());
}

using Signature = PackageVerifier::Signature;

// The state of the signature, unless a broken keys file is the headline.
void settle(PackageVerifier::Result *result, Signature state, const QString &text)
{
    if (result->signature != Signature::KeysBroken) {
        result->signature = state;
        result->signatureText = text;
    }
}

// A refusal of the signature: a broken keys file stays the headline; the rest is listed
// after it.
void refuse(PackageVerifier::Result *result, Signature state, const QString &text)
{
    settle(result, state, text);
    result->problems.append(text);
}

// The verdict on the signatures read: each must match the manifest, and where the
// installation trusts keys one must be by such a key.
void judgeSigners(const QByteArray &manifestBytes, const PackageSignature &signature, const TrustedKeys &keys,
                  PackageVerifier::Result *result)
{
    const bool trusting = keys.state() == TrustedKeys::State::Trusted;
    QStringList trustedSigners;
    QStringList otherSigners;
    bool allMatch = true;
    for (const PackageSignature::Signature &one : signature.signatures()) {
        if (!PackageSignature::verify(manifestBytes, one)) {
            allMatch = false;
            refuse(result, Signature::BadSignature,
                   ConsoleText::tr("the signature by key %1 does not match the manifest: the manifest or the "
                                   "signature was changed")
                       .arg(keyText(one.publicKey)));
        } else if (keys.isTrusted(one.publicKey)) {
            trustedSigners.append(QStringLiteral("%1 (%2)").arg(keys.nameOf(one.publicKey), keyText(one.publicKey)));
        } else {
            otherSigners.append(keyText(one.publicKey));
        }
    }
    if (!allMatch)
        return;
    if (trusting && trustedSigners.isEmpty())
        refuse(result, Signature::UnknownKey,
               ConsoleText::tr("the package is signed only by keys this installation does not trust: %1")
                   .arg(otherSigners.join(QStringLiteral(", "))));
    else if (trusting)
        settle(result, Signature::Verified, ConsoleText::tr("signed by %1").arg(trustedSigners.join(QStringLiteral(", "))));
    else
        settle(result, Signature::SignedUntrusted,
               ConsoleText::tr("signed by key %1; this installation trusts no key, so only the files are checked")
                   .arg(otherSigners.join(QStringLiteral(", "))));
}

void checkSignature(const QString &packageDir, const QByteArray &manifestBytes, const TrustedKeys &keys,
                    PackageVerifier::Result *result)
{
    const bool trusting = keys.state() == TrustedKeys::State::Trusted;
    const QString sigPath = QDir(packageDir).filePath(QLatin1String(PackageManifest::kSignatureName));
    if (!QFileInfo(sigPath).isFile()) {
        if (trusting)
            refuse(result, Signature::NotSigned,
                   ConsoleText::tr("the package is not signed: it has no %1, and this installation accepts only "
                                   "signed packages")
                       .arg(QLatin1String(PackageManifest::kSignatureName)));
        else
            settle(result, Signature::ManifestOnly, ConsoleText::tr("not signed; the files are checked against the manifest"));
        return;
    }
    PackageSignature signature;
    QByteArray bytes;
    QString error;
    if (!PathListText::readFile(sigPath, PackageSignature::kMaxTextBytes, &bytes, &error) || !signature.parse(bytes)) {
        refuse(result, Signature::Malformed,
               ConsoleText::tr("the signature file %1 is malformed: %2")
                   .arg(QLatin1String(PackageManifest::kSignatureName), error.isEmpty() ? signature.errorString() : error));
        return;
    }
    if (PackageSignature::isSupported())
        judgeSigners(manifestBytes, signature, keys, result);
    else if (trusting)
        refuse(result, Signature::NotSupported,
               ConsoleText::tr("this updater was built without signature checks and cannot check the package's "
                               "signature"));
    else
        settle(result, Signature::SignedUntrusted, ConsoleText::tr("signed, but this updater cannot check signatures"));
}

void checkFiles(const QString &packageDir, const PackageManifest &manifest, PackageVerifier::Result *result,
                const std::function<void(qint64, qint64)> &progress)
{
    using Kind = PackageVerifier::Difference::Kind;
    PackageManifest::Listing listing;
    QString error;
    if (!PackageManifest::listPackage(packageDir, &listing, &error)) {
        result->differences.append({Kind::Unreadable, packageDir, error});
        return;
    }
    for (const PackageManifest::Listing::Irregular &irregular : qAsConst(listing.irregular))
        result->differences.append({Kind::Irregular, irregular.path, irregular.why});

    qint64 total = 0;
    for (const PackageManifest::Entry &entry : manifest.entries()) {
        if (listing.files.value(entry.path, -1) == entry.size)
            total += entry.size;
    }
    qint64 done = 0;
    const QDir root(packageDir);
    for (const PackageManifest::Entry &entry : manifest.entries()) {
        const auto found = listing.files.find(entry.path);
        if (found == listing.files.end()) {
            result->differences.append({Kind::Missing, entry.path, QString()});
            continue;
        }
        const qint64 size = found.value();
        listing.files.erase(found);
        if (size != entry.size) {
            result->differences.append({Kind::Size, entry.path, QString(), size, entry.size});
            continue;
        }
        QByteArray digest;
        qint64 hashed = 0;
        const bool read = Sha256Stream::hashFile(root.filePath(entry.path), &digest, &hashed, &error, [&](qint64 bytes) {
            done += bytes;
            if (progress)
                progress(done, total);
        });
        if (!read)
            result->differences.append({Kind::Unreadable, entry.path, error});
        else if (hashed != entry.size)
            result->differences.append({Kind::Size, entry.path, QString(), hashed, entry.size});
        else if (digest != entry.sha256)
            result->differences.append({Kind::Content, entry.path, QString()});
    }
    for (auto it = listing.files.cbegin(); it != listing.files.cend(); ++it)
        result->differences.append({Kind::Extra, it.key(), QString()});
}

} // namespace

QString PackageVerifier::Difference::text() const
{
    switch (kind) {
    case Kind::Missing:
        return ConsoleText::tr("missing: %1 (listed in the manifest)").arg(path);
    case Kind::Extra:
        return ConsoleText::tr("extra file: %1 (not in the manifest)").arg(path);
    case Kind::Size:
        // One arg() call: a path may hold "%2" itself.
        return ConsoleText::tr("changed: %1 (%2 bytes, the manifest says %3)")
            .arg(path, QString::number(size), QString::number(listedSize));
    case Kind::Content:
        return ConsoleText::tr("changed: %1 (its SHA-256 differs from the manifest)").arg(path);
    case Kind::Unreadable:
        return ConsoleText::tr("unreadable: %1 (%2)").arg(path, detail);
    case Kind::Irregular:
        return ConsoleText::tr("not allowed in a package: %1 (%2)").arg(path, detail);
    }
    return path;
}

QString PackageVerifier::signatureName(Signature signature)
{
    switch (signature) {
    case Signature::Unsigned:
        return QStringLiteral("unsigned");
    case Signature::ManifestOnly:
        return QStringLiteral("manifest-only");
    case Signature::Verified:
        return QStringLiteral("verified");
    case Signature::SignedUntrusted:
        return QStringLiteral("signed-untrusted");
    case Signature::NotSigned:
        return QStringLiteral("not-signed");
    case Signature::UnknownKey:
        return QStringLiteral("unknown-key");
    case Signature::BadSignature:
        return QStringLiteral("bad-signature");
    case Signature::Malformed:
        return QStringLiteral("malformed");
    case Signature::KeysBroken:
        return QStringLiteral("trusted-keys-broken");
    case Signature::NotSupported:
        return QStringLiteral("not-supported");
    }
    return QString();
}

PackageVerifier::Result PackageVerifier::verify(const QString &packageDir, const TrustedKeys &keys,
                                                const std::function<void(qint64, qint64)> &progress)
{
    Result result;
    const bool trusting = keys.state() != TrustedKeys::State::NoFile;
    if (keys.state() == TrustedKeys::State::Broken) {
        result.signature = Signature::KeysBroken;
        result.signatureText = ConsoleText::tr("the trusted keys file is broken: %1").arg(keys.errorString());
        result.problems.append(result.signatureText);
    }

    const QString manifestPath = QDir(packageDir).filePath(QLatin1String(PackageManifest::kFileName));
    if (!QFileInfo::exists(manifestPath)) {
        if (trusting) {
            if (result.signature != Signature::KeysBroken)
                result.signature = Signature::NotSigned;
            const QString text = ConsoleText::tr("the package is not signed: it has no %1, and this "
                                                 "installation accepts only signed packages")
                                     .arg(QLatin1String(PackageManifest::kFileName));
            if (result.signature == Signature::NotSigned)
                result.signatureText = text;
            result.problems.append(text);
        } else if (QFileInfo::exists(QDir(packageDir).filePath(QLatin1String(PackageManifest::kSignatureName)))) {
            result.signature = Signature::Malformed;
            result.signatureText = ConsoleText::tr("the package has a signature but no %1")
                                       .arg(QLatin1String(PackageManifest::kFileName));
            result.problems.append(result.signatureText);
        } else {
            result.signatureText = ConsoleText::tr("unsigned: the package has no manifest, its files are not checked");
        }
        return result;
    }

    result.hasManifest = true;
    QByteArray manifestBytes;
    QString error;
    PackageManifest manifest;
    // The manifest's exact bytes: the signature is over them, and they are parsed from the
    // same copy, so what is checked is what was verified.
    if (!PathListText::readFile(manifestPath, PackageManifest::kMaxTextBytes, &manifestBytes, &error)
        || !manifest.parse(manifestBytes)) {
        if (result.signature != Signature::KeysBroken)
            result.signature = Signature::Malformed;
        const QString text = ConsoleText::tr("the manifest %1 is malformed: %2")
                                 .arg(QLatin1String(PackageManifest::kFileName),
                                      error.isEmpty() ? manifest.errorString() : error);
        if (result.signature == Signature::Malformed)
            result.signatureText = text;
        result.problems.append(text);
        return result;
    }
    result.fileCount = manifest.entries().size();
    result.byteCount = manifest.totalSize();

    checkSignature(packageDir, manifestBytes, keys, &result);
    checkFiles(packageDir, manifest, &result, progress);
    for (const Difference &difference : qAsConst(result.differences))
        result.problems.append(difference.text());
    return result;
}
