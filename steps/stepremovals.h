#ifndef STEPREMOVALS_H
#define STEPREMOVALS_H

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

class RemovalList;

// Removes what one version step's removal list (RemovalList, "remove.list") names from
// the installation, after the backup, so a restore brings every removed entry back.
//
// A listed file goes only when it still holds the bytes the older release shipped (its
// size and SHA-256); one the user changed stays and is named as kept. Nothing is removed
// through a link: an entry with a link (or a junction) on its path, or that is one, is
// left alone and named. Directories go once empty, deepest first, after the files; one
// that holds anything else (a user's own file) stays and is named. What is absent is
// nothing to do. Nothing outside the installation is touched: the paths are relative,
// without "..", and no link on the way is followed.
class StepRemovals
{
public:
    enum class Why {
        Changed,    // the file's size or bytes differ from the release's
        Link,       // a link on the path, or the entry itself: left alone
        NotEmpty,   // a directory that still holds entries not listed
        OtherType,  // a directory where the list names a file, or the other way round
        Hidden,     // hidden (Windows attribute): the backup does not hold it
        Unreadable, // the file cannot be read to compare it
    };
    struct Kept
    {
        QString path;
        Why why;
    };
    struct Result
    {
        QString step;
        QStringList removed;
        QList<Kept> kept;
    };

    explicit StepRemovals(const QString &installDir);

    // Changes nothing: the result says what would be removed and kept.
    void setDryRun(bool dryRun) { m_dryRun = dryRun; }
    // Dry run: the file whose bytes the installed path would hold when the step runs (an
    // earlier step's copy in the package); the installed file when it returns an empty text.
    void setContentSource(std::function<QString(const QString &relativePath)> source)
    {
        m_contentSource = std::move(source);
    }

    // False when an entry that should go could not be removed (errorString()); what was
    // removed before it stays removed, for the backup to bring back.
    bool apply(const RemovalList &list, Result *result);
    QString errorString() const { return m_error; }

    static QString whyText(Why why);

private:
    // The entry at relativePath or one of its parent directories is a link, or hidden.
    bool isGuarded(const QString &relativePath, Why *why) const;
    bool fileMatches(const QString &relativePath, qint64 size, const QByteArray &sha256, Why *why) const;
    bool isEmptyBut(const QString &relativePath) const;
    QString fullPath(const QString &relativePath) const;

    QString m_installDir;
    bool m_dryRun = false;
    std::function<QString(const QString &)> m_contentSource;
    QSet<QString> m_gone; // removed (or, in a dry run, to be removed)
    QString m_error;
};

#endif // STEPREMOVALS_H
