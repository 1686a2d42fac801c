// libFuzzer harness: a marked INI file and its ".bak" backup, both from the input,
// inspected read-only, then opened (and so repaired) by ConfigBase, read, changed once
// and saved.
//
// Input: one byte of flags, then the file's bytes, then the line kSeparator, then the
// backup's bytes (no such line: no backup bytes). Of the flags only the low four bits
// count, so that the characters '0' to '?' make readable seeds:
//   bit 0  the file exists
//   bit 1  the backup exists
//   bit 2  the backup path is a directory instead (copying it back fails)
//   bit 3  the file path is a directory instead, holding a file with the file's bytes
#include "fuzzsupport.h"

#include "config/configbase.h"

#include <QDateTime>
#include <QDir>
#include <QMap>
#include <QVariant>

namespace {

const QByteArray kSeparator = QByteArrayLiteral("--- .bak ---\n");

enum Flags { FileExists = 1, BackupExists = 2, BackupIsDirectory = 4, FileIsDirectory = 8 };

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int flags = data[0];
    const QByteArray rest = FuzzSupport::toBytes(data + 1, size - 1);
    // The separator line starts the input or follows a line feed, which the file keeps.
    int cut = -1;
    if (rest.startsWith(kSeparator))
        cut = 0;
    else if (const int at = rest.indexOf('\n' + kSeparator); at >= 0)
        cut = at + 1;
    const QByteArray fileBytes = cut < 0 ? rest : rest.left(cut);
    const QByteArray backupBytes = cut < 0 ? QByteArray() : rest.mid(cut + kSeparator.size());

    // The same paths every round, so QSettings' process-wide cache of parsed files holds
    // one entry instead of growing (which would make every round look like a leak). That
    // cache re-reads a file only when its size or modification time (in milliseconds)
    // changed, so each round's files get a modification time no earlier round had.
    static qint64 round = 0;
    const QDateTime stamp = QDateTime::fromSecsSinceEpoch(946684800 + ++round, Qt::UTC);
    const QString dir = FuzzSupport::scratchDir() + QStringLiteral("/config");
    QDir(dir).removeRecursively();
    if (!QDir().mkpath(dir))
        FuzzSupport::fail("create directory", dir);
    const QString path = dir + QStringLiteral("/UPDATER.ini");
    const QString backupPath = path + QStringLiteral(".bak");

    if (flags & FileIsDirectory) {
        const QString inside = path + QStringLiteral("/inside");
        if (!QDir().mkpath(path) || !FuzzSupport::writeFile(inside, fileBytes, stamp))
            FuzzSupport::fail("create directory", path);
    } else if ((flags & FileExists) && !FuzzSupport::writeFile(path, fileBytes, stamp)) {
        FuzzSupport::fail("write file", path);
    }
    if (flags & BackupIsDirectory) {
        if (!QDir().mkpath(backupPath))
            FuzzSupport::fail("create directory", backupPath);
    } else if ((flags & BackupExists) && !FuzzSupport::writeFile(backupPath, backupBytes, stamp)) {
        FuzzSupport::fail("write backup", backupPath);
    }

    const QString key = QStringLiteral("UPDATE/FLAG");

    // Inspecting leaves every byte as it was and creates nothing.
    const QMap<QString, QByteArray> before = FuzzSupport::directoryContents(dir);
    {
        ConfigBase inspected(path, ConfigBase::Access::ReadOnly);
        const QStringList keys = inspected.allKeys();
        for (const QString &each : keys)
            inspected.value(each);
        inspected.isValid();
        inspected.setValue(key, false);
    }
    FUZZ_CHECK(FuzzSupport::directoryContents(dir) == before, dir);

    QMap<QString, QVariant> served;
    bool readable = true;
    {
        ConfigBase config(path);
        readable = config.isReadable();
        const QStringList keys = config.allKeys();
        for (const QString &each : keys)
            served.insert(each, config.value(each));
        config.value(key, true);
        config.isValid();
        config.setValue(key, false);
    }
    // QSettings reads "UPDATE//FLAG/" as "UPDATE/FLAG": such keys name the changed one.
    for (auto it = served.begin(); it != served.end();) {
        if (it.key().split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/')) == key)
            it = served.erase(it);
        else
            ++it;
    }

    // A file that cannot be read is not repaired, nor written over: its content is unknown.
    if (!readable) {
        FUZZ_CHECK(FuzzSupport::directoryContents(dir) == before, dir);
        return 0;
    }

    // A saved change leaves a complete file that holds it and every value the object
    // served, whatever was there before; only a backup that cannot be copied back stops
    // the repair.
    if (!(flags & BackupIsDirectory)) {
        ConfigBase reopened(path);
        FUZZ_CHECK(reopened.isValid(), path);
        FUZZ_CHECK(reopened.value(key).toString() == QLatin1String("false"), reopened.value(key).toString());
        for (auto it = served.cbegin(); it != served.cend(); ++it)
            FUZZ_CHECK(reopened.value(it.key()) == it.value(), it.key());
    }
    return 0;
}
