#include "fileutil/dirlisting.h"

#include <QDir>
#include <QDirIterator>
#include <QSet>

#include <algorithm>
#include <vector>

QStringList DirListing::sortedNames(const QString &dirPath)
{
    struct Entry
    {
        QString key; // shares the name's data when the name is in lower case already
        QString name;
    };
    std::vector<Entry> entries;
    QDirIterator it(dirPath, QDir::AllEntries | QDir::NoDotAndDotDot);
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
