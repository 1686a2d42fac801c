#ifndef PATHLISTTEXT_H
#define PATHLISTTEXT_H

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>

// What a package's two path lists, the manifest and a step's removal list, share: UTF-8
// lines ending in line feeds, a header line, then one line per path, sorted by the path's
// UTF-8 bytes. No path repeats another in any letter case, lies below a listed file, or
// is a file where another path needs a directory. Each list reads the fields of its own
// lines and words its own refusals.
class PathListText
{
public:
    struct Line
    {
        QString path;
        bool directory = false;
        qint64 size = 0;   // files only
        QByteArray sha256; // files only, 32 bytes
    };
    // Reads the fields of one line after the header into *line and the path's bytes
    // into *pathBytes; returns why the line is malformed, or an empty string.
    using LineReader = std::function<QString(const QByteArray &text, Line *line, QByteArray *pathBytes)>;
    // Why a decoded path may not stand in the list, or an empty string.
    using PathRule = std::function<QString(const QString &path)>;

    // The list's own wording of what is shared.
    struct Form
    {
        const char *header;
        int maxEntries;
        qint64 maxTextBytes;
        QString tooLarge;          // the text is larger than maxTextBytes
        QString noFinalLineFeed;
        QString carriageReturnOrNul;
        QString lineError;         // "%1": the line's number, "%2": why
        QString wrongHeader;
    };

    // The lines after the header, or false with *error set.
    static bool parse(const QByteArray &text, const Form &form, const LineReader &readLine, const PathRule &rule,
                      QVector<Line> *lines, QString *error);
    // "<sha-256, 64 lower-case hex digits> <size, decimal> <path>" from offset from on:
    // why not (expected: the line's form, for a line without those fields), or empty.
    static QString readFileFields(const QByteArray &text, int from, qint64 maxSize, const QString &expected,
                                  Line *line, QByteArray *pathBytes);
    // At most maxBytes + 1 bytes of the file, so that a longer one shows as too large.
    static bool readFile(const QString &filePath, qint64 maxBytes, QByteArray *text, QString *error);
    // The order of the lists: by the paths' UTF-8 bytes.
    static bool isBefore(const QString &a, const QString &b) { return a.toUtf8() < b.toUtf8(); }

private:
    PathListText() = delete;
};

#endif // PATHLISTTEXT_H
