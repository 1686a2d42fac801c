#include "fileutil/dirlisting.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSet>

#ifndef Q_OS_WIN
#include <dirent.h>
#endif

#include <algorithm>
#include <vector>

QStringList DirListing::sortedNames(const QString &dirPath, bool withLinks)
{
    struct Entry
    {
        QString key; // shares the name's data when the name is in lower case already
        QString name;
    };
    std::vector<Entry> entries;
    QDirIterator it(dirPath, QDir::AllEntries | QDir::NoDotAndDotDot | (withLinks ? QDir::System : QDir::Filters()));
    while (it.hasNext()) {
        it.next();
        const QString name = it.fileName();
        entries.push_back({name.toLower(), name});
    }
    // QDir compares the lower-case names; names that differ only in case ("A.txt",
    // "a.txt") come in a fixed order here.
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        const int byKey = a.key.compare(b.key);
        return byKey != 0 ? byKey < 0 : a.name.compare(b.name) < 0;
    });

    QStringList names;
    names.reserve(int(entries.size()));
    for (Entry &entry : entries)
        names.append(std::move(entry.name));
    return names;
}

QStringList DirListing::leftOutNames(const QString &dirPath)
{
    const QDir dir(dirPath);
    QStringList names = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    const QStringList listed = dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    const QSet<QString> listedSet(listed.cbegin(), listed.cend());
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&listedSet](const QString &name) { return listedSet.contains(name); }),
                names.end());
    return names;
}

QList<QByteArray> DirListing::undecodableNames(const QString &dirPath)
{
    QList<QByteArray> names;
#ifndef Q_OS_WIN
    DIR *dir = ::opendir(QFile::encodeName(dirPath).constData());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        // Qt's listings leave out what does not come back the same through the codec.
        if (!name.startsWith('.') && QFile::encodeName(QFile::decodeName(name)) != name)
            names.append(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
#else
    Q_UNUSED(dirPath)
#endif
    return names;
}

QString DirListing::displayName(const QByteArray &rawName)
{
    QString text;
    int at = 0;
    while (at < rawName.size()) {
        // The shortest run of bytes from here that decodes as itself is one character.
        int length = 1;
        for (; length <= 4 && at + length <= rawName.size(); ++length) {
            const QByteArray run = rawName.mid(at, length);
            const QString decoded = QFile::decodeName(run);
            if (!decoded.contains(QChar::ReplacementCharacter) && QFile::encodeName(decoded) == run) {
                text += decoded;
                break;
            }
        }
        if (length > 4 || at + length > rawName.size()) {
            text += QStringLiteral("\\x%1").arg(QString::number(uchar(rawName.at(at)), 16).toUpper().rightJustified(2, QLatin1Char('0')));
            length = 1;
        }
        at += length;
    }
    return text;
}
