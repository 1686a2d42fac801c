#ifndef SYMLINK_H
#define SYMLINK_H

#include <QByteArray>
#include <QString>

// A symbolic link taken for what it is, its text, rather than for what it leads to:
// the backup keeps an installation's links (the program link, .so version chains) as
// links and never follows one out of the installation. Only where links are plain
// Unix links; on Windows the copies follow symbolic links and junctions as before, and
// copy a shortcut file as the file it is (DirHandle sees files, not what Qt makes of them).
class SymLink
{
public:
    // Whether the copies keep links as links on this platform.
    static bool isSupported();
    // The link's text, unresolved and byte for byte. False (errno set) when path is
    // not a link or cannot be read.
    static bool read(const QString &path, QByteArray *text);
    // Makes a link at path holding text. Fails when anything is at path already.
    static bool create(const QByteArray &text, const QString &path);

private:
    SymLink() = delete;
};

#endif // SYMLINK_H
