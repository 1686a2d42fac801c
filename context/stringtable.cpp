#include "context/stringtable.h"

#include "context/zrpubmethod.h"
#include "strings/stringtablereader.h"

#include <QObject>

#include <cstdio>

namespace {

const char kStringTableFile[] = "string.bin";

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
    StringTableReader reader(m_lanType);
    if (!reader.read(filePath, &m_pFile))
        return false;
    m_strIndex = reader.takeIndex();
    m_strBuf = reader.takeData();
    *stringCount = reader.count();
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
