#include "db/zrsqlparser.h"

#include "db/dbcontrol.h"
#include "log/applog.h"
#include "log/debugtext.h"
#include "log/quotedtext.h"

#include <QDebug>
#include <QFile>
#include <QHash>
#include <QIODevice>

#include <atomic>
#include <cstring>

namespace {

const char kUtf8Bom[] = "\xEF\xBB\xBF";

bool isBlankByte(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A line that is blank or starts with "#".
bool isIgnored(const char *line, int size)
{
    if (size > 0 && line[0] == '#')
        return true;
    for (int i = 0; i < size; ++i) {
        if (!isBlankByte(line[i]))
            return false;
    }
    return true;
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

// Reads one physical line, however long, into buffer, which keeps its room for the next
// one: most lines cost no allocation. Its length; 0 when the read yielded nothing.
int readWholeLine(QIODevice &device, QByteArray &buffer)
{
    constexpr int kRoom = 16384;
    constexpr int kMaxRoom = 1 << 30;
    if (buffer.size() < kRoom)
        buffer.resize(kRoom);
    int length = 0;
    for (;;) {
        // readLine() stores at most room - 1 bytes and a terminating zero.
        const qint64 room = buffer.size() - length;
        const qint64 got = device.readLine(buffer.data() + length, room);
        if (got > 0)
            length += int(got);
        if (got != room - 1 || buffer.at(length - 1) == '\n' || buffer.size() >= kMaxRoom)
            return length;
        buffer.resize(buffer.size() * 2);
    }
}

// Set once a statement that may turn on PRAGMA writable_schema has run in this process
// (the setting outlives the script, on the one connection).
std::atomic<bool> s_schemaWritable{false};

// Whether the statement's first word is INSERT, UPDATE, DELETE or REPLACE (in any case).
bool isDataStatement(const QString &statement)
{
    constexpr int kLongest = 7;
    char word[kLongest + 1];
    int length = 0;
    for (const QChar c : statement) {
        ushort u = c.unicode();
        if (u >= 'a' && u <= 'z')
            u = ushort(u - ('a' - 'A'));
        if (u >= 'A' && u <= 'Z') {
            if (length == kLongest)
                return false;
            word[length++] = char(u);
            continue;
        }
        // A longer name (a digit, "_" or a letter beyond ASCII) is no such word.
        if (u == '_' || (u >= '0' && u <= '9') || u >= 0x80)
            return false;
        break;
    }
    word[length] = '\0';
    return std::strcmp(word, "INSERT") == 0 || std::strcmp(word, "UPDATE") == 0 || std::strcmp(word, "DELETE") == 0
           || std::strcmp(word, "REPLACE") == 0;
}

// Whether text holds word followed by "_" (word in ASCII lower case), in any ASCII case,
// e.g. "sqlite_": each "_" (found fast) is checked for the word before it.
bool containsPrefixCaseless(const QString &text, const char *word, int wordLength)
{
    const QChar *data = text.constData();
    for (int at = text.indexOf(QLatin1Char('_'), wordLength); at >= 0; at = text.indexOf(QLatin1Char('_'), at + 1)) {
        int j = 0;
        while (j < wordLength) {
            const ushort c = data[at - wordLength + j].unicode();
            const ushort lower = (c >= 'A' && c <= 'Z') ? ushort(c + ('a' - 'A')) : c;
            if (lower != ushort(word[j]))
                break;
            ++j;
        }
        if (j == wordLength)
            return true;
    }
    return false;
}

// Whether a statement that ran may have changed what a column test reads, the CREATE
// text of a table in the schema table. A data statement cannot, unless it writes the
// schema table itself, which SQLite allows only with writable_schema on; then a
// trigger it fires could too, so from then on every statement counts. Anything else
// (ALTER, CREATE, DROP, a rollback to a savepoint, a statement behind a comment)
// counts as a change. A data statement is only searched when answers are kept.
bool mayChangeSchema(const QString &statement, bool answersKept)
{
    static const char kSchemaTable[] = "sqlite";
    static const char kWritable[] = "writable";
    if (!isDataStatement(statement)) {
        if (containsPrefixCaseless(statement, kWritable, int(sizeof(kWritable)) - 1))
            s_schemaWritable.store(true);
        return true;
    }
    if (!answersKept)
        return false;
    return s_schemaWritable.load() || containsPrefixCaseless(statement, kSchemaTable, int(sizeof(kSchemaTable)) - 1);
}

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
    // The text after the last ";" read so far (at most one statement and a line),
    // followed by the line being cut; both buffers keep their room from line to line.
    QString pending;
    QByteArray buffer;
    bool firstLine = true;
    bool ok = true;
    int emptyReads = 0;
    while (ok && !device.atEnd()) {
        // Whole lines: a piece of a long line judged on its own could look like a
        // comment or a blank line and silently take part of a statement with it.
        const int length = readWholeLine(device, buffer);
        if (length == 0) {
            fail("read null line");
            if (++emptyReads >= kMaxEmptyReads)
                ok = false;
            continue;
        }
        emptyReads = 0;

        // Editors on Windows often start UTF-8 files with a byte order mark, which
        // would hide a "#" in the first column of the first line.
        int start = 0;
        if (firstLine && length >= 3 && std::memcmp(buffer.constData(), kUtf8Bom, 3) == 0)
            start = 3;
        firstLine = false;

        const char *line = buffer.constData() + start;
        if (isIgnored(line, length - start))
            continue;
        // The text ends at a NUL byte.
        const void *nul = std::memchr(line, '\0', size_t(length - start));
        const int size = nul ? int(static_cast<const char *>(nul) - line) : length - start;
        // pending holds no ";": the last one now is the line's.
        const int before = pending.size();
        pending += QString::fromUtf8(line, size);
        const int inLine = pending.midRef(before).lastIndexOf(QLatin1Char(';'));
        if (inLine < 0)
            continue;
        const int last = before + inLine;
        // Cut at a ";" the pieces are the ones the whole text would give.
        ok = doParseSql(QString::fromRawData(pending.constData(), last + 1), sqlList);
        pending.remove(0, last + 1);
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
    // The pieces between the ";", empty ones left out, taken one after the other.
    const int size = sqlText.size();
    int end = -1;
    for (int start = 0; start <= size; start = end + 1) {
        end = sqlText.indexOf(QLatin1Char(';'), start);
        if (end < 0)
            end = size;
        if (end == start)
            continue;
        const QStringRef sql = sqlText.midRef(start, end - start).trimmed();
        // Made once, for the log line and the statement alike.
        const QString statement = sql.toString();
        if (m_statementLog)
            QuotedText::logDebug("bool ZRSqlParser::doParseSql(const QString&, QStringList&)", "sql:", statement);

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
                // The answers stand while only data changes.
                if (mayChangeSchema(statement, !m_decisions.isEmpty()))
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
    return isIgnored(line.constData(), line.size());
}
