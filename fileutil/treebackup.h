#ifndef TREEBACKUP_H
#define TREEBACKUP_H

#include <QString>

// The safety copy of an installation and its way back: a tree copied file by file,
// links as links, leaving out what InstallLayout::isReserved() names (the one rule of
// what an installation never backs up).
class TreeBackup
{
public:
    // Copies source into target, stopping at the first failure; overwrite replaces a
    // file the target already holds. Over an earlier copy (the backup),
    // sourceUnchangedBefore (ChangeStamp's clock; -1 for none) keeps a target file of the
    // source's size whose source has not changed since then, without reading either; any
    // other file that already holds the same bytes is kept as well, and only the rest is
    // copied again.
    bool copy(const QString &source, const QString &target, bool overwrite, qint64 sourceUnchangedBefore = -1) const;
    // Puts a copy made by copy() back: replaces what differs from it, leaves what is
    // the same, and goes on past what it cannot replace, naming each in the log. True
    // when the target holds everything of the backup again. A file of the backup's size
    // whose change time lies before unchangedBefore (ChangeStamp's clock; -1 for none)
    // is taken as the same without reading it.
    bool restore(const QString &backup, const QString &target, qint64 unchangedBefore) const;
};

#endif // TREEBACKUP_H
