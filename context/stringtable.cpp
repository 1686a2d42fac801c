#include "context/stringtable.h"

#include "context/zrpubmethod.h"

#include <QFile>
#include <QObject>
#include <QtEndian>

#include <cstdio>
#include <cstdlib>

namespace {

const char kStringTableFile[] = "string.bin";

// The file header: language count, strings per language, and the absolute offset of
// each language type's block. All fields are little-endian signed 32-bit integers.
struct stHead
{
    qint32 m_lanCount;
    qint32 m_strCount;
    qint32 m_lanOffset[LAN_TYPE_MAX];
};
static_assert(sizeof(stHead) == 20, "the header is 20 bytes on disk");

// The loader reports on standard output only: it runs before anything else could show
// a message, and a missing table must not stop the program.
void report(const char *message)
{
    std::printf("%s", message);
    std::fflush(stdout);
}

} // namespace

void ZRPubMethod::loadStringTable()
{
    loadStringTable(QString::fromLatin1(kStringTableFile));
}

void ZRPubMethod::loadStringTable(const QString &filePath)
{
    // A second load must not leave cache entries pointing into the freed buffer.
    releaseStringTable();

    int count = 0;
    const bool ok = readStringTable(filePath, &count);
    if (m_pFile) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
    if (!ok) {
        releaseStringTable();
        return;
    }
    m_strCount = count;
}

bool ZRPubMethod::readStringTable(const QString &filePath, int *stringCount)
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
    m_pFile = _wfopen(reinterpret_cast<const wchar_t *>(filePath.utf16()), L"rb");
#else
    m_pFile = std::fopen(QFile::encodeName(filePath).constData(), "rb");
#endif
    if (!m_pFile) {
        report("NULL == m_pFile \n");
        return false;
    }

    stHead head;
    if (std::fread(&head, sizeof(head), 1, m_pFile) != 1) {
        report("fread fail. m_pFile \n");
        return false;
    }
    const qint32 lanCount = qFromLittleEndian(head.m_lanCount);
    const qint32 strCount = qFromLittleEndian(head.m_strCount);
    const qint64 blockOffset = qFromLittleEndian(head.m_lanOffset[m_lanType]);
    if (lanCount <= m_lanType) {
        report("stHead.m_lanCount <= m_lanType \n");
        return false;
    }
    if (strCount < 0) {
        report("stHead.m_strCount < 0 \n");
        return false;
    }

    // Every region is checked against the file's size before anything is allocated or
    // read, so a damaged header can neither ask for gigabytes nor seek before the start.
    if (std::fseek(m_pFile, 0, SEEK_END) != 0) {
        report("GetString fread 2 fail. m_pFile \n");
        return false;
    }
    const qint64 fileSize = std::ftell(m_pFile);
    const qint64 indexSize = 4 * (qint64(strCount) + 1);
    if (blockOffset < 0 || fileSize < 0 || blockOffset + indexSize > fileSize) {
        report("GetString index out of file \n");
        return false;
    }

    m_strIndex = static_cast<qint32 *>(std::malloc(size_t(indexSize)));
    if (!m_strIndex)
        return false;
    if (std::fseek(m_pFile, long(blockOffset), SEEK_SET) != 0
        || std::fread(m_strIndex, size_t(indexSize), 1, m_pFile) != 1) {
        report("GetString fread 2 fail. m_pFile \n");
        return false;
    }
    for (qint32 i = 0; i <= strCount; ++i)
        m_strIndex[i] = qFromLittleEndian(m_strIndex[i]);

    const qint64 dataSize = m_strIndex[strCount];
    // Reading zero bytes counts as a failed read.
    if (dataSize == 0) {
        report("GetString fread 3 fail. m_pFile \n");
        return false;
    }
    if (dataSize < 0 || blockOffset + indexSize + dataSize > fileSize) {
        report("GetString data out of file \n");
        return false;
    }

    m_strBuf = static_cast<char *>(std::malloc(size_t(dataSize)));
    if (!m_strBuf)
        return false;
    if (std::fseek(m_pFile, long(blockOffset + indexSize), SEEK_SET) != 0
        || std::fread(m_strBuf, size_t(dataSize), 1, m_pFile) != 1) {
        report("GetString fread 3 fail. m_pFile \n");
        return false;
    }

    // A lookup reads from its index offset up to the next zero byte: both must lie
    // inside the data, or a damaged file would make it read past the buffer.
    if (m_strBuf[dataSize - 1] != '\0') {
        report("GetString data not terminated \n");
        return false;
    }
    for (qint32 i = 0; i < strCount; ++i) {
        if (m_strIndex[i] < 0 || m_strIndex[i] >= dataSize) {
            report("GetString index out of data \n");
            return false;
        }
    }

    *stringCount = strCount;
    return true;
}

QString getString(int id)
{
    if (id < 0 || id > STRING_ID_MAX)
        return QStringLiteral("unkown");

    ZRPubMethod *context = ZRPubMethod::getInstance();
    const auto cached = context->m_stringCache.constFind(id);
    if (cached != context->m_stringCache.constEnd())
        return QObject::tr(cached.value());
    if (id >= context->m_strCount)
        return QString();

    // No translator is installed, so the translation is the text decoded as UTF-8.
    const char *text = context->m_strBuf + context->m_strIndex[id];
    context->m_stringCache.insert(id, text);
    return QObject::tr(text);
}
