#ifndef TRUSTEDKEYS_H
#define TRUSTEDKEYS_H

#include <QByteArray>
#include <QMap>
#include <QString>

// The vendor's public keys that an installation accepts packages from:
// "<installation>/config/TRUSTED_KEYS.ini", a marked INI file read read-only (never
// repaired) through ConfigBase, one key per entry of the group "KEYS":
//
//     [KEYS]
//     vendor-2026=<Ed25519 public key, 64 lower-case hex digits>
//     vendor-2027=...
//
// Several keys may be trusted at once, so packages signed with a new key are accepted
// while the old one is still in use. No file means no key is trusted. A file that is
// there but damaged, unreadable, holds no key or a malformed one is Broken: the
// installation meant to trust someone, so every package is refused until it is mended.
class TrustedKeys
{
public:
    static const char kFileName[]; // "TRUSTED_KEYS.ini"
    static const char kGroup[];    // "KEYS"

    enum class State { NoFile, Trusted, Broken };

    // <installDir>/config/TRUSTED_KEYS.ini
    static QString filePath(const QString &installDir);
    static TrustedKeys forInstallation(const QString &installDir);
    static TrustedKeys fromFile(const QString &filePath);

    State state() const { return m_state; }
    // Key name by public key (32 bytes).
    const QMap<QByteArray, QString> &keys() const { return m_keys; }
    bool isTrusted(const QByteArray &publicKey) const { return m_keys.contains(publicKey); }
    QString nameOf(const QByteArray &publicKey) const { return m_keys.value(publicKey); }
    QString path() const { return m_path; }
    // Why the file is Broken.
    QString errorString() const { return m_error; }

private:
    State m_state = State::NoFile;
    QMap<QByteArray, QString> m_keys;
    QString m_path;
    QString m_error;
};

#endif // TRUSTEDKEYS_H
