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

} // namespace

template <typename... Values>
void ZRSqlParser::fail(const char *message, const Values &...values)
{
    m_errorString = debugText(message, values...);
    qDebug().noquote() << m_errorString;
}

bool ZRSqlParser::parseSqlFile(const QString &path, QStringList &sqlList)
{
    m_errorString.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        fail("file open failed:", path);
        return false;
    }
    return parseSqlDevice(file, sqlList);
}

bool ZRSqlParser::parseSqlDevice(QIODevice &device, QStringList &sqlList)
{
    m_errorString.clear();
    QString sqlText;
    bool firstLine = true;
    int emptyReads = 0;
    while (!device.atEnd()) {
        // Whole lines: a piece of a long line judged on its own could look like a
        // comment or a blank line and silently take part of a statement with it.
        QByteArray line = device.readLine();
        if (line.isEmpty()) {
            fail("read null line");
            if (++emptyReads >= kMaxEmptyReads)
                return false;
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
        sqlText += QString::fromUtf8(line.constData(), nul < 0 ? line.size() : nul);
    }
    return doParseSql(sqlText, sqlList);
}

bool ZRSqlParser::doParseSql(const QString &sqlText, QStringList &sqlList)
{
    const QVector<QStringRef> pieces = sqlText.splitRef(QLatin1Char(';'), Qt::SkipEmptyParts);
    // Scripts repeat the same guards (a cumulative script re-checks the columns of
    // every earlier release), and nothing changes the database while a script is
    // parsed: each distinct directive is asked once.
    m_errorString.clear();
    QHash<QStringRef, int> decisions;
    bool skipNext = false;
    for (const QStringRef &piece : pieces) {
        const QStringRef sql = piece.trimmed();
        // The statement text is only built when debug output is on.
        ZR_LOG_DEBUG("bool ZRSqlParser::doParseSql(const QString&, QStringList&)")
            << "sql:" << sql.toString();

        if (sql.isEmpty())
            continue;
        if (sql.startsWith(QLatin1String("IFN_COL"))) {
            auto known = decisions.constFind(sql);
            if (known == decisions.cend()) {
                const int keep = parseIfnCol(sql.toString());
                if (keep == -1)
                    return false;
                known = decisions.insert(sql, keep);
            }
            skipNext = (known.value() == 0);
            continue;
        }
        if (!skipNext)
            sqlList.append(sql.toString());
        skipNext = false;
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
