#include "app/zrpubmethod.h"

#include "updater/installlayout.h"

#include <cstdlib>

ZRPubMethod::ZRPubMethod()
    : m_reservedNames({QStringLiteral("image"), QStringLiteral("log"), QStringLiteral("Updater"),
                       InstallLayout::backupDirName(), InstallLayout::flagFileName(), QStringLiteral("install.log"),
                       // Held by the running updater; copied back by a restore, it would lock the
                       // installation for another process's sake.
                       InstallLayout::lockFileName()})
    // The installation's own folders ("image", "log", ...) are reserved at its top only:
    // a package's "share/mime/image" must be backed up and restored like any folder.
    , m_reservedFileNames({InstallLayout::flagFileName(), QStringLiteral("install.log"), InstallLayout::lockFileName()})
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
