#ifndef DIRLISTING_H
#define DIRLISTING_H

#include <QByteArray>
#include <QList>
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
    // withLinks: dangling links as well (and so FIFOs, sockets and devices, which the
    // caller then leaves out itself), for copies that keep links as links.
    static QStringList sortedNames(const QString &dirPath, bool withLinks = false);
    // The entries that sortedNames() leaves out (hidden entries, dangling links, FIFOs,
    // sockets, devices), in the same order.
    static QStringList leftOutNames(const QString &dirPath);
    // The names, raw, that no listing shows because they are not valid in the file name
    // encoding (a Latin-1 name on a UTF-8 system), hidden ones aside. Empty on Windows,
    // whose names are always text.
    static QList<QByteArray> undecodableNames(const QString &dirPath);
    // Such a name for a log line: what decodes as itself, other bytes as \xNN.
    static QString displayName(const QByteArray &rawName);

private:
    DirListing() = delete;
};

#endif // DIRLISTING_H
