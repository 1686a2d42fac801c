#include "strings/stringtablereader.h"

#include <QFile>
#include <QtEndian>

namespace {

// The file header: language count, strings per language, and the absolute offset of
// each language type's block. All fields are little-endian signed 32-bit integers.
struct stHead
{
    qint32 m_lanCount;
    qint32 m_strCount;
    qint32 m_lanOffset[LAN_TYPE_MAX];
};
static_assert(sizeof(stHead) == 20, "the header is 20 bytes on disk");

void report(const char *message)
{
    std::printf("%s", message);
    std::fflush(stdout);
}

} // namespace

StringTableReader::StringTableReader(int lanType)
    : m_lanType(lanType)
{
}

bool StringTableReader::read(const QString &filePath, std::FILE **file)
{
    if (m_lanType >= LAN_TYPE_MAX) {
        report("m_lanType >= LAN_TYPE_MAX \n");
        return false;
    }
    // A negative type (e.g. the argument "-1") would index in front of the offset table.
    if (m_lanType < 0) {
        report("m_lanType < 0 \n");
        return false;
    }

#ifdef Q_OS_WIN
    *file = _wfopen(reinterpret_cast<const wchar_t *>(filePath.utf16()), L"rb");
#else
    *file = std::fopen(QFile::encodeName(filePath).constData(), "rb");
#endif
    if (!*file) {
        report("NULL == m_pFile \n");
        return false;
    }

    qint64 blockOffset = 0;
    qint32 strCount = 0;
    if (!readHeader(*file, &blockOffset, &strCount))
        return false;

    // Every region is checked against the file's size before anything is allocated or
    // read, so a damaged header can neither ask for gigabytes nor seek before the start.
    if (std::fseek(*file, 0, SEEK_END) != 0) {
        report("GetString fread 2 fail. m_pFile \n");
        return false;
    }
    const qint64 fileSize = std::ftell(*file);
    if (!readIndex(*file, blockOffset, strCount, fileSize))
        return false;
    if (!readData(*file, blockOffset + 4 * (qint64(strCount) + 1), fileSize))
        return false;
    if (!checkLookups(strCount))
        return false;
    m_count = strCount;
    return true;
}

bool StringTableReader::readHeader(std::FILE *file, qint64 *blockOffset, qint32 *strCount)
{
    stHead head;
    if (std::fread(&head, sizeof(head), 1, file) != 1) {
        report("fread fail. m_pFile \n");
        return false;
    }
    const qint32 lanCount = qFromLittleEndian(head.m_lanCount);
    *strCount = qFromLittleEndian(head.m_strCount);
    *blockOffset = qFromLittleEndian(head.m_lanOffset[m_lanType]);
    if (lanCount <= m_lanType) {
        report("stHead.m_lanCount <= m_lanType \n");
        return false;
    }
    if (*strCount < 0) {
        report("stHead.m_strCount < 0 \n");
        return false;
    }
    return true;
}

bool StringTableReader::readIndex(std::FILE *file, qint64 blockOffset, qint32 strCount, qint64 fileSize)
{
    const qint64 indexSize = 4 * (qint64(strCount) + 1);
    if (blockOffset < 0 || fileSize < 0 || blockOffset + indexSize > fileSize) {
        report("GetString index out of file \n");
        return false;
    }

    m_index.reset(static_cast<qint32 *>(std::malloc(size_t(indexSize))));
    if (!m_index)
        return false;
    qint32 *index = m_index.get();
    if (std::fseek(file, long(blockOffset), SEEK_SET) != 0 || std::fread(index, size_t(indexSize), 1, file) != 1) {
        report("GetString fread 2 fail. m_pFile \n");
        return false;
    }
    for (qint32 i = 0; i <= strCount; ++i)
        index[i] = qFromLittleEndian(index[i]);

    m_dataSize = index[strCount];
    return true;
}

bool StringTableReader::readData(std::FILE *file, qint64 dataOffset, qint64 fileSize)
{
    // Reading zero bytes counts as a failed read.
    if (m_dataSize == 0) {
        report("GetString fread 3 fail. m_pFile \n");
        return false;
    }
    if (m_dataSize < 0 || dataOffset + m_dataSize > fileSize) {
        report("GetString data out of file \n");
        return false;
    }

    m_data.reset(static_cast<char *>(std::malloc(size_t(m_dataSize))));
    if (!m_data)
        return false;
    if (std::fseek(file, long(dataOffset), SEEK_SET) != 0
        || std::fread(m_data.get(), size_t(m_dataSize), 1, file) != 1) {
        report("GetString fread 3 fail. m_pFile \n");
        return false;
    }
    return true;
}

bool StringTableReader::checkLookups(qint32 strCount) const
{
    // A lookup reads from its index offset up to the next zero byte: both must lie
    // inside the data, or a damaged file would make it read past the buffer.
    if (m_data.get()[m_dataSize - 1] != '\0') {
        report("GetString data not terminated \n");
        return false;
    }
    const qint32 *index = m_index.get();
    for (qint32 i = 0; i < strCount; ++i) {
        if (index[i] < 0 || index[i] >= m_dataSize) {
            report("GetString index out of data \n");
            return false;
        }
    }
    return true;
}
