#include "db/zrsqlparser.h"

#include "db/dbcontrol.h"
#include "log/applog.h"
#include "log/debugtext.h"

#include <QDebug>
#include <QFile>
#include <QHash>
#include <QIODevice>
#include <QVector>

namespace {

const char kUtf8Bom[] = "\xEF\xBB\xBF";

bool isBlankByte(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Sets the parser's sink for one parse.
class SinkScope
{
public:
    SinkScope(const ZRSqlParser::StatementSink *&slot, const ZRSqlParser::StatementSink &sink)
        : m_slot(slot)
    {
        m_slot = &sink;
    }
    ~SinkScope() { m_slot = nullptr; }
    SinkScope(const SinkScope &) = delete;
    SinkScope &operator=(const SinkScope &) = delete;

private:
    const ZRSqlParser::StatementSink *&m_slot;
};

} // namespace

template <typename... Values>
void ZRSqlParser::fail(const char *message, const Values &...values)
{
    m_errorString = debugText(message, values...);
    qDebug().noquote() << m_errorString;
}

bool ZRSqlParser::parseSqlFile(const QString &path, QStringList &sqlList)
{
    beginParse();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        fail("file open failed:", path);
        return false;
    }
    return readDevice(file, sqlList);
}

bool ZRSqlParser::parseSqlFile(const QString &path, const StatementSink &sink)
{
    const SinkScope scope(m_sink, sink);
    QStringList unused;
    return parseSqlFile(path, unused);
}

bool ZRSqlParser::parseSqlDevice(QIODevice &device, QStringList &sqlList)
{
    beginParse();
    return readDevice(device, sqlList);
}

bool ZRSqlParser::parseSqlDevice(QIODevice &device, const StatementSink &sink)
{
    const SinkScope scope(m_sink, sink);
    QStringList unused;
    return parseSqlDevice(device, unused);
}

void ZRSqlParser::beginParse()
{
    m_errorString.clear();
    m_stoppedBySink = false;
    m_skipNext = false;
    m_decisions.clear();
}

bool ZRSqlParser::readDevice(QIODevice &device, QStringList &sqlList)
{
    m_streaming = true;
    // The text after the last ";" read so far: at most one statement and a line.
    QString pending;
    bool firstLine = true;
    bool ok = true;
    int emptyReads = 0;
    while (ok && !device.atEnd()) {
        // Whole lines: a piece of a long line judged on its own could look like a
        // comment or a blank line and silently take part of a statement with it.
        QByteArray line = device.readLine();
        if (line.isEmpty()) {
            fail("read null line");
            if (++emptyReads >= kMaxEmptyReads)
                ok = false;
            continue;
        }
        emptyReads = 0;

        // Editors on Windows often start UTF-8 files with a byte order mark, which
        // would hide a "#" in the first column of the first line.
        if (firstLine && line.startsWith(kUtf8Bom))
            line.remove(0, int(sizeof(kUtf8Bom)) - 1);
        firstLine = false;

        if (isIgnoredLine(line))
            continue;
        const int nul = line.indexOf('\0');
        const QString text = QString::fromUtf8(line.constData(), nul < 0 ? line.size() : nul);
        // Cut at a ";" the pieces are the ones the whole text would give.
        const int last = text.lastIndexOf(QLatin1Char(';'));
        if (last < 0) {
            pending += text;
            continue;
        }
        pending += text.leftRef(last + 1);
        ok = doParseSql(pending, sqlList);
        pending = text.mid(last + 1);
    }
    if (ok && !pending.isEmpty())
        ok = doParseSql(pending, sqlList);
    m_streaming = false;
    if (ok)
        m_errorString.clear();
    return ok;
}

bool ZRSqlParser::doParseSql(const QString &sqlText, QStringList &sqlList)
{
    // Called on its own, a text is a whole script; within a stream, the next part.
    if (!m_streaming)
        beginParse();
    const QVector<QStringRef> pieces = sqlText.splitRef(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QStringRef &piece : pieces) {
        const QStringRef sql = piece.trimmed();
        // Made once, for the log line and the statement alike.
        const QString statement = sql.toString();
        if (m_statementLog)
            ZR_LOG_DEBUG("bool ZRSqlParser::doParseSql(const QString&, QStringList&)") << "sql:" << statement;

        if (statement.isEmpty())
            continue;
        if (statement.startsWith(QLatin1String("IFN_COL"))) {
            // Scripts repeat the same guards (a cumulative script re-checks the
            // columns of every earlier release): a directive is asked once until a
            // statement runs that may change the answer.
            auto known = m_decisions.constFind(statement);
            if (known == m_decisions.cend()) {
                const int keep = parseIfnCol(statement);
                if (keep == -1)
                    return false;
                known = m_decisions.insert(statement, keep);
            }
            m_skipNext = (known.value() == 0);
            continue;
        }
        if (!m_skipNext) {
            if (m_sink) {
                if (!(*m_sink)(statement)) {
                    m_stoppedBySink = true;
                    return false;
                }
                if (!m_decisions.isEmpty())
                    m_decisions.clear();
            } else {
                sqlList.append(statement);
            }
        }
        m_skipNext = false;
    }
    return true;
}

int ZRSqlParser::parseIfnCol(const QString &directive)
{
    const QStringList fields = directive.split(QLatin1Char('|'), Qt::KeepEmptyParts);
    if (fields.size() != 3) {
        fail("ifncol parse failed:", directive);
        return -1;
    }
    const int exists = columnExists(fields.at(1), fields.at(2));
    if (exists == -1) {
        fail("isColumnExists exec failed");
        return -1;
    }
    return exists == 0 ? 1 : 0;
}

int ZRSqlParser::columnExists(const QString &table, const QString &column)
{
    return DBControl::getInstance()->isColumnExists(table, column);
}

bool ZRSqlParser::isIgnoredLine(const QByteArray &line) const
{
    if (line.startsWith('#'))
        return true;
    for (const char c : line) {
        if (!isBlankByte(c))
            return false;
    }
    return true;
}
