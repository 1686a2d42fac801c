#ifndef FILEINUSE_H
#define FILEINUSE_H

#include <QString>
#include <QStringList>

// Whether another program holds a file open. On Windows a file that is open (a running
// program, its DLLs, a database the application has open) cannot be replaced or
// removed, so an update that would replace it fails half-way; asking first lets it
// refuse with nothing changed. Elsewhere an open file can be replaced, and no file
// counts as in use.
class FileInUse
{
public:
    // The first of paths that another program holds open, or an empty string. A path
    // that does not exist, or cannot be opened for another reason, is not in use.
    static QString firstInUse(const QStringList &paths);

    static bool isInUse(const QString &path);

    // Whether this system can tell (Windows); elsewhere nothing is ever in use.
    static constexpr bool canTell()
    {
#ifdef Q_OS_WIN
        return true;
#else
        return false;
#endif
    }

private:
    FileInUse() = delete;
};

#endif // FILEINUSE_H
