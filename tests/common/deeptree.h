#ifndef DEEPTREE_H
#define DEEPTREE_H

#include "platform/dirhandle.h"

#include <QByteArray>
#include <QString>

// A chain of directories whose path is longer than any the system takes whole, made,
// opened and filled level by level through DirHandle (QDir and QFile stop at that length).
//
// Linux: 24 levels of 200 characters, beyond PATH_MAX (4096 bytes). Windows: 12 levels,
// about 2400 characters, many times MAX_PATH (260 characters, the limit of a path
// without "\\?\"); Wine hands every path on to Linux whole and refuses one whose Linux
// form is longer than 4096 bytes ("File name too long"), which Windows itself takes.
class DeepTree
{
public:
    // The longest path the system takes whole: PATH_MAX or MAX_PATH.
    static int longestWholePath();
    // The deepest directory below root, each level made first when make is true.
    static DirHandle open(const QString &root, bool make);
    // Writes (replacing) or reads the file name of dir, at any depth.
    static bool write(const DirHandle &dir, const QString &name, const QByteArray &bytes);
    static QByteArray read(const DirHandle &dir, const QString &name);

private:
    DeepTree() = delete;
};

#endif // DEEPTREE_H
