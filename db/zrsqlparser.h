#ifndef ZRSQLPARSER_H
#define ZRSQLPARSER_H

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <functional>

class QIODevice;

// Turns an SQL update script ("dbupdate.sql") into its statements.
//
// Lines that are blank or start with "#" are dropped (an indented "#" is SQL text);
// the rest is cut at every ";" (purely textually) into trimmed statements. The
// directive "IFN_COL|<table>|<column>;" makes the next statement conditional: it
// is skipped when the column already exists. Directives ask the live database
// through DBControl, so it must be open while a script is parsed.
//
// A script is read as a stream: each statement is handed on as soon as its ";" is
// read, so a script of any size takes the memory of its longest statement. Given a
// sink, the parser hands it every kept statement, and a directive is answered by the
// database as the statements before it left it (the sink may have run them). Given a
// list, statements are appended to it, which is never cleared, not even on failure.
class ZRSqlParser
{
public:
    // Reads whole physical lines, however long. A read that yields no data before the
    // end (an I/O error) is reported with "read null line" and retried; after
    // kMaxEmptyReads such reads in a row the script is given up with false.
    static constexpr int kMaxEmptyReads = 16;

    // Takes one kept statement; false stops the parse (the sink has said why).
    using StatementSink = std::function<bool(const QString &statement)>;

    virtual ~ZRSqlParser() = default;

    bool parseSqlFile(const QString &path, QStringList &sqlList);
    bool parseSqlFile(const QString &path, const StatementSink &sink);
    // The same on a device already opened for reading.
    bool parseSqlDevice(QIODevice &device, QStringList &sqlList);
    bool parseSqlDevice(QIODevice &device, const StatementSink &sink);
    // A whole script text at once.
    bool doParseSql(const QString &sqlText, QStringList &sqlList);
    // 1 when the directive's column is absent (keep the next statement), 0 when it
    // is present (skip it), -1 when the directive is malformed or the query fails.
    int parseIfnCol(const QString &directive);
    bool isIgnoredLine(const QByteArray &line) const;

    // Whether each piece of the script gets its "sql:" debug line (the default). The
    // checks before an update parse the scripts without them: the update writes them.
    void setStatementLog(bool on) { m_statementLog = on; }

    // Why the last parse failed, in the words of its debug message (e.g.
    // ifncol parse failed: "IFN_COL|orders"); empty after a parse that succeeded, and
    // after one that the sink stopped.
    QString errorString() const { return m_errorString; }
    // The last parse was stopped by its sink, not by the script.
    bool stoppedBySink() const { return m_stoppedBySink; }

protected:
    // Answers a directive's column test (1, 0 or -1, as DBControl::isColumnExists): the
    // live database here; a dry run of a package answers from its own copy instead.
    virtual int columnExists(const QString &table, const QString &column);

private:
    // Writes a failure's plain debug message and keeps its text as errorString().
    template <typename... Values>
    void fail(const char *message, const Values &...values);
    bool readDevice(QIODevice &device, QStringList &sqlList);
    void beginParse();

    QString m_errorString;
    bool m_statementLog = true;
    bool m_stoppedBySink = false;
    // The state of one parse that spans many pieces of text (a stream).
    bool m_streaming = false;
    bool m_skipNext = false;
    const StatementSink *m_sink = nullptr;
    QHash<QString, int> m_decisions;
};

#endif // ZRSQLPARSER_H
