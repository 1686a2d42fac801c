#include "config/iniwritecheck.h"

#include <QFile>
#include <QSettings>

bool IniWriteCheck::isComplete(const QSettings &settings)
{
    if (settings.format() != QSettings::IniFormat)
        return true;
    const int keyCount = settings.allKeys().size();
    QFile file(settings.fileName());
    // A file that cannot be read back cannot be judged: QSettings' own status stands.
    // (Reported as failed, a flag that did reach the disk would be taken back by the
    // caller's undo, such as the registry values put back over a finished update.)
    if (!file.open(QIODevice::ReadOnly))
        return true;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return true;
    if (keyCount == 0)
        return true;
    // QSettings ends every line, and writes one line per key: "key=value", with line
    // breaks and "=" inside keys and values escaped; groups are "[name]" lines.
    if (!bytes.endsWith('\n'))
        return false;
    int keyLines = 0;
    for (const QByteArray &line : bytes.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (!trimmed.isEmpty() && !trimmed.startsWith('[') && !trimmed.startsWith(';') && trimmed.contains('='))
            ++keyLines;
    }
    // More is fine: another program may have added keys that this object has not read.
    return keyLines >= keyCount;
}
