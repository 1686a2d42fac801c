#ifndef RESTORECOMMAND_H
#define RESTORECOMMAND_H

class ConsoleRun;

// corvane-updater-cli --restore: puts the backup of the last update back, from the
// package directory or, outside a package, with the log in the installation's "log".
class RestoreCommand
{
public:
    explicit RestoreCommand(ConsoleRun &run);

    // In the package directory, whose installation is open (ConsoleRun::openInPackage()).
    // The exit status (OutcomeTable).
    int run();
    // Anywhere else: finds the installation through its uninstall key first.
    int runOutsidePackage();

private:
    ConsoleRun &m_run;
};

#endif // RESTORECOMMAND_H
