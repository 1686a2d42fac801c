#ifndef ZRPUBMETHOD_H
#define ZRPUBMETHOD_H

#include "strings/stringtablereader.h"

#include <QDir>
#include <QMap>
#include <QStringList>

#include <cstdio>

// The application-wide object: the language type chosen at start-up, the loaded
// string table and the names that the directory copy never copies.
class ZRPubMethod
{
public:
    static ZRPubMethod *getInstance();

    void setLanType(int lanType);
    int getLanType() const;

    // Loads the block of the current language type from "string.bin" in the current
    // directory; success shows only in stringCount(). Loading again replaces the table.
    void loadStringTable();
    // The same from another file ("string.bin" beside the console program).
    void loadStringTable(const QString &filePath);
    int stringCount() const { return m_strCount; }

    // Copies a tree file by file, links as links, leaving out what InstallLayout::isReserved()
    // names. Stops at the first failure. Over an earlier copy (the backup), only what changed
    // is copied again (TreeBackup::copy()); the log lines keep the three-argument signature.
    bool copyDir(QDir source, QDir target, bool overwrite, qint64 sourceUnchangedBefore = -1);
    // Puts a copy made by copyDir() back: replaces what differs from it, leaves what is
    // the same, and goes on past what it cannot replace, naming each in the log. True
    // when the target holds everything of the backup again. A file of the backup's size
    // whose change time lies before unchangedBefore (ChangeStamp's clock; -1 for none)
    // is taken as the same without reading it.
    bool restoreDir(QDir backup, QDir target, qint64 unchangedBefore);

    // The reserved names of the installation's top (InstallLayout::reservedTopNames());
    // the copies ask InstallLayout::isReserved(), the one rule.
    const QStringList &reservedNames() const { return m_reservedNames; }

private:
    ZRPubMethod();
    ~ZRPubMethod();
    Q_DISABLE_COPY(ZRPubMethod)

    // Reads the selected language block into m_strIndex/m_strBuf (StringTableReader
    // checks that every lookup stays inside them); false (after its message) on any failure.
    bool readStringTable(const QString &filePath, int *stringCount);
    void releaseStringTable();

    // The lookup reads the table and fills the cache (context/stringtable.cpp).
    friend QString getString(int id);

    QMap<int, const char *> m_stringCache;
    FILE *m_pFile = nullptr;
    qint32 *m_strIndex = nullptr;
    char *m_strBuf = nullptr;
    int m_strCount = 0;
    int m_lanType = 1;
    QStringList m_reservedNames;
};

#endif // ZRPUBMETHOD_H
