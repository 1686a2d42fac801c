#ifndef DIRLISTING_H
#define DIRLISTING_H

#include <QString>
#include <QStringList>

// The entries of one directory in the order and with the filter a QDir made from a
// path lists them by default (files, directories and drives, no hidden or system
// entries, by name ignoring case), but as names only, without "." and "..".
//
// QDir::entryInfoList() holds the metadata of every entry at once, some 700 bytes
// each: a directory of 100 000 files would take a tree copy far past its memory
// budget. The copies look at one entry at a time instead.
class DirListing
{
public:
    static QStringList sortedNames(const QString &dirPath);
    // The entries that sortedNames() leaves out (hidden entries, dangling links, FIFOs,
    // sockets, devices), in the same order.
    static QStringList leftOutNames(const QString &dirPath);

private:
    DirListing() = delete;
};

#endif // DIRLISTING_H
