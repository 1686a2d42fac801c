#include "strings/stringtablecompiler.h"

#include "strings/stringtablereader.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextCodec>
#include <QtEndian>

namespace {

void appendInt32(QByteArray *out, qint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    out->append(bytes, 4);
}

} // namespace

bool StringTableCompiler::fail(const QString &message)
{
    m_errorString = m_lineNumber > 0 ? QStringLiteral("%1:%2: %3").arg(m_sourceName).arg(m_lineNumber).arg(message)
                                     : QStringLiteral("%1: %2").arg(m_sourceName, message);
    return false;
}

bool StringTableCompiler::unescape(const QString &cell, QString *text)
{
    text->clear();
    text->reserve(cell.size());
    for (int i = 0; i < cell.size(); ++i) {
        const QChar c = cell.at(i);
        if (c == QChar(0))
            return fail(QStringLiteral("a text contains a zero character, which ends a text in the table"));
        if (c != QLatin1Char('\\')) {
            text->append(c);
            continue;
        }
        if (i + 1 == cell.size())
            return fail(QStringLiteral("a text ends in a single backslash (use \\\\ for a backslash)"));
        const QChar next = cell.at(i + 1);
        if (next == QLatin1Char('n'))
            text->append(QLatin1Char('\n'));
        else if (next == QLatin1Char('t'))
            text->append(QLatin1Char('\t'));
        else if (next == QLatin1Char('\\'))
            text->append(QLatin1Char('\\'));
        else
            return fail(QStringLiteral("unknown escape \"\\%1\" (use \\n, \\t or \\\\)").arg(next));
        ++i;
    }
    return true;
}

bool StringTableCompiler::parse(const QByteArray &source, const QString &sourceName)
{
    m_sourceName = sourceName;
    m_lineNumber = 0;
    m_lanCount = 0;
    m_languageNames.clear();
    m_texts.clear();
    m_errorString.clear();

    QTextCodec::ConverterState state;
    const QString decoded = QTextCodec::codecForName("UTF-8")->toUnicode(source.constData(), source.size(), &state);
    if (state.invalidChars > 0 || state.remainingChars > 0)
        return fail(QStringLiteral("not valid UTF-8"));

    const QStringList lines = decoded.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        m_lineNumber = i + 1;
        QString line = lines.at(i);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (i == 0 && line.startsWith(QChar(0xfeff)))
            line.remove(0, 1);
        if (line.trimmed().isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;

        const QStringList cells = line.split(QLatin1Char('\t'));
        if (m_lanCount == 0) {
            if (cells.first() != QLatin1String("id"))
                return fail(QStringLiteral("the header must begin with the column \"id\""));
            m_languageNames = cells.mid(1);
            m_lanCount = m_languageNames.size();
            if (m_lanCount < 1 || m_lanCount > LAN_TYPE_MAX)
                return fail(QStringLiteral("the header names %1 languages; 1 to %2 are possible")
                                .arg(m_lanCount).arg(LAN_TYPE_MAX));
            continue;
        }

        bool ok = false;
        const QString idCell = cells.first().trimmed();
        const int id = idCell.toInt(&ok, 10);
        if (!ok || idCell.startsWith(QLatin1Char('+')) || idCell.startsWith(QLatin1Char('-')) || id > STRING_ID_MAX)
            return fail(QStringLiteral("\"%1\" is not an identifier from 0 to %2").arg(idCell).arg(STRING_ID_MAX));
        if (m_texts.contains(id))
            return fail(QStringLiteral("identifier %1 appears twice").arg(id));
        if (cells.size() - 1 > m_lanCount)
            return fail(QStringLiteral("identifier %1 has %2 texts, but the header names %3 languages")
                            .arg(id).arg(cells.size() - 1).arg(m_lanCount));

        QStringList texts;
        for (int lan = 0; lan < m_lanCount; ++lan) {
            QString text;
            if (lan + 1 < cells.size() && !unescape(cells.at(lan + 1), &text))
                return false;
            texts.append(text);
        }
        m_texts.insert(id, texts);
    }

    m_lineNumber = 0;
    if (m_lanCount == 0)
        return fail(QStringLiteral("no header row (\"id\" and one column per language)"));
    return true;
}

bool StringTableCompiler::readSource(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_lineNumber = 0;
        m_sourceName = path;
        return fail(file.errorString());
    }
    return parse(file.readAll(), QFileInfo(path).fileName());
}

int StringTableCompiler::stringCount() const
{
    return m_texts.isEmpty() ? 0 : m_texts.lastKey() + 1;
}

QString StringTableCompiler::text(int lanType, int id) const
{
    if (lanType < 0 || lanType >= m_lanCount)
        return QString();
    return m_texts.value(id).value(lanType);
}

QByteArray StringTableCompiler::toBinary() const
{
    const int count = stringCount();
    const int headerSize = 4 * (2 + LAN_TYPE_MAX);

    QList<QByteArray> blocks;
    for (int lan = 0; lan < m_lanCount; ++lan) {
        // Offset 0 holds the empty string that every identifier without a text shares.
        QByteArray data(1, '\0');
        QMap<QByteArray, qint32> stored;
        QByteArray index;
        for (int id = 0; id < count; ++id) {
            const QByteArray utf8 = text(lan, id).toUtf8();
            qint32 offset = 0;
            if (!utf8.isEmpty()) {
                const auto known = stored.constFind(utf8);
                if (known != stored.constEnd()) {
                    offset = known.value();
                } else {
                    offset = data.size();
                    stored.insert(utf8, offset);
                    data.append(utf8).append('\0');
                }
            }
            appendInt32(&index, offset);
        }
        appendInt32(&index, data.size());
        blocks.append(index + data);
    }

    QByteArray out;
    appendInt32(&out, m_lanCount);
    appendInt32(&out, count);
    qint32 offset = headerSize;
    for (int lan = 0; lan < LAN_TYPE_MAX; ++lan) {
        appendInt32(&out, lan < blocks.size() ? offset : 0);
        if (lan < blocks.size())
            offset += blocks.at(lan).size();
    }
    for (const QByteArray &block : qAsConst(blocks))
        out.append(block);
    return out;
}

bool StringTableCompiler::writeBinary(const QString &path)
{
    m_lineNumber = 0;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        m_sourceName = path;
        return fail(file.errorString());
    }
    file.write(toBinary());
    if (!file.commit()) {
        m_sourceName = path;
        return fail(file.errorString());
    }
    return true;
}

bool StringTableCompiler::compile(const QString &sourcePath, const QString &outputPath)
{
    return readSource(sourcePath) && writeBinary(outputPath);
}
