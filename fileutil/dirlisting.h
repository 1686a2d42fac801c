#ifndef DIRLISTING_H
#define DIRLISTING_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include "platform/dirhandle.h"

#include <vector>

// The entries of one directory in the order and with the filter a QDir made from a
// path lists them by default (files, directories and drives, no hidden or system
// entries, by name ignoring case), without "." and "..". Read relative to an open
// directory (DirHandle), so at any depth, and each entry looked at once.
//
// QDir::entryInfoList() holds the metadata of every entry at once, some 700 bytes
// each: a directory of 100 000 files would take a tree copy far past its memory
// budget. A listing here holds the name and two small stamps per entry.
class DirListing
{
public:
    struct Entry
    {
        QString name;
        DirHandle::Status status; // the entry itself, a link not followed
        DirHandle::Status target; // what a link leads to; the entry itself otherwise
    };
    struct Listing
    {
        std::vector<Entry> entries; // in the order and with the filter above
        QStringList leftOut;        // hidden entries, dangling links, FIFOs, sockets, devices
        // The names, raw, that no listing shows because they are not valid in the file
        // name encoding (a Latin-1 name on a UTF-8 system), hidden ones aside. Never on
        // Windows, whose names are always text.
        QList<QByteArray> undecodable;
    };

    // Lists the open directory dir, looking at each entry once. withLinks: dangling
    // links as well (and so FIFOs, sockets and devices, which the caller then leaves out
    // itself), for copies that keep links as links. False (errno or the Windows error
    // set) when the directory cannot be read: a walk that went on would leave out all
    // it holds.
    static bool list(const DirHandle &dir, bool withLinks, Listing *listing);
    // The names list() gives for the directory at dirPath; empty when it cannot be read.
    static QStringList sortedNames(const QString &dirPath, bool withLinks = false);
    // Such a name for a log line: what decodes as itself, other bytes as \xNN.
    static QString displayName(const QByteArray &rawName);

private:
    DirListing() = delete;
};

#endif // DIRLISTING_H
