#include "common/installationfixture.h"

#include "platform/dirhandle.h"

#include "common/packagebuilder.h"
#include "common/scopedcurrentdir.h"
#include "db/dbcontrol.h"
#include "platform/registrystore.h"
#include "updater/cvupdater.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace {

CVUpdater *s_firstUpdater = nullptr;

} // namespace

InstallationFixture::InstallationFixture() = default;

InstallationFixture::~InstallationFixture()
{
    closeDatabase();
    m_cwd.reset();
    CVUpdater::setProgramDir(QString());
}

QString InstallationFixture::keyPath(const QString &productName)
{
    return QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%1")
        .arg(productName);
}

QString InstallationFixture::keyFile(const QString &productName) const
{
    return RegistryStore::filePath(keyPath(productName));
}

QMap<QString, QString> InstallationFixture::keyValues(const QString &productName)
{
    QMap<QString, QString> values;
    const std::unique_ptr<QSettings> key = RegistryStore::open(keyPath(productName));
    const QStringList names = key->allKeys();
    for (const QString &name : names)
        values.insert(name, key->value(name).toString());
    return values;
}

bool InstallationFixture::removeKey(const QString &productName)
{
#ifdef Q_OS_WIN
    QSettings uninstall(QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"),
                        QSettings::NativeFormat);
    uninstall.remove(productName);
    uninstall.sync();
    return uninstall.status() == QSettings::NoError;
#else
    return QFile::remove(RegistryStore::filePath(keyPath(productName)));
#endif
}

bool InstallationFixture::setUp()
{
    m_home.reset(new TestHome);
    if (!m_root.isValid())
        return fail(QStringLiteral("no temporary directory"));
    if (!QDir().mkpath(installPath()) || !QDir().mkpath(packagePath()))
        return fail(QStringLiteral("cannot create the installation or package directory"));
    m_cwd.reset(new ScopedCurrentDir(packagePath()));
    CVUpdater::setProgramDir(packagePath());

    // The first use of the database takes the installation path for the whole process.
    if (!writeKey(QStringLiteral("1.0")))
        return false;
    CVUpdater *updater = CVUpdater::getInstance();
    s_firstUpdater = updater;
    if (updater->getInstallPath() != installPath())
        return fail(QStringLiteral("the update manager reads %1").arg(updater->getInstallPath()));
    DBControl::getInstance()->closeDB();
    delete updater;
    return reset();
}

bool InstallationFixture::reset()
{
    closeDatabase();
    // The owner (a window or the case) deletes the instance; a case that failed half-way
    // may not have. A fresh CVUpdater::getInstance() reads the keys written for the case.
    CVUpdater *left = CVUpdater::getInstance();
    delete left;

    if (!emptyDirectory(installPath()) || !emptyDirectory(packagePath()) || !emptyDirectory(desktopPath()))
        return false;
    if (!m_home->clearRegistry())
        return fail(QStringLiteral("cannot remove the uninstall keys"));
    // Always with the package as the current directory, even if a case changed it.
    QDir::setCurrent(packagePath());
    m_error.clear();
    return true;
}

bool InstallationFixture::writeKey(const QString &productName, const QString &version,
                                   const QString &displayIcon)
{
    const std::unique_ptr<QSettings> key = RegistryStore::open(keyPath(productName));
    if (!version.isNull())
        key->setValue(QStringLiteral("DisplayVersion"), version);
    if (!displayIcon.isNull())
        key->setValue(QStringLiteral("DisplayIcon"), displayIcon);
    if (!RegistryStore::commit(*key))
        return fail(QStringLiteral("cannot write key %1").arg(productName));
    return true;
}

void InstallationFixture::openDatabase()
{
    DBControl::getInstance()->openDB();
}

void InstallationFixture::closeDatabase()
{
    // Not before setUp(): the first call fixes the database path.
    if (s_firstUpdater)
        DBControl::getInstance()->closeDB();
}

QString InstallationFixture::flagOnDisk() const
{
    // Read from the bytes: QSettings would answer from its process-wide cache, which
    // also holds values that a failed write never put on disk.
    QString group;
    const QList<QByteArray> lines = PackageBuilder::readFile(flagFilePath()).split('\n');
    for (const QByteArray &raw : lines) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']')))
            group = line.mid(1, line.size() - 2);
        else if (group == QLatin1String("UPDATE") && line.startsWith(QLatin1String("FLAG=")))
            return line.mid(5);
    }
    return QString();
}

bool InstallationFixture::fail(const QString &what)
{
    if (m_error.isEmpty())
        m_error = what;
    return false;
}

bool InstallationFixture::emptyDirectory(const QString &path)
{
    // The directory itself stays: the package directory is the current directory.
    QDir dir(path);
    if (!dir.exists() && !QDir().mkpath(path))
        return fail(QStringLiteral("cannot create %1").arg(path));
    const QFileInfoList entries = dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    // By open directories, as a case may leave a tree deeper than any path takes.
    const DirHandle handle = DirHandle::open(path);
    for (const QFileInfo &entry : entries) {
        // A link is removed as a file; its target is left alone.
        if (!handle.removeTree(entry.fileName()))
            return fail(QStringLiteral("cannot remove %1").arg(entry.filePath()));
    }
    return true;
}
