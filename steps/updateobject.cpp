#include "steps/updateobject.h"

UpdateObject::UpdateObject(QObject *parent)
    : QObject(parent)
{
}

UpdateObject::~UpdateObject() = default;

bool UpdateObject::execUpdate(const QStringList &updateList)
{
    Q_UNUSED(updateList)
    return true;
}

bool UpdateObject::isAvailable()
{
    return true;
}

QString UpdateObject::makeStepName(const QString &from, const QString &to) const
{
    return QStringLiteral("%1_to_%2").arg(from, to);
}
