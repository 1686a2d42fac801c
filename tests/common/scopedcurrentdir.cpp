#include "common/scopedcurrentdir.h"

#include <QDir>

ScopedCurrentDir::ScopedCurrentDir(const QString &path)
    : m_previous(QDir::currentPath())
{
    QDir::setCurrent(path);
}

ScopedCurrentDir::~ScopedCurrentDir()
{
    QDir::setCurrent(m_previous);
}
