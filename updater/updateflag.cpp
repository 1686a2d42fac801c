#include "updater/updateflag.h"

#include "config/configbase.h"
#include "log/applog.h"
#include "platform/registrystore.h"
#include "layout/installlayout.h"

#include <QFileInfo>

#include <memory>

namespace {

const QString flagKey = QStringLiteral("UPDATE/FLAG");
const QString targetKey = QStringLiteral("UPDATE/TARGET");
const QString keyValuesKey = QStringLiteral("UPDATE/KEY");
const QString backupStartKey = QStringLiteral("UPDATE/BACKUPSTART");
const QString databaseKey = QStringLiteral("UPDATE/DATABASE");

void fill(ConfigBase &file, UpdateFlag::Reading &reading)
{
    reading.flag = file.value(flagKey, true).toBool();
    reading.target = file.value(targetKey, QString()).toString();
    reading.keyValues = file.value(keyValuesKey, QStringList()).toStringList();
    bool ok = false;
    const qint64 started = file.value(backupStartKey, QString()).toString().toLongLong(&ok);
    reading.backupStarted = ok && started >= 0 ? started : -1;
    reading.database = file.value(databaseKey, QString()).toString();
}

} // namespace

UpdateFlag::UpdateFlag(const QString &installPath)
    : m_installPath(installPath)
{
}

QString UpdateFlag::filePath() const
{
    return InstallLayout::flagFilePath(m_installPath);
}

UpdateFlag::Reading UpdateFlag::read() const
{
    Reading reading;
    const QString path = filePath();
    reading.exists = QFileInfo::exists(path);
    ConfigBase file(path, ConfigBase::Access::ReadOnly);
    if (!file.isReadable()) {
        reading.source = Source::Unreadable;
        return reading;
    }
    if (file.isValid()) {
        fill(file, reading);
        return reading;
    }
    ConfigBase backup(file.getBackupFile(), ConfigBase::Access::ReadOnly);
    if (!backup.isReadable()) {
        reading.source = Source::BackupUnreadable;
        return reading;
    }
    if (backup.isValid()) {
        reading.source = Source::Backup;
        fill(backup, reading);
        return reading;
    }
    reading.source = Source::Damaged;
    fill(file, reading);
    return reading;
}

bool UpdateFlag::openForUpdate(bool *flag) const
{
    ConfigBase file(filePath());
    // Taken for "true", an unreadable flag would have the backup of a half-updated
    // installation replace the only whole one.
    if (!file.isReadable())
        return false;
    *flag = file.value(flagKey, true).toBool();
    return true;
}

bool UpdateFlag::write(bool flag, const char *signature, const QString &target, const QStringList &keyValues,
                       const QString &database) const
{
    return save(flag, signature, target, keyValues, false, -1, database.isEmpty() ? nullptr : &database);
}

bool UpdateFlag::writeBackupTaken(const char *signature, const QString &target, const QStringList &keyValues,
                                  qint64 backupStarted, const QString &database) const
{
    return save(false, signature, target, keyValues, true, backupStarted, &database);
}

bool UpdateFlag::writeDatabase(const char *signature, const QString &database) const
{
    const QString path = filePath();
    ConfigBase file(path);
    // An unreadable file is not saved over: it would lose the flag.
    if (!file.isReadable()) {
        ZR_LOG_WARNING(signature) << QStringLiteral("write update flag %1 failed").arg(path);
        return false;
    }
    const QString before = file.value(databaseKey, QString()).toString();
    file.setValue(databaseKey, database);
    if (file.save())
        return true;
    ZR_LOG_WARNING(signature) << QStringLiteral("write update flag %1 failed").arg(path);
    // Not left for the settings layer to write when the object goes.
    file.setValue(databaseKey, before);
    return false;
}

bool UpdateFlag::save(bool flag, const char *signature, const QString &target, const QStringList &keyValues,
                      bool setBackupStart, qint64 backupStarted, const QString *database) const
{
    const QString path = filePath();
    ConfigBase file(path);
    file.setValue(flagKey, flag);
    // The backup's own: an earlier run's identity must not speak for this database.
    if (database)
        file.setValue(databaseKey, *database);
    if (!target.isEmpty())
        file.setValue(targetKey, target);
    if (!keyValues.isEmpty())
        file.setValue(keyValuesKey, keyValues);
    // Empty when unknown: an earlier backup's time must not speak for this one.
    if (setBackupStart)
        file.setValue(backupStartKey, backupStarted >= 0 ? QString::number(backupStarted) : QString());
    if (file.isReadable() && file.save())
        return true;
    ZR_LOG_WARNING(signature) << QStringLiteral("write update flag %1 failed").arg(path);
    // The settings layer still writes what is pending when the object goes. The value
    // before this call is the one the installation's state calls for: true before a
    // backup is complete, false while the update is not recorded.
    file.setValue(flagKey, !flag);
    return false;
}

UpdateFlag::RecordedUpdate UpdateFlag::recordedUpdate(const QString &regKey, bool keyHoldsNewVersion) const
{
    if (m_installPath.isEmpty() || regKey.isEmpty())
        return RecordedUpdate::No;
    const Reading reading = read();
    if (!reading.isKnown())
        return RecordedUpdate::Unknown;
    if (reading.flag || reading.target.isEmpty())
        return RecordedUpdate::No;
    const std::unique_ptr<QSettings> key = RegistryStore::open(regKey);
    // Readable at start-up (it named the installation), unreadable now: only this
    // run's own writing can have put the new version there.
    if (key->status() != QSettings::NoError)
        return keyHoldsNewVersion ? RecordedUpdate::Yes : RecordedUpdate::No;
    return key->value(QStringLiteral("DisplayVersion"), QString()).toString() == reading.target ? RecordedUpdate::Yes
                                                                                              : RecordedUpdate::No;
}
