#include "package/packagesignature.h"

#include "context/consoletext.h"
#include "package/pathlisttext.h"

#include <QFile>

#include <algorithm>

#ifdef CORVANE_HAVE_SODIUM
#include <sodium.h>
#endif

const char PackageSignature::kHeader[] = "corvane-signature 1";
const char PackageSignature::kSecretKeyHeader[] = "corvane-secret-key 1";

namespace {

// Exactly bytes * 2 lower-case hex digits, decoded; empty otherwise.
QByteArray fromStrictHex(const QByteArray &text, int bytes)
{
    if (text.size() != bytes * 2)
        return QByteArray();
    const bool hex = std::all_of(text.cbegin(), text.cend(),
                                 [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
    return hex ? QByteArray::fromHex(text) : QByteArray();
}

#ifdef CORVANE_HAVE_SODIUM
bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}
#endif

} // namespace

bool PackageSignature::isSupported()
{
#ifdef CORVANE_HAVE_SODIUM
    return sodiumReady();
#else
    return false;
#endif
}

bool PackageSignature::fail(const QString &error)
{
    m_error = error;
    m_signatures.clear();
    return false;
}

bool PackageSignature::parse(const QByteArray &text)
{
    m_signatures.clear();
    m_error.clear();
    if (text.size() > kMaxTextBytes)
        return fail(ConsoleText::tr("the signature file is larger than %1 bytes").arg(kMaxTextBytes));
    if (!text.endsWith('\n'))
        return fail(ConsoleText::tr("the signature file does not end with a line feed"));
    QList<QByteArray> lines = text.split('\n');
    lines.removeLast();
    if (lines.isEmpty() || lines.constFirst() != kHeader)
        return fail(ConsoleText::tr("not a package signature (expected \"%1\")").arg(QLatin1String(kHeader)));
    if (lines.size() == 1)
        return fail(ConsoleText::tr("the signature file holds no signature"));
    if (lines.size() - 1 > kMaxSignatures)
        return fail(ConsoleText::tr("the signature file holds more than %1 signatures").arg(kMaxSignatures));
    for (int i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).split(' ');
        Signature signature;
        if (fields.size() == 3 && fields.at(0) == "ed25519") {
            signature.publicKey = fromStrictHex(fields.at(1), kPublicKeyBytes);
            signature.signature = fromStrictHex(fields.at(2), kSignatureBytes);
        }
        if (signature.publicKey.isEmpty() || signature.signature.isEmpty())
            return fail(ConsoleText::tr("line %1 of the signature file: expected \"ed25519 <public key> <signature>\" "
                                       "in lower-case hex")
                            .arg(i + 1));
        const bool repeated = std::any_of(m_signatures.cbegin(), m_signatures.cend(),
                                          [&](const Signature &s) { return s.publicKey == signature.publicKey; });
        if (repeated)
            return fail(ConsoleText::tr("line %1 of the signature file: a second signature by the same key").arg(i + 1));
        m_signatures.append(signature);
    }
    return true;
}

bool PackageSignature::read(const QString &filePath)
{
    QByteArray text;
    QString error;
    return PathListText::readFile(filePath, kMaxTextBytes, &text, &error) ? parse(text) : fail(error);
}

QByteArray PackageSignature::toText() const
{
    QByteArray text = QByteArray(kHeader) + '\n';
    for (const Signature &signature : m_signatures)
        text += "ed25519 " + signature.publicKey.toHex() + ' ' + signature.signature.toHex() + '\n';
    return text;
}

bool PackageSignature::verify(const QByteArray &message, const Signature &signature)
{
#ifdef CORVANE_HAVE_SODIUM
    if (!sodiumReady() || signature.publicKey.size() != kPublicKeyBytes || signature.signature.size() != kSignatureBytes)
        return false;
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.signature.constData()),
                                       reinterpret_cast<const unsigned char *>(message.constData()),
                                       static_cast<unsigned long long>(message.size()),
                                       reinterpret_cast<const unsigned char *>(signature.publicKey.constData()))
        == 0;
#else
    Q_UNUSED(message)
    Q_UNUSED(signature)
    return false;
#endif
}

bool PackageSignature::sign(const QByteArray &message, const QByteArray &secretKey, Signature *signature)
{
#ifdef CORVANE_HAVE_SODIUM
    if (!sodiumReady() || secretKey.size() != kSecretKeyBytes)
        return false;
    QByteArray bytes(kSignatureBytes, '\0');
    if (crypto_sign_detached(reinterpret_cast<unsigned char *>(bytes.data()), nullptr,
                             reinterpret_cast<const unsigned char *>(message.constData()),
                             static_cast<unsigned long long>(message.size()),
                             reinterpret_cast<const unsigned char *>(secretKey.constData()))
        != 0)
        return false;
    signature->publicKey = publicKeyOf(secretKey);
    signature->signature = bytes;
    return true;
#else
    Q_UNUSED(message)
    Q_UNUSED(secretKey)
    Q_UNUSED(signature)
    return false;
#endif
}

bool PackageSignature::generateKeyPair(QByteArray *publicKey, QByteArray *secretKey)
{
#ifdef CORVANE_HAVE_SODIUM
    if (!sodiumReady())
        return false;
    QByteArray pk(kPublicKeyBytes, '\0');
    QByteArray sk(kSecretKeyBytes, '\0');
    if (crypto_sign_keypair(reinterpret_cast<unsigned char *>(pk.data()), reinterpret_cast<unsigned char *>(sk.data())) != 0)
        return false;
    *publicKey = pk;
    *secretKey = sk;
    return true;
#else
    Q_UNUSED(publicKey)
    Q_UNUSED(secretKey)
    return false;
#endif
}

QByteArray PackageSignature::secretKeyText(const QByteArray &secretKey)
{
    return QByteArray(kSecretKeyHeader) + '\n' + secretKey.toHex() + '\n';
}

bool PackageSignature::readSecretKey(const QString &filePath, QByteArray *secretKey, QString *error)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(filePath, file.errorString());
        return false;
    }
    const QList<QByteArray> lines = file.read(1024).split('\n');
    QByteArray key;
    if (lines.size() == 3 && lines.at(0) == kSecretKeyHeader && lines.at(2).isEmpty())
        key = fromStrictHex(lines.at(1), kSecretKeyBytes);
    if (key.isEmpty()) {
        *error = QStringLiteral("%1 is not a secret key file (expected \"%2\" and 128 hex digits)")
                     .arg(filePath, QLatin1String(kSecretKeyHeader));
        return false;
    }
    *secretKey = key;
    return true;
}

QByteArray PackageSignature::publicKeyOf(const QByteArray &secretKey)
{
    return secretKey.size() == kSecretKeyBytes ? secretKey.right(kPublicKeyBytes) : QByteArray();
}

QByteArray PackageSignature::parsePublicKey(const QString &hex)
{
    return fromStrictHex(hex.toLatin1(), kPublicKeyBytes);
}
