#ifndef STRINGTABLEREADER_H
#define STRINGTABLEREADER_H

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <memory>

// The number of language types: 0 Simplified Chinese, 1 English, 2 Spanish.
constexpr int LAN_TYPE_MAX = 3;
// The highest identifier a text can have; getString() answers "unkown" above it.
constexpr int STRING_ID_MAX = 1519;

// Reads one language block of a string table file ("string.bin"): the header, the
// block's index and its string data, each checked against the file's size, and every
// index entry checked to point inside the data. Failures are printed on standard output
// only (the table loads before anything could show a message, and a missing table must
// not stop the program).
class StringTableReader
{
public:
    explicit StringTableReader(int lanType);

    // Opens filePath into *file (the caller's handle: it closes it) and reads the block
    // of the language type. False after its message on any failure.
    bool read(const QString &filePath, std::FILE **file);

    // After a successful read: the number of strings, and the index (count + 1
    // entries, the last the data size) and data, both allocated with the C allocator
    // and handed over to the caller, who frees them with std::free.
    int count() const { return m_count; }
    qint32 *takeIndex() { return m_index.release(); }
    char *takeData() { return m_data.release(); }

private:
    struct FreeDeleter
    {
        void operator()(void *p) const { std::free(p); }
    };

    bool readHeader(std::FILE *file, qint64 *blockOffset, qint32 *strCount);
    bool readIndex(std::FILE *file, qint64 blockOffset, qint32 strCount, qint64 fileSize);
    bool readData(std::FILE *file, qint64 dataOffset, qint64 fileSize);
    bool checkLookups(qint32 strCount) const;

    int m_lanType;
    int m_count = 0;
    qint64 m_dataSize = 0;
    std::unique_ptr<qint32, FreeDeleter> m_index;
    std::unique_ptr<char, FreeDeleter> m_data;
};

#endif // STRINGTABLEREADER_H
