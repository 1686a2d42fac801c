#ifndef SCRIPTLINT_H
#define SCRIPTLINT_H

#include <QList>
#include <QString>

class QIODevice;

// What an update script ("dbupdate.sql") does that its author may not expect, by the
// line of the file, for the notes of the dry run:
//  - a line that starts with "#" inside a string literal that spans lines: the update's
//    parser drops every such line before SQLite sees the text, so the stored value
//    lacks it;
//  - "PRAGMA journal_mode": a step's statements run in one transaction, in which SQLite
//    does not change the journal mode.
// The lines are read as the parser reads them (a UTF-8 byte order mark ignored, its
// dropped lines skipped); literals, quoted names and comments are followed as SQLite
// reads them.
class ScriptLint
{
public:
    enum class Kind { CommentLineInLiteral, JournalMode };
    struct Remark
    {
        Kind kind;
        int line; // 1-based line of the file
    };

    static QList<Remark> scan(QIODevice &device);
    // Empty when the file cannot be read (the parser says so).
    static QList<Remark> scanFile(const QString &path);
};

#endif // SCRIPTLINT_H
