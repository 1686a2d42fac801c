#include "package/trustedkeys.h"

#include "package/packagesignature.h"
#include "config/configbase.h"
#include "context/consoletext.h"

#include <QFileInfo>

const char TrustedKeys::kFileName[] = "TRUSTED_KEYS.ini";
const char TrustedKeys::kGroup[] = "KEYS";

QString TrustedKeys::filePath(const QString &installDir)
{
    return QStringLiteral("%1/config/%2").arg(installDir, QLatin1String(kFileName));
}

TrustedKeys TrustedKeys::forInstallation(const QString &installDir)
{
    return fromFile(filePath(installDir));
}

TrustedKeys TrustedKeys::fromFile(const QString &filePath)
{
    TrustedKeys trusted;
    trusted.m_path = filePath;
    const QFileInfo info(filePath);
    if (!info.exists() && !info.isSymLink())
        return trusted;

    trusted.m_state = State::Broken;
    if (!info.isFile()) {
        trusted.m_error = ConsoleText::tr("%1 is not a file").arg(filePath);
        return trusted;
    }
    ConfigBase file(filePath, ConfigBase::Access::ReadOnly);
    if (!file.isReadable()) {
        trusted.m_error = ConsoleText::tr("%1 cannot be read").arg(filePath);
        return trusted;
    }
    if (!file.isValid()) {
        trusted.m_error = ConsoleText::tr("%1 is damaged (its ZRFILE_BEGIN/ZRFILE_END markers are missing)").arg(filePath);
        return trusted;
    }
    const QString prefix = QStringLiteral("%1/").arg(QLatin1String(kGroup));
    const QStringList keys = file.allKeys();
    for (const QString &key : keys) {
        if (!key.startsWith(prefix))
            continue;
        const QString name = key.mid(prefix.size());
        const QVariant value = file.value(key);
        const QByteArray publicKey = value.type() == QVariant::String ? PackageSignature::parsePublicKey(value.toString())
                                                                      : QByteArray();
        if (publicKey.isEmpty()) {
            trusted.m_error = ConsoleText::tr("%1: the key \"%2\" is not 64 lower-case hex digits").arg(filePath, name);
            trusted.m_keys.clear();
            return trusted;
        }
        trusted.m_keys.insert(publicKey, name);
    }
    if (trusted.m_keys.isEmpty()) {
        trusted.m_error = ConsoleText::tr("%1 holds no key in its group [%2]").arg(filePath, QLatin1String(kGroup));
        return trusted;
    }
    trusted.m_state = State::Trusted;
    return trusted;
}
