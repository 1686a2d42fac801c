#include "platform/registrystore.h"

#include "config/inicommit.h"
#include "config/initextcodec.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <string>
#endif

namespace {

#ifdef Q_OS_WIN
bool isEmptyKey(const QSettings &settings)
{
    return settings.childKeys().isEmpty() && settings.childGroups().isEmpty();
}

// Registry writes reach the disk when Windows gets round to it; the key is flushed so
// that the update flag never vouches for values still in memory.
bool flushKey(const QSettings &settings)
{
    // "\HKEY_LOCAL_MACHINE\SOFTWARE\..." (QSettings names only these two roots).
    QString path = settings.fileName();
    while (path.startsWith(QLatin1Char('\\')))
        path.remove(0, 1);
    const int separator = path.indexOf(QLatin1Char('\\'));
    const QString rootName = path.left(separator);
    HKEY root;
    if (rootName == QLatin1String("HKEY_LOCAL_MACHINE"))
        root = HKEY_LOCAL_MACHINE;
    else if (rootName == QLatin1String("HKEY_CURRENT_USER"))
        root = HKEY_CURRENT_USER;
    else
        return true; // not a key path QSettings writes to the registry
    const std::wstring subKey = separator < 0 ? std::wstring() : path.mid(separator + 1).toStdWString();
    const REGSAM view = settings.format() == QSettings::Registry32Format ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    HKEY key;
    if (RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    const bool flushed = RegFlushKey(key) == ERROR_SUCCESS;
    RegCloseKey(key);
    return flushed;
}
#endif

} // namespace

std::unique_ptr<QSettings> RegistryStore::open(const QString &keyPath)
{
#ifdef Q_OS_WIN
    // A 32-bit installer writes its uninstall entry into the registry's 32-bit view
    // (below WOW6432Node), which this 64-bit program does not see at the same path:
    // the key is taken from there when the 64-bit view does not have it.
    auto settings = std::make_unique<QSettings>(keyPath, QSettings::NativeFormat);
    if (isEmptyKey(*settings)) {
        auto view32 = std::make_unique<QSettings>(keyPath, QSettings::Registry32Format);
        if (!isEmptyKey(*view32))
            return view32;
    }
    return settings;
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
#ifdef Q_OS_WIN
        return settings.status() == QSettings::NoError && flushKey(settings);
#else
        return settings.status() == QSettings::NoError;
#endif
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
