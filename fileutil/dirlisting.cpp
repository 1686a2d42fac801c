#include "fileutil/dirlisting.h"

#include <QFile>

#include <algorithm>

bool DirListing::list(const DirHandle &dir, bool withLinks, Listing *listing)
{
    std::vector<DirHandle::Listed> raw;
    if (!dir.list(&raw))
        return false;
    struct Sorted
    {
        QString key; // shares the name's data when the name is in lower case already
        Entry entry;
    };
    std::vector<Sorted> sorted;
    sorted.reserve(raw.size());
    QStringList leftOut;
    for (DirHandle::Listed &listed : raw) {
        if (!listed.decodable) {
            // Qt's listings leave out what does not come back the same through the codec.
            if (!listed.hidden)
                listing->undecodable.append(listed.rawName);
            continue;
        }
        if (listed.hidden) {
            leftOut.append(listed.name);
            continue;
        }
        Entry entry;
        entry.status = dir.status(listed.name, false);
        if (entry.status.kind == DirHandle::Kind::None) // gone meanwhile
            continue;
        entry.target = entry.status.kind == DirHandle::Kind::Link ? dir.status(listed.name, true) : entry.status;
        // As QDir without QDir::System: files and directories, links by what they lead
        // to; a dangling link is a system entry, and so is a FIFO, a socket or a device.
        const bool system = entry.status.kind == DirHandle::Kind::Other
            || (entry.status.kind == DirHandle::Kind::Link && entry.target.kind == DirHandle::Kind::None);
        if (system && !withLinks) {
            leftOut.append(listed.name);
            continue;
        }
        entry.name = std::move(listed.name);
        sorted.push_back({entry.name.toLower(), std::move(entry)});
    }
    // QDir compares the lower-case names; names that differ only in case ("A.txt",
    // "a.txt") come in a fixed order here.
    const auto byName = [](const QString &aKey, const QString &a, const QString &bKey, const QString &b) {
        const int byKey = aKey.compare(bKey);
        return byKey != 0 ? byKey < 0 : a.compare(b) < 0;
    };
    std::sort(sorted.begin(), sorted.end(), [&byName](const Sorted &a, const Sorted &b) {
        return byName(a.key, a.entry.name, b.key, b.entry.name);
    });
    std::sort(leftOut.begin(), leftOut.end(), [&byName](const QString &a, const QString &b) {
        return byName(a.toLower(), a, b.toLower(), b);
    });
    std::sort(listing->undecodable.begin(), listing->undecodable.end());
    listing->entries.reserve(sorted.size());
    for (Sorted &item : sorted)
        listing->entries.push_back(std::move(item.entry));
    listing->leftOut = std::move(leftOut);
    return true;
}

QStringList DirListing::sortedNames(const QString &dirPath, bool withLinks)
{
    QStringList names;
    const DirHandle dir = DirHandle::open(dirPath);
    Listing listing;
    if (!dir.isOpen() || !list(dir, withLinks, &listing))
        return names;
    names.reserve(int(listing.entries.size()));
    for (const Entry &entry : listing.entries)
        names.append(entry.name);
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
