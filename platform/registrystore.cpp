#include "platform/registrystore.h"

#include "config/iniwritecheck.h"

#include <QStandardPaths>

std::unique_ptr<QSettings> RegistryStore::open(const QString &keyPath)
{
#ifdef Q_OS_WIN
    return std::make_unique<QSettings>(keyPath, QSettings::NativeFormat);
#else
    auto settings = std::make_unique<QSettings>(filePath(keyPath), QSettings::IniFormat);
    // Users edit these files by hand; paths with non-ASCII names must read back as written.
    settings->setIniCodec("UTF-8");
    return settings;
#endif
}

QString RegistryStore::filePath(const QString &keyPath)
{
#ifdef Q_OS_WIN
    Q_UNUSED(keyPath)
    return QString();
#else
    QString relative = keyPath;
    relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return QStringLiteral("%1/Corvane/registry/%2.ini")
        .arg(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation), relative);
#endif
}

bool RegistryStore::commit(QSettings &settings)
{
    settings.sync();
    if (settings.status() != QSettings::NoError)
        return false;
    if (IniWriteCheck::isComplete(settings))
        return true;
    // On a full disk QSettings can leave the key's file empty and still report success,
    // taking its values for written: every value is set again, so that the next commit
    // writes them all rather than nothing.
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys)
        settings.setValue(key, settings.value(key));
    return false;
}
