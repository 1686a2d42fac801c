#ifndef STRINGTABLECOMPILER_H
#define STRINGTABLECOMPILER_H

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// Compiles the UTF-8 source of the user-interface texts into "string.bin", the binary
// table that ZRPubMethod::loadStringTable() reads.
//
// Source format (tab-separated, one row per identifier):
//
//     # comment lines and blank lines are skipped
//     id   zh-Hans   en      es
//     10   确定       OK      Aceptar
//
// The first row that is not a comment is the header: "id", then one column name per
// language type in the order of the types (1 to 3 columns). Every further row is an
// identifier from 0 to 1519 (STRING_ID_MAX) followed by its texts, one cell per language type; a
// missing or empty cell means "no text" and the identifier shows an empty string.
// In texts, "\n" stands for a line feed, "\t" for a tab and "\\" for a backslash.
// A byte-order mark and Windows line ends are accepted.
//
// In the output every identifier without a text points at one shared empty string,
// and identical texts of one language are stored once.
class StringTableCompiler
{
public:
    // Reads a source; false with errorString() set ("name:line: what") on any fault.
    bool parse(const QByteArray &source, const QString &sourceName = QStringLiteral("<source>"));
    bool readSource(const QString &path);

    // The table in the binary format: header, then one block per language type.
    QByteArray toBinary() const;
    // Replaces the file atomically, so a failed build never leaves half a table.
    bool writeBinary(const QString &path);

    // readSource() then writeBinary().
    bool compile(const QString &sourcePath, const QString &outputPath);

    int languageCount() const { return m_lanCount; }
    // Strings per language block: the highest identifier plus one.
    int stringCount() const;
    QString text(int lanType, int id) const;

    QString errorString() const { return m_errorString; }

private:
    bool fail(const QString &message);
    bool unescape(const QString &cell, QString *text);

    QString m_sourceName;
    int m_lineNumber = 0;
    int m_lanCount = 0;
    QStringList m_languageNames;
    QMap<int, QStringList> m_texts;
    QString m_errorString;
};

#endif // STRINGTABLECOMPILER_H
