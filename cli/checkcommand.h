#ifndef CHECKCOMMAND_H
#define CHECKCOMMAND_H

#include <memory>

class ConsoleRun;
class PackageCheck;
class UpdateLock;

// corvane-updater-cli --check: the dry run (PackageCheck) with each finding printed,
// changing nothing anywhere, not even a log.
class CheckCommand
{
public:
    explicit CheckCommand(ConsoleRun &run);
    ~CheckCommand();
    CheckCommand(const CheckCommand &) = delete;
    CheckCommand &operator=(const CheckCommand &) = delete;

    // The exit status (OutcomeTable).
    int run();

private:
    // The installation, when version.ini may be handed to the update manager, and its
    // lock; the exit status when the check cannot go on, else -1.
    int open();
    // Prints and reports each finding as it is made.
    void listen(PackageCheck &check);
    // The last line and the exit status.
    int conclude(const PackageCheck &check);

    ConsoleRun &m_run;
    // Read-only, but what the check reads must not change under it.
    std::unique_ptr<UpdateLock> m_lock;
};

#endif // CHECKCOMMAND_H
