#include "updater/cvupdater.h"

#include "context/zrpubmethod.h"
#include "config/configbase.h"
#include "config/interruptedsave.h"
#include "db/databasefiles.h"
#include "db/databaseidentity.h"
#include "db/dbcontrol.h"
#include "fileutil/disksync.h"
#include "fileutil/treewalker.h"
#include "layout/versionorder.h"
#include "log/applog.h"
#include "platform/changestamp.h"
#include "platform/displayicon.h"
#include "platform/registrystore.h"
#include "steps/formalupdateo.h"
#include "context/consoletext.h"
#include "layout/installlayout.h"
#include "updater/updateflag.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <array>

namespace {

CVUpdater *s_instance = nullptr;

bool &withoutPackageFlag()
{
    static bool withoutPackage = false;
    return withoutPackage;
}

QString &programDirOverride()
{
    static QString dir;
    return dir;
}

const QString databaseName = InstallLayout::databaseName();

// The uninstall key's values that an update writes, in the order it writes them.
const std::array<QString, 2> recordedKeyValues{QStringLiteral("DisplayVersion"), QStringLiteral("DisplayName")};

// The product name the key and the shortcut are written with: by the program path, not
// by the language.
QString productName(const QString &iconPath)
{
    return iconPath.contains(QLatin1String("Ketterin")) ? QStringLiteral("Ketterin") : QStringLiteral("Ostrelle");
}

// A value of the uninstall key as it stood before updateRegKey() wrote it, so that it
// can be put back.
struct RegistryValue
{
    QString name;
    bool present;
    QVariant value;
};

// Steps run between major.minor versions; a build number such as 5.2.1.7 is ignored.
QString majorMinor(const QString &version)
{
    const QStringList parts = version.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    return parts.size() >= 2 ? QStringLiteral("%1.%2").arg(parts.at(0), parts.at(1)) : version;
}

} // namespace

CVUpdater::CVUpdater(QObject *parent)
    : QObject(parent)
{
    readInstallInfo();
    readNewVersion();
    // The database and the steps are given the installation rather than asking for it.
    DBControl::setInstallPath(m_installPath);
    m_updateObject = new FormalUpdateO(m_installPath, nullptr);
    connect(m_updateObject, &FormalUpdateO::sigProcessAddValue, this, &CVUpdater::sigProcessAddValue);
}

CVUpdater::~CVUpdater()
{
    delete m_updateObject;
    m_updateObject = nullptr;
    // The main window deletes the instance it got from getInstance(); forget it so
    // that no later caller is handed a dangling pointer.
    if (s_instance == this)
        s_instance = nullptr;
}

CVUpdater *CVUpdater::getInstance()
{
    if (!s_instance)
        s_instance = new CVUpdater(nullptr);
    return s_instance;
}

void CVUpdater::setProgramDir(const QString &dir)
{
    programDirOverride() = dir;
}

QString CVUpdater::programDir()
{
    const QString &dir = programDirOverride();
    return dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir;
}

QString CVUpdater::getOldVersion() const
{
    return m_oldVersion;
}

QString CVUpdater::getNewVersion() const
{
    return m_newVersion;
}

QString CVUpdater::getInstallPath() const
{
    return m_installPath;
}

QString CVUpdater::getIconPath() const
{
    return m_iconPath;
}

QString CVUpdater::getRegKey() const
{
    return m_regKey;
}

QStringList CVUpdater::getUpdateList() const
{
    return m_updateList;
}

FormalUpdateO *CVUpdater::getUpdateObject() const
{
    return m_updateObject;
}

QString CVUpdater::getBackupPath() const
{
    return InstallLayout::backupPath(m_installPath);
}

QString CVUpdater::getFlagFilePath() const
{
    return InstallLayout::flagFilePath(m_installPath);
}

void CVUpdater::readInstallInfo()
{
    const QString chineseKey = InstallLayout::uninstallKey(QStringLiteral("Ketterin"));
    const QString englishKey = InstallLayout::uninstallKey(QStringLiteral("Ostrelle"));
    const bool chineseFirst = ZRPubMethod::getInstance()->getLanType() == 0;
    const QString firstKey = chineseFirst ? chineseKey : englishKey;
    const QString secondKey = chineseFirst ? englishKey : chineseKey;

    const auto readKey = [this](const QString &keyPath) {
        const std::unique_ptr<QSettings> key = RegistryStore::open(keyPath);
        m_oldVersion = key->value(QStringLiteral("DisplayVersion"), QString()).toString();
        m_installPath = key->value(QStringLiteral("DisplayIcon"), QString()).toString();
        m_regKey = keyPath;
    };

    m_iconPath.clear();
    readKey(firstKey);
    if (m_oldVersion.isEmpty())
        readKey(secondKey);

    m_oldVersion = majorMinor(m_oldVersion);

    if (!m_installPath.isEmpty()) {
        m_iconPath = DisplayIcon::programPath(m_installPath);
        m_installPath = DisplayIcon::directoryOf(m_iconPath);
    }
}

void CVUpdater::refreshOldVersion()
{
    if (m_regKey.isEmpty())
        return;
    const std::unique_ptr<QSettings> key = RegistryStore::open(m_regKey);
    if (key->status() != QSettings::NoError)
        return;
    const QString version = key->value(QStringLiteral("DisplayVersion"), QString()).toString();
    if (!version.isEmpty())
        m_oldVersion = majorMinor(version);
}

void CVUpdater::setWithoutPackage(bool withoutPackage)
{
    withoutPackageFlag() = withoutPackage;
}

void CVUpdater::readNewVersion()
{
    if (withoutPackageFlag()) {
        m_newVersion.clear();
        return;
    }
    const QString path = QStringLiteral("%1/%2").arg(programDir(), QStringLiteral("version.ini"));
    // Package files are only read: a damaged file is answered as a repair would answer
    // it (by its valid ".bak", otherwise empty), without writing into the package.
    ConfigBase versionFile(path, ConfigBase::Access::ReadOnly);
    if (versionFile.isValid()) {
        m_newVersion = versionFile.value(QStringLiteral("RELEASE/VERSION"), QString()).toString();
        return;
    }
    ConfigBase backup(versionFile.getBackupFile(), ConfigBase::Access::ReadOnly);
    m_newVersion = backup.isValid() ? backup.value(QStringLiteral("RELEASE/VERSION"), QString()).toString() : QString();
}

bool CVUpdater::isCanUpdate()
{
    if (m_oldVersion.isEmpty() || m_newVersion.isEmpty()) {
        ZR_LOG_DEBUG("bool CVUpdater::isCanUpdate()") << "version is empty";
        return false;
    }
    if (VersionOrder::isNewer(m_newVersion, m_oldVersion))
        return true;
    ZR_LOG_WARNING("bool CVUpdater::isCanUpdate()") << "update version below or same";
    return false;
}

bool CVUpdater::produceUpdateList(const QString &from, const QString &to, QStringList &list)
{
    list.clear();

    const QStringList fromParts = from.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    const QStringList toParts = to.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    if (fromParts.size() != 2 || toParts.size() != 2) {
        ZR_LOG_DEBUG("bool CVUpdater::produceUpdateList(const QString&, const QString&, QStringList&)")
            << "version err";
        return false;
    }

    // A step never crosses main versions.
    const QString mainVersion = fromParts.at(0).trimmed();
    if (mainVersion != toParts.at(0).trimmed()) {
        ZR_LOG_DEBUG("bool CVUpdater::produceUpdateList(const QString&, const QString&, QStringList&)")
            << "main version diff";
        return false;
    }

    const int fromMinor = fromParts.at(1).toInt(nullptr, 10);
    const int toMinor = toParts.at(1).toInt(nullptr, 10);
    if (fromMinor > toMinor) {
        qDebug() << "can not update to smaller version";
        return false;
    }
    if (fromMinor == toMinor) {
        qDebug() << "version is equal";
        return true;
    }

    const QString stepFormat = QStringLiteral("%1_%2");
    for (int minor = fromMinor; minor < toMinor; ++minor) {
        list.append(m_updateObject->makeStepName(stepFormat.arg(mainVersion, QString::number(minor)),
                                                 stepFormat.arg(mainVersion, QString::number(minor + 1))));
    }
    return true;
}

bool CVUpdater::execUpdate()
{
    if (!produceUpdateList(m_oldVersion, m_newVersion, m_updateList)) {
        ZR_LOG_WARNING("bool CVUpdater::execUpdate()") << "read updatelist failed!";
        return false;
    }
    emit sigProcessAddValue(10);
    return m_updateObject->execUpdate(m_updateList);
}

bool CVUpdater::backupVersion()
{
    if (m_installPath.isEmpty())
        return false;
    if (!QDir(m_installPath).exists()) {
        ZR_LOG_WARNING("bool CVUpdater::backupVersion()") << "installpath is not exist!";
        return false;
    }
    const QString backupPath = getBackupPath();
    // What an earlier backup left in "backup" stays; this copy adds, and overwrites what
    // differs. A file whose change time lies before the start of the last backup that
    // finished (recorded after its flush) is still what that backup holds.
    const qint64 reuseBefore = QDir(backupPath).exists()
                                   ? unchangedBefore(UpdateFlag(m_installPath).read().backupStarted,
                                                     "bool CVUpdater::backupVersion()")
                                   : -1;
    // The file system's clock before the first file is copied: whatever changes after
    // it gets a later change time, so a restore reads only the files that did.
    qint64 started = -1;
    if (ChangeStamp::isKeptAt(m_installPath) && QDir(m_installPath).mkpath(InstallLayout::backupDirName()))
        started = ChangeStamp::now(backupPath);
    if (!ZRPubMethod::getInstance()->copyDir(QDir(m_installPath), QDir(backupPath), true, reuseBefore)) {
        ZR_LOG_WARNING("bool CVUpdater::backupVersion()") << "backup failed!";
        return false;
    }
    // The flag turning false says "restore this backup if the update stops"; a backup
    // still in the page cache could come back from a power cut empty or half-written.
    if (!DiskSync::flushTree(backupPath)) {
        ZR_LOG_WARNING("bool CVUpdater::backupVersion()") << "backup failed!";
        return false;
    }
    ZR_LOG_DEBUG("bool CVUpdater::backupVersion()") << "backup successed!";
    // Without the flag on disk an interrupted update would go unnoticed by the next run,
    // so an update must not start on this backup. The target goes with it, in the same
    // save: it is how the next run tells an update that only missed its flag. So do the
    // uninstall key's values, which a restore puts back with the backup's files.
    // The database as the backup found it, held since the check: the identity a restore
    // compares with, should the update stop before it wrote the database.
    m_databaseIdentity = DatabaseIdentity::of(databasePath());
    return UpdateFlag(m_installPath).writeBackupTaken("bool CVUpdater::backupVersion()", m_newVersion, readKeyValues(),
                                                      started, m_databaseIdentity);
}

QString CVUpdater::databasePath() const
{
    return InstallLayout::databasePath(m_installPath);
}

void CVUpdater::recordDatabase()
{
    if (m_installPath.isEmpty())
        return;
    // The log emptied into the file first: our connection, closing, would do it later
    // and change what was recorded.
    if (DBControl *control = DBControl::createdInstance())
        control->settle();
    m_databaseIdentity = DatabaseIdentity::of(databasePath());
}

bool CVUpdater::mayRestore(const QString &backupPath)
{
    if (m_installPath.isEmpty())
        return false;
    if (!QDir(m_installPath).exists()) {
        ZR_LOG_WARNING("bool CVUpdater::restoreVersion()") << "installpath is not exist!";
        return false;
    }
    if (!QDir(backupPath).exists()) {
        ZR_LOG_WARNING("bool CVUpdater::restoreVersion()") << "bak file is not exist!";
        return false;
    }
    // Never over an update that is complete but for its flag: its files are newer than
    // the backup, and the key already names their version. Nor when that cannot be told.
    switch (recordedUpdate()) {
    case RecordedUpdate::No:
        break;
    case RecordedUpdate::Yes:
        ZR_LOG_WARNING("bool CVUpdater::restoreVersion()")
            << QStringLiteral("the update recorded in %1 is complete, its backup is not restored").arg(m_regKey);
        return false;
    case RecordedUpdate::Unknown:
        ZR_LOG_WARNING("bool CVUpdater::restoreVersion()")
            << QStringLiteral("read update flag %1 or reg key %2 failed").arg(getFlagFilePath(), m_regKey);
        return false;
    }
    return true;
}

void CVUpdater::noteKeptDatabase(const DatabaseFiles &databaseFiles)
{
    if (databaseFiles.keptPath().isEmpty())
        return;
    m_keptDatabase = databaseFiles.keptPath();
    ZR_LOG_WARNING("bool CVUpdater::restoreVersion()")
        << QStringLiteral("kept database: %1; to get its work back, close the application and copy it over %2")
               .arg(m_keptDatabase, databasePath());
    // Kept once: a run that restores again keeps it only if it changes once more.
    m_databaseIdentity = databaseFiles.foundIdentity();
    UpdateFlag(m_installPath).writeDatabase("bool CVUpdater::restoreVersion()", m_databaseIdentity);
}

bool CVUpdater::restoreVersion()
{
    const QString backupPath = getBackupPath();
    if (!mayRestore(backupPath))
        return false;

    // "kqdata.db" is replaced by the copy: our connection is closed, and no other
    // process may hold the database meanwhile; the journal of a step of ours that was
    // killed is set aside (see DatabaseFiles). Released when this function returns.
    // A database that another program changed since the update's own last write is
    // kept aside first (DatabaseFiles::keptPath()).
    DatabaseFiles databaseFiles(QStringLiteral("%1/%2").arg(m_installPath, databaseName),
                                QStringLiteral("%1/%2").arg(backupPath, databaseName));
    databaseFiles.setKnownIdentity(m_databaseIdentity.isEmpty() ? UpdateFlag(m_installPath).read().database
                                                                 : m_databaseIdentity);
    const bool takenOver = databaseFiles.takeOver();
    noteKeptDatabase(databaseFiles);
    if (!takenOver) {
        ZR_LOG_WARNING("bool CVUpdater::restoreVersion()") << "restore failed!";
        return false;
    }
    cleanInterruptedSaves();
    const UpdateFlag::Reading recorded = UpdateFlag(m_installPath).read();
    // Only what differs from the backup is replaced, and a file that cannot be replaced
    // does not keep the others from coming back; each is named in the log.
    if (!ZRPubMethod::getInstance()->restoreDir(QDir(backupPath), QDir(m_installPath),
                                                unchangedBefore(recorded.backupStarted, "bool CVUpdater::restoreVersion()"))) {
        // Stays closed: the database may be among what could not be put back, and
        // opening a missing one would create an empty one in its place. The flag stays
        // false, so the next run restores what still differs.
        ZR_LOG_WARNING("bool CVUpdater::restoreVersion()") << "restore failed!";
        return false;
    }
    // The key names the version of the files now back, as the backup recorded it.
    if (!writeKeyValues(recorded.keyValues, "bool CVUpdater::restoreVersion()")) {
        ZR_LOG_WARNING("bool CVUpdater::restoreVersion()") << "restore failed!";
        return false;
    }
    // The flag turning true says "the installation is whole"; the restored files and
    // the key must be on disk before it is.
    if (!flushUpdate()) {
        ZR_LOG_WARNING("bool CVUpdater::restoreVersion()") << "restore failed!";
        return false;
    }
    // Before the flag: once it is true, no restore comes to clear a journal set aside.
    databaseFiles.complete();
    // The backup's database is the one the updater left now, recorded with the flag.
    recordDatabase();
    ZR_LOG_DEBUG("bool CVUpdater::restoreVersion()") << "restore successed!";
    // A flag that stays false only makes the next run restore once more.
    const bool flagWritten = writeUpdateFlag(true, "bool CVUpdater::restoreVersion()", QString(), QStringList(),
                                             m_databaseIdentity);
    return flagWritten;
}

bool CVUpdater::updateRegKey()
{
    const QString displayName = QStringLiteral("%1 %2").arg(productName(m_iconPath), m_newVersion);

    // The key is written before the flag: the flag turns true only once the new version
    // is recorded, so an installation whose key could not be written still reads as an
    // unfinished update, and the driver restores it.
    const std::unique_ptr<QSettings> key = RegistryStore::open(m_regKey);
    // A key that could not be read looks empty: written now, it would lose every other
    // value, and its old values could not be put back.
    if (key->status() != QSettings::NoError) {
        ZR_LOG_WARNING("bool CVUpdater::updateRegKey()") << QStringLiteral("read reg key %1 failed").arg(m_regKey);
        return false;
    }
    std::array<RegistryValue, 2> previous{{{QStringLiteral("DisplayVersion"), false, QVariant()},
                                           {QStringLiteral("DisplayName"), false, QVariant()}}};
    for (RegistryValue &value : previous) {
        value.present = key->contains(value.name);
        value.value = key->value(value.name);
    }
    // The driver puts the old files back after a failure here; the key must name their
    // version again. Set in memory in any case: QSettings writes what is still pending
    // when the object goes, and must not write the new version then.
    const auto revert = [&]() {
        for (const RegistryValue &value : previous) {
            if (value.present)
                key->setValue(value.name, value.value);
            else
                key->remove(value.name);
        }
    };
    const auto putBack = [&]() {
        revert();
        if (RegistryStore::commit(*key)) {
            m_keyHoldsNewVersion = false;
        } else {
            ZR_LOG_WARNING("bool CVUpdater::updateRegKey()")
                << QStringLiteral("write reg key %1 failed").arg(m_regKey);
        }
    };

    key->setValue(QStringLiteral("DisplayVersion"), m_newVersion);
    key->setValue(QStringLiteral("DisplayName"), displayName);
    if (!RegistryStore::commit(*key)) {
        ZR_LOG_WARNING("bool CVUpdater::updateRegKey()")
            << QStringLiteral("write reg key %1 failed").arg(m_regKey);
        if (key->status() == QSettings::NoError) {
            // Written, but left incomplete (a full disk): mended with the old values.
            m_keyHoldsNewVersion = true;
            putBack();
        } else {
            // Nothing reached the key.
            revert();
        }
        return false;
    }
    m_keyHoldsNewVersion = true;

    createShortcut("bool CVUpdater::updateRegKey()");

    // Killed from here on, the update is complete but for its flag: the next run finds
    // the key holding UPDATE/TARGET and finishes it (recordedUpdate()).
    if (!flushUpdate() || !writeUpdateFlag(true, "bool CVUpdater::updateRegKey()", QString(), QStringList(),
                                           m_databaseIdentity)) {
        putBack();
        return false;
    }

    emit sigProcessAddValue(100);
    ZR_LOG_DEBUG("bool CVUpdater::updateRegKey()") << "update reg and shortcut successed";
    return true;
}

CVUpdater::RecordedUpdate CVUpdater::recordedUpdate() const
{
    return UpdateFlag(m_installPath).recordedUpdate(m_regKey, m_keyHoldsNewVersion);
}

bool CVUpdater::finishRecordedUpdate()
{
    ZR_LOG_INFO("bool CVUpdater::finishRecordedUpdate()")
        << QStringLiteral("the update to the version in %1 had stopped before its flag; completing it").arg(m_regKey);
    createShortcut("bool CVUpdater::finishRecordedUpdate()");
    return flushUpdate() && writeUpdateFlag(true, "bool CVUpdater::finishRecordedUpdate()");
}

void CVUpdater::createShortcut(const char *signature)
{
    m_warnings.clear();
    // An existing shortcut is left as it is: the user's own, or an earlier update's,
    // which points at the same program file. (On Windows QFile::link would replace it.)
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    const QString shortcutPath = QStringLiteral("%1/%2").arg(desktop, QStringLiteral("%1.lnk").arg(productName(m_iconPath)));
    // Listed rather than asked: the entry itself counts, whatever a link in it points
    // at (QFileInfo follows links, and on Windows takes a name ending in ".lnk" for one).
    const QFileInfo shortcut(shortcutPath);
    if (!QDir(shortcut.absolutePath())
             .entryList(QStringList{shortcut.fileName()}, QDir::AllEntries | QDir::System | QDir::Hidden)
             .isEmpty())
        return;
    // Not a failure of the update, but the user looks for the shortcut: told, not only logged.
    if (desktop.isEmpty() || !QFileInfo(desktop).isDir()) {
        ZR_LOG_WARNING(signature) << QStringLiteral("create shortcut %1 failed").arg(shortcutPath);
        m_warnings.append(ConsoleText::tr("There is no desktop directory %1: the shortcut %2 was not made.")
                              .arg(QDir::toNativeSeparators(desktop), shortcut.fileName()));
        return;
    }
    if (!QFile::link(m_iconPath, shortcutPath)) {
        ZR_LOG_WARNING(signature) << QStringLiteral("create shortcut %1 failed").arg(shortcutPath);
        m_warnings.append(ConsoleText::tr("The shortcut %1 could not be made.").arg(QDir::toNativeSeparators(shortcutPath)));
    }
}

qint64 CVUpdater::unchangedBefore(qint64 backupStarted, const char *signature) const
{
    if (backupStarted < 0 || !ChangeStamp::isKeptAt(m_installPath))
        return -1;
    // A clock set back since the backup began stamps the update's changes as older than
    // the backup; then only the content tells.
    const qint64 now = ChangeStamp::now(getBackupPath());
    if (now < 0) // the clock cannot be read there; nothing is wrong with it
        return -1;
    if (now < backupStarted) {
        ZR_LOG_WARNING(signature) << QStringLiteral("the clock is behind the start of the backup,every file is compared");
        return -1;
    }
    // A second's room for file systems whose stamps lag the clock by a tick.
    constexpr qint64 kStampMargin = 1000000000LL;
    return backupStarted - kStampMargin;
}

bool CVUpdater::flushUpdate() const
{
    // The flag turning true says "the update is complete": the files, INI merges and
    // registry values it vouches for must be on disk before it is. The database has
    // made its own commits durable.
    QStringList written{m_installPath};
    const QString registryFile = RegistryStore::filePath(m_regKey);
    if (!registryFile.isEmpty())
        written.append(QFileInfo(registryFile).absolutePath());
    return DiskSync::flushTrees(written);
}

void CVUpdater::cleanInterruptedSaves() const
{
    QStringList dirs;
    for (const QString &dir : {QStringLiteral("%1/config").arg(m_installPath), QStringLiteral("%1/config").arg(getBackupPath())}) {
        // A "config" that is a link out of the installation (the backup keeps such a link
        // as a link) leads to files that are not ours: another program's save is not
        // ours to clear up.
        if (TreeWalker::isLinkOutside(dir, m_installPath)) {
            ZR_LOG_WARNING("void CVUpdater::cleanInterruptedSaves() const")
                << QStringLiteral("skip %1,it is a link out of the installation").arg(dir);
            continue;
        }
        dirs.append(dir);
    }
    const QString registryFile = RegistryStore::filePath(m_regKey);
    if (!registryFile.isEmpty())
        dirs.append(QFileInfo(registryFile).absolutePath());
    for (const QString &dir : dirs)
        InterruptedSave::cleanDirectory(dir);
}

QStringList CVUpdater::readKeyValues() const
{
    QStringList values;
    if (m_regKey.isEmpty())
        return values;
    const std::unique_ptr<QSettings> key = RegistryStore::open(m_regKey);
    if (key->status() != QSettings::NoError)
        return values;
    for (const QString &name : recordedKeyValues) {
        if (key->contains(name))
            values << name << key->value(name).toString();
    }
    return values;
}

bool CVUpdater::writeKeyValues(const QStringList &keyValues, const char *signature)
{
    // Recorded by an earlier updater: nothing to put back.
    if (keyValues.isEmpty() || m_regKey.isEmpty())
        return true;
    const std::unique_ptr<QSettings> key = RegistryStore::open(m_regKey);
    // A key that could not be read looks empty: written now, it would lose its other values.
    if (key->status() != QSettings::NoError) {
        ZR_LOG_WARNING(signature) << QStringLiteral("read reg key %1 failed").arg(m_regKey);
        return false;
    }
    for (const QString &name : recordedKeyValues) {
        const int index = keyValues.indexOf(name);
        if (index >= 0 && index % 2 == 0 && index + 1 < keyValues.size())
            key->setValue(name, keyValues.at(index + 1));
        else
            key->remove(name);
    }
    if (!RegistryStore::commit(*key)) {
        ZR_LOG_WARNING(signature) << QStringLiteral("write reg key %1 failed").arg(m_regKey);
        return false;
    }
    m_keyHoldsNewVersion = false;
    return true;
}

bool CVUpdater::writeUpdateFlag(bool flag, const char *signature, const QString &target,
                                const QStringList &keyValues, const QString &database) const
{
    return UpdateFlag(m_installPath).write(flag, signature, target, keyValues, database);
}
