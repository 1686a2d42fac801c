#ifndef SEQUENCETYPES_H
#define SEQUENCETYPES_H

#include "driver/updatesequence.h"

#include <QList>
#include <QMetaType>

// The update sequence's stages and outcomes as the data columns of the tests that
// drive it name them.
using Stage = UpdateSequence::Stage;
using Outcome = UpdateSequence::Outcome;
using Stages = QList<UpdateSequence::Stage>;

Q_DECLARE_METATYPE(UpdateSequence::Outcome)
Q_DECLARE_METATYPE(UpdateSequence::Stage)

#endif // SEQUENCETYPES_H
