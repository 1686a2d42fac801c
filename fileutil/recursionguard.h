#ifndef RECURSIONGUARD_H
#define RECURSIONGUARD_H

#include <QString>
#include <QStringList>

class DirHandle;

// Tracks the directories on the current path of a recursive tree walk by their
// canonical paths (or identities), so that a link leading back into one of them (e.g. "a/b/up" ->
// "a") can be recognised instead of being followed forever. Links to directories
// elsewhere, even ones visited before on another branch, are not loops.
class RecursionGuard
{
public:
    // False when the directory is already on the current path (nothing is pushed);
    // otherwise pushes it and returns true. Every successful enter() needs a leave().
    bool enter(const QString &dirPath);
    // The same for an open directory, by its identity (DirHandle::identity()): at any
    // depth, where a canonical path could be longer than the system takes.
    bool enter(const DirHandle &dir);
    // Pops the directory pushed by the last successful enter().
    void leave();

    int depth() const { return m_path.size(); }

private:
    QStringList m_path;
};

#endif // RECURSIONGUARD_H
