#ifndef OUTCOMETABLE_H
#define OUTCOMETABLE_H

#include "driver/updatesequence.h"

#include <QString>
#include <QVector>

// The outcomes of a run and the exit status of each: the one place that says what a
// status means. The console program's exit status, its --help rows and the report's
// "exitMeaning" come from here, and so does the result text the window and the console
// show for an update's outcome; a test holds the README's table to it.
class OutcomeTable
{
public:
    enum Status {
        Success = 0,
        CheckFailed = 1,                // --check: the update would fail
        BadInput = 2,                   // command line, package directory or installation unusable
        NothingToDo = 3,                // the package is not newer than the installation (also --check)
        InterruptedRestoreFailed = 4,   // an earlier run's backup could not be put back
        BackupFailed = 5,
        UpdateFailedRestored = 6,
        UpdateFailedRestoreFailed = 7,
        RestoreFailed = 8,              // --restore
        FlagFailed = 9,
        PackageRefused = 10,
        AnotherUpdateRunning = 11,
        NotEnoughSpace = 12,
        DatabaseInUse = 13,
        PackageNotVerified = 14,
        DatabaseDamaged = 15,
    };

    struct Row
    {
        Status status;
        // The update's outcome that ends with this status (none for the statuses only the
        // command line, --check and --restore give).
        bool hasOutcome;
        UpdateSequence::Outcome outcome;
        // The string table text the update shows for that outcome, -1 without one.
        int resultTextId;
        // The --help row, in the loaded language.
        QString help;
        // The report's "exitMeaning": English in every language, for roll-out tools.
        QString meaning;
    };

    // Every status, in order from 0.
    static QVector<Row> rows();

    static Status status(UpdateSequence::Outcome outcome);
    // The string table text for an outcome: 1515 success, 1513 nothing to do, 1514 for
    // every other failure.
    static int resultTextId(UpdateSequence::Outcome outcome);
    // The report's meaning of a status; empty for a status that is none of ours.
    static QString meaning(int status);
};

#endif // OUTCOMETABLE_H
