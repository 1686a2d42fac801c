// libFuzzer harness: any bytes as a package manifest, and as a signature file; what the
// parsers take must write back to the same bytes and name only paths inside a package.
#include "fuzzsupport.h"

#include "package/packagemanifest.h"
#include "package/packagesignature.h"

#include <QSet>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = FuzzSupport::toBytes(data, size);

    PackageManifest manifest;
    if (manifest.parse(bytes)) {
        // The format has one spelling per manifest: sorted, lower-case hex, plain numbers.
        FUZZ_CHECK(manifest.toText() == bytes, QString::fromUtf8(bytes.left(200)));
        FUZZ_CHECK(manifest.entries().size() <= PackageManifest::kMaxEntries, QString());
        QSet<QString> folded;
        for (const PackageManifest::Entry &entry : manifest.entries()) {
            FUZZ_CHECK(PackageManifest::isAllowedPath(entry.path), entry.path);
            FUZZ_CHECK(!entry.path.split(QLatin1Char('/')).contains(QStringLiteral("..")), entry.path);
            FUZZ_CHECK(!PackageManifest::isExcluded(entry.path), entry.path);
            FUZZ_CHECK(entry.size >= 0 && entry.size <= PackageManifest::kMaxFileSize, entry.path);
            FUZZ_CHECK(entry.sha256.size() == 32, entry.path);
            FUZZ_CHECK(!folded.contains(entry.path.toCaseFolded()), entry.path);
            folded.insert(entry.path.toCaseFolded());
        }
    } else {
        FUZZ_CHECK(manifest.entries().isEmpty() && !manifest.errorString().isEmpty(), manifest.errorString());
    }

    PackageSignature signature;
    if (signature.parse(bytes)) {
        FUZZ_CHECK(signature.toText() == bytes, QString::fromLatin1(bytes.left(200)));
        FUZZ_CHECK(!signature.signatures().isEmpty() && signature.signatures().size() <= PackageSignature::kMaxSignatures,
                   QString());
        // A signature over anything else than what it signed never verifies.
        for (const PackageSignature::Signature &one : signature.signatures())
            FUZZ_CHECK(!PackageSignature::verify(bytes, one), QString::fromLatin1(one.publicKey.toHex()));
    } else {
        FUZZ_CHECK(signature.signatures().isEmpty() && !signature.errorString().isEmpty(), signature.errorString());
    }
    return 0;
}
