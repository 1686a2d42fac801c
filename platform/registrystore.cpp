#include "platform/registrystore.h"

#include "config/iniwritecheck.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <string>
#else
#include <cstdio>
#include <unistd.h>
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
#else
// A second name for the key's file while a commit replaces it (see commit()).
QByteArray keptName(const QString &filePath)
{
    return QFile::encodeName(filePath + QStringLiteral(".previous"));
}

// A commit killed half-way leaves the second name behind: beside a file that holds
// the key it is removed, in place of one that a full disk left empty it is the key.
void recoverCommit(const QString &filePath)
{
    const QByteArray kept = keptName(filePath);
    if (!QFileInfo::exists(QFile::decodeName(kept)))
        return;
    const QFileInfo current(filePath);
    if (current.exists() && current.size() > 0)
        ::unlink(kept.constData());
    else
        std::rename(kept.constData(), QFile::encodeName(filePath).constData());
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
    recoverCommit(filePath(keyPath));
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
#ifndef Q_OS_WIN
    // On a full disk QSettings (Qt 5) can replace the key's file by an empty or cut one
    // and still report success (see IniWriteCheck). A second name for the file as it
    // stands keeps the key, without needing any space, until the new file has been read
    // back whole.
    const QString path = settings.fileName();
    const QByteArray kept = keptName(path);
    ::unlink(kept.constData());
    const bool keeping = ::link(QFile::encodeName(path).constData(), kept.constData()) == 0;
#endif
    settings.sync();
    const bool written = settings.status() == QSettings::NoError;
#ifdef Q_OS_WIN
    const bool complete = written && flushKey(settings);
#else
    const bool complete = written && IniWriteCheck::isComplete(settings);
#endif
#ifndef Q_OS_WIN
    if (keeping) {
        if (written && !complete)
            std::rename(kept.constData(), QFile::encodeName(path).constData());
        else
            ::unlink(kept.constData());
    }
#endif
    if (written && !complete) {
        // QSettings takes its values for written: every value is set again, so that the
        // next commit writes them all rather than nothing.
        const QStringList keys = settings.allKeys();
        for (const QString &key : keys)
            settings.setValue(key, settings.value(key));
    }
    return complete;
}
