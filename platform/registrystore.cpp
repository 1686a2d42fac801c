#include "platform/registrystore.h"

#include "config/initextcodec.h"
#include "config/iniwritecheck.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifndef Q_OS_WIN
#include <cstdio>
#include <unistd.h>
#endif

namespace {

#ifndef Q_OS_WIN
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
    return std::make_unique<QSettings>(keyPath, QSettings::NativeFormat);
#else
    recoverCommit(filePath(keyPath));
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
    IniTextCodec::sync(settings);
    const bool written = settings.status() == QSettings::NoError;
    const bool complete = written && IniWriteCheck::isComplete(settings);
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
