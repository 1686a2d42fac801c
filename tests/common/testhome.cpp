#include "common/testhome.h"

#include <QDir>
#include <QSettings>

TestHome::TestHome()
{
    const QString home = m_dir.path();
    qputenv("HOME", home.toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", configPath().toLocal8Bit());
    qputenv("XDG_DATA_HOME", (home + QStringLiteral("/.local/share")).toLocal8Bit());
    qputenv("XDG_CACHE_HOME", (home + QStringLiteral("/.cache")).toLocal8Bit());
    QDir().mkpath(configPath());
    QDir().mkpath(desktopPath());
}

QString TestHome::configPath() const
{
    return m_dir.path() + QStringLiteral("/.config");
}

QString TestHome::desktopPath() const
{
    return m_dir.path() + QStringLiteral("/Desktop");
}

void TestHome::writeUninstallKey(const QString &installDir) const
{
    const QString dir = configPath()
        + QStringLiteral("/Corvane/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/CurrentVersion/Uninstall");
    QDir().mkpath(dir);
    QSettings key(dir + QStringLiteral("/Ostrelle.ini"), QSettings::IniFormat);
    key.setValue(QStringLiteral("DisplayVersion"), QStringLiteral("3.2"));
    key.setValue(QStringLiteral("DisplayIcon"), installDir + QStringLiteral("/app.exe"));
    key.sync();
}
