#ifndef PACKAGEVERIFIER_H
#define PACKAGEVERIFIER_H

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class TrustedKeys;

// Checks a package directory against its manifest and signature before anything is
// changed:
//  - where the installation trusts keys, the package must carry a manifest signed by
//    one of them;
//  - a manifest is checked file by file wherever it is: every listed file present with
//    its size and SHA-256, nothing missing, nothing extra (this also catches a copy cut
//    short);
//  - every signature present must match the manifest, trusted or not;
//  - a package without a manifest, where no key is trusted, passes as unsigned.
// Every difference is listed, not only the first.
class PackageVerifier
{
public:
    enum class Signature {
        Unsigned,        // no manifest, no key trusted: passes unchecked
        ManifestOnly,    // a manifest without signature, no key trusted
        Verified,        // signed by a trusted key
        SignedUntrusted, // signed, each signature matches, but the installation trusts no key
        NotSigned,       // keys are trusted, but the manifest or its signature is missing
        UnknownKey,      // no signature by a trusted key
        BadSignature,    // a signature does not match the manifest
        Malformed,       // the manifest or the signature file is malformed
        KeysBroken,      // the installation's trusted keys file is broken
        NotSupported,    // keys are trusted, but this build cannot check signatures
    };

    struct Difference
    {
        enum class Kind { Missing, Extra, Size, Content, Unreadable, Irregular };
        Kind kind;
        QString path;
        QString detail;         // why it is unreadable or not allowed
        qint64 size = -1;       // Size: the file's size,
        qint64 listedSize = -1; // and the manifest's
        // One sentence in the loaded language.
        QString text() const;
    };

    struct Result
    {
        Signature signature = Signature::Unsigned;
        // What the signature check found, in one sentence in the loaded language
        // ("signed by vendor-2026 (…)").
        QString signatureText;
        bool hasManifest = false;
        int fileCount = 0;
        qint64 byteCount = 0;
        QList<Difference> differences;
        // Every reason to refuse the package, signature first; empty when it passes.
        QStringList problems;
        bool accepted() const { return problems.isEmpty(); }
    };

    // progress gets the bytes hashed so far and the total to hash.
    static Result verify(const QString &packageDir, const TrustedKeys &keys,
                         const std::function<void(qint64, qint64)> &progress = {});

    static QString signatureName(Signature signature);

private:
    PackageVerifier() = delete;
};

#endif // PACKAGEVERIFIER_H
