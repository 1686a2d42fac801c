#include "context/zrpubmethod.h"

#include "fileutil/treebackup.h"
#include "layout/installlayout.h"

#include <cstdlib>

ZRPubMethod::ZRPubMethod()
    : m_reservedNames(InstallLayout::reservedTopNames())
{
}

ZRPubMethod::~ZRPubMethod()
{
    releaseStringTable();
}

ZRPubMethod *ZRPubMethod::getInstance()
{
    // Created on first use, possibly before the application object exists (the entry
    // stores the language argument here first); lives until the process exits.
    static ZRPubMethod instance;
    return &instance;
}

void ZRPubMethod::setLanType(int lanType)
{
    m_lanType = lanType;
}

int ZRPubMethod::getLanType() const
{
    return m_lanType;
}

void ZRPubMethod::releaseStringTable()
{
    m_stringCache.clear();
    m_strCount = 0;
    if (m_pFile) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
    std::free(m_strIndex);
    m_strIndex = nullptr;
    std::free(m_strBuf);
    m_strBuf = nullptr;
}

bool ZRPubMethod::copyDir(QDir source, QDir target, bool overwrite, qint64 sourceUnchangedBefore)
{
    return TreeBackup().copy(source.path(), target.path(), overwrite, sourceUnchangedBefore);
}

bool ZRPubMethod::restoreDir(QDir backup, QDir target, qint64 unchangedBefore)
{
    return TreeBackup().restore(backup.path(), target.path(), unchangedBefore);
}
