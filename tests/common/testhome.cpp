#include "common/testhome.h"

#include "platform/registrystore.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

#include <memory>

TestHome::TestHome()
{
    const QString home = m_dir.path();
    qputenv("HOME", home.toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", configPath().toLocal8Bit());
    qputenv("XDG_DATA_HOME", (home + QStringLiteral("/.local/share")).toLocal8Bit());
    qputenv("XDG_CACHE_HOME", (home + QStringLiteral("/.cache")).toLocal8Bit());
    QDir().mkpath(configPath());
    QDir().mkpath(desktopPath());
#ifdef Q_OS_WIN
    clearRegistry();
#endif
}

TestHome::~TestHome()
{
#ifdef Q_OS_WIN
    clearRegistry();
#endif
}

bool TestHome::clearRegistry() const
{
#ifdef Q_OS_WIN
    bool cleared = true;
    const QString uninstall = QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall");
    for (const QSettings::Format format : {QSettings::Registry64Format, QSettings::Registry32Format}) {
        QSettings settings(uninstall, format);
        settings.remove(QStringLiteral("Ostrelle"));
        settings.remove(QStringLiteral("Ketterin"));
        settings.sync();
        cleared = cleared && settings.status() == QSettings::NoError;
    }
    return cleared;
#else
    return QDir(configPath() + QStringLiteral("/Corvane")).removeRecursively();
#endif
}

QString TestHome::configPath() const
{
    return m_dir.path() + QStringLiteral("/.config");
}

QString TestHome::desktopPath() const
{
#ifdef Q_OS_WIN
    return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
#else
    return m_dir.path() + QStringLiteral("/Desktop");
#endif
}

void TestHome::writeUninstallKey(const QString &installDir) const
{
#ifdef Q_OS_WIN
    const std::unique_ptr<QSettings> key = RegistryStore::open(
        QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ostrelle"));
    key->setValue(QStringLiteral("DisplayVersion"), QStringLiteral("3.2"));
    key->setValue(QStringLiteral("DisplayIcon"), QDir::toNativeSeparators(installDir + QStringLiteral("/app.exe")));
    RegistryStore::commit(*key);
#else
    const QString dir = configPath()
        + QStringLiteral("/Corvane/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/CurrentVersion/Uninstall");
    QDir().mkpath(dir);
    QSettings key(dir + QStringLiteral("/Ostrelle.ini"), QSettings::IniFormat);
    key.setValue(QStringLiteral("DisplayVersion"), QStringLiteral("3.2"));
    key.setValue(QStringLiteral("DisplayIcon"), installDir + QStringLiteral("/app.exe"));
    key.sync();
#endif
}
