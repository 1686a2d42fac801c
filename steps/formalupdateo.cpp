#include "steps/formalupdateo.h"

FormalUpdateO::FormalUpdateO(QObject *parent)
    : UpdateObject(parent)
    , m_stepProgress(0)
{
}

FormalUpdateO::~FormalUpdateO() = default;

bool FormalUpdateO::execUpdate(const QStringList &updateList)
{
    // Replaced by the step sequence; until then, the base behaviour.
    return UpdateObject::execUpdate(updateList);
}
