#ifndef UPDATECOMMAND_H
#define UPDATECOMMAND_H

#include "driver/updatesequence.h"

#include <QString>

class ConsoleRun;

// corvane-updater-cli without --check or --restore: the Update button's stages
// (UpdateSequence) with their names and progress on the console, the result text, and
// why a failed update failed.
class UpdateCommand
{
public:
    // The run's installation is open (ConsoleRun::openInPackage()).
    explicit UpdateCommand(ConsoleRun &run);

    // The exit status (OutcomeTable).
    int run();

private:
    void announce();
    // Prints and reports what the steps' removal lists removed and kept.
    void reportRemovals();
    void recordOutcome(const UpdateSequence &sequence, UpdateSequence::Outcome outcome, const QString &resultText);
    void printSuccess();
    void printFailure(const UpdateSequence &sequence, UpdateSequence::Outcome outcome);
    void printVersionRefused();

    ConsoleRun &m_run;
    QString m_oldVersion;
    QString m_newVersion;
};

#endif // UPDATECOMMAND_H
