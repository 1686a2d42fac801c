#ifndef ZRSQLPARSER_H
#define ZRSQLPARSER_H

#include <QByteArray>
#include <QString>
#include <QStringList>

class QIODevice;

// Turns an SQL update script ("dbupdate.sql") into its statements.
//
// Lines that are blank or start with "#" are dropped (an indented "#" is SQL text);
// the rest is cut at every ";" (purely textually) into trimmed statements. The
// directive "IFN_COL|<table>|<column>;" makes the next statement conditional: it
// is skipped when the column already exists. Directives ask the live database
// through DBControl, so it must be open while a script is parsed; nothing is
// executed here. Statements are appended to the caller's list, which is never
// cleared, not even on failure.
class ZRSqlParser
{
public:
    // Reads whole physical lines, however long. A read that yields no data before the
    // end (an I/O error) is reported with "read null line" and retried; after
    // kMaxEmptyReads such reads in a row the script is given up with false.
    static constexpr int kMaxEmptyReads = 16;

    virtual ~ZRSqlParser() = default;

    bool parseSqlFile(const QString &path, QStringList &sqlList);
    // The same on a device already opened for reading.
    bool parseSqlDevice(QIODevice &device, QStringList &sqlList);
    bool doParseSql(const QString &sqlText, QStringList &sqlList);
    // 1 when the directive's column is absent (keep the next statement), 0 when it
    // is present (skip it), -1 when the directive is malformed or the query fails.
    int parseIfnCol(const QString &directive);
    bool isIgnoredLine(const QByteArray &line) const;

    // Why the last parse failed, in the words of its debug message (e.g.
    // ifncol parse failed: "IFN_COL|orders"); empty after a parse that succeeded.
    QString errorString() const { return m_errorString; }

protected:
    // Answers a directive's column test (1, 0 or -1, as DBControl::isColumnExists): the
    // live database here; a dry run of a package answers from its own copy instead.
    virtual int columnExists(const QString &table, const QString &column);

private:
    // Writes a failure's plain debug message and keeps its text as errorString().
    template <typename... Values>
    void fail(const char *message, const Values &...values);

    QString m_errorString;
};

#endif // ZRSQLPARSER_H
