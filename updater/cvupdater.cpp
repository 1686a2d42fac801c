#include "updater/cvupdater.h"

#include "app/zrpubmethod.h"
#include "config/configbase.h"
#include "log/applog.h"
#include "platform/registrystore.h"
#include "steps/formalupdateo.h"

#include <QCoreApplication>
#include <QDebug>

namespace {

CVUpdater *s_instance = nullptr;

QString &programDirOverride()
{
    static QString dir;
    return dir;
}

QString uninstallKeyPrefix()
{
    return QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\");
}

// Where "DisplayIcon" ends its directory part. The registry holds a Windows path;
// elsewhere the stand-in holds a native one, so "/" counts as well.
int lastSeparator(const QString &path)
{
#ifdef Q_OS_WIN
    return path.lastIndexOf(QLatin1Char('\\'));
#else
    return qMax(path.lastIndexOf(QLatin1Char('\\')), path.lastIndexOf(QLatin1Char('/')));
#endif
}

// All digits of a version as one number: "3.10" is 310. Not a number, or too large
// for 32 bits, is 0.
int versionNumber(QString version)
{
    version.remove(QLatin1Char('.'));
    return version.toInt(nullptr, 10);
}

} // namespace

CVUpdater::CVUpdater(QObject *parent)
    : QObject(parent)
{
    readInstallInfo();
    readNewVersion();
    m_updateObject = new FormalUpdateO(nullptr);
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

void CVUpdater::readInstallInfo()
{
    const QString chineseKey = QStringLiteral("%1%2").arg(uninstallKeyPrefix(), QStringLiteral("Ketterin"));
    const QString englishKey = QStringLiteral("%1%2").arg(uninstallKeyPrefix(), QStringLiteral("Ostrelle"));
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

    if (!m_oldVersion.isEmpty()) {
        // Steps run between major.minor versions; a build number such as 5.2.1.7 is ignored.
        const QStringList parts = m_oldVersion.split(QLatin1Char('.'), Qt::KeepEmptyParts);
        if (parts.size() >= 2)
            m_oldVersion = QStringLiteral("%1.%2").arg(parts.at(0), parts.at(1));
    }

    if (!m_installPath.isEmpty()) {
        m_iconPath = m_installPath;
        const int separator = lastSeparator(m_installPath);
        if (separator >= 0)
            m_installPath.truncate(separator);
    }
}

void CVUpdater::readNewVersion()
{
    const QString path = QStringLiteral("%1/%2").arg(programDir(), QStringLiteral("version.ini"));
    ConfigBase versionFile(path);
    m_newVersion = versionFile.value(QStringLiteral("RELEASE/VERSION"), QString()).toString();
}

bool CVUpdater::isCanUpdate()
{
    if (m_oldVersion.isEmpty() || m_newVersion.isEmpty()) {
        ZR_LOG_DEBUG("bool CVUpdater::isCanUpdate()") << "version is empty";
        return false;
    }
    if (versionNumber(m_newVersion) > versionNumber(m_oldVersion))
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
