#include "platform/registrystore.h"

#include "config/inicommit.h"
#include "config/initextcodec.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

std::unique_ptr<QSettings> RegistryStore::open(const QString &keyPath)
{
#ifdef Q_OS_WIN
    return std::make_unique<QSettings>(keyPath, QSettings::NativeFormat);
#else
    IniCommit::recover(filePath(keyPath));
    auto settings = std::make_unique<QSettings>(filePath(keyPath), QSettings::IniFormat);
    // Users edit these files by hand; paths with non-ASCII names must read back as written.
    IniTextCodec::apply(*settings);
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
    switch (IniCommit::commit(settings)) {
    case IniCommit::Outcome::Saved:
        return settings.status() == QSettings::NoError;
    case IniCommit::Outcome::NotWritten:
        return false;
    case IniCommit::Outcome::Incomplete:
    case IniCommit::Outcome::NotOnDisk:
        // The key's file as it was is back; QSettings takes its values for written.
        IniCommit::keepPending(settings);
        return false;
    }
    return false;
}
