#ifndef PACKAGESIGNATURE_H
#define PACKAGESIGNATURE_H

#include <QByteArray>
#include <QString>
#include <QVector>

// Ed25519 detached signatures over a package manifest (libsodium), kept as
// "package.manifest.sig" beside it. The text is ASCII with line feeds:
//
//     corvane-signature 1
//     ed25519 <public key, 64 lower-case hex digits> <signature, 128 lower-case hex digits>
//
// with one "ed25519" line per signing key (at most kMaxSignatures), so a package can be
// signed with an old and a new key while installations move from one to the other.
// Anything else is malformed; the file is read up to kMaxTextBytes.
//
// A vendor's secret key file ("corvane-package keygen") is
//
//     corvane-secret-key 1
//     <libsodium secret key, 128 lower-case hex digits>
//
// Builds without libsodium (configured with CORVANE_SIGNATURES off) parse the
// formats but can neither sign nor verify: isSupported() is false there.
class PackageSignature
{
public:
    static const char kHeader[];          // "corvane-signature 1"
    static const char kSecretKeyHeader[]; // "corvane-secret-key 1"
    static constexpr int kPublicKeyBytes = 32;
    static constexpr int kSecretKeyBytes = 64;
    static constexpr int kSignatureBytes = 64;
    static constexpr int kMaxSignatures = 16;
    static constexpr qint64 kMaxTextBytes = 4096;

    struct Signature
    {
        QByteArray publicKey;
        QByteArray signature;
    };

    static bool isSupported();

    bool parse(const QByteArray &text);
    bool read(const QString &filePath);
    QByteArray toText() const;
    const QVector<Signature> &signatures() const { return m_signatures; }
    void append(const Signature &signature) { m_signatures.append(signature); }
    QString errorString() const { return m_error; }

    // True only when the signature over message verifies with its public key.
    static bool verify(const QByteArray &message, const Signature &signature);
    static bool sign(const QByteArray &message, const QByteArray &secretKey, Signature *signature);
    static bool generateKeyPair(QByteArray *publicKey, QByteArray *secretKey);

    static QByteArray secretKeyText(const QByteArray &secretKey);
    static bool readSecretKey(const QString &filePath, QByteArray *secretKey, QString *error);
    // The public half of a secret key (its last 32 bytes, as libsodium lays it out).
    static QByteArray publicKeyOf(const QByteArray &secretKey);
    // 64 lower-case hex digits to 32 bytes; empty when the text is anything else.
    static QByteArray parsePublicKey(const QString &hex);

private:
    bool fail(const QString &error);

    QVector<Signature> m_signatures;
    QString m_error;
};

#endif // PACKAGESIGNATURE_H
