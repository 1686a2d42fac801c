#ifndef CONSOLEUPDATER_H
#define CONSOLEUPDATER_H

#include "driver/updatesequence.h"

#include <QString>
#include <QStringList>

#include <memory>

class CVUpdater;
class ConsoleOutput;
class RunReport;
class UpdateLock;

// The updater without a window (corvane-updater-cli), for unattended updates: runs the
// Update button's stages (UpdateSequence) from the package directory, the process's
// current directory, and writes the same log file as the window. "version.ini" is read
// from the current directory too, so one installed copy of the program serves any
// package. --restore needs no package: run elsewhere, it logs into the installation's
// "log" directory.
//
//     corvane-updater-cli [--lang N] [--quiet] [--report FILE] [--wait-for-application SECONDS]
//                         [--check | --restore]
//
// Every text it prints is a ConsoleText, in the language of --lang. The exit status
// tells the outcome (ExitCode); run() never exits the process itself.
class ConsoleUpdater
{
public:
    enum ExitCode {
        ExitSuccess = 0,
        ExitCheckFailed = 1,              // --check: the update would fail
        ExitBadInput = 2,                 // command line, package directory or installation unusable
        ExitVersionRefused = 3,           // nothing to do: the package is not newer than the installation (1513);
                                          // --check too
        ExitInterruptedRestoreFailed = 4, // an earlier run's backup could not be put back
        ExitBackupFailed = 5,             // nothing was changed
        ExitUpdateFailedRestored = 6,     // a step failed; the backup is back in place
        ExitUpdateFailedRestoreFailed = 7,// a step failed and the backup could not be put back
        ExitRestoreFailed = 8,            // --restore failed
        ExitFlagFailed = 9,               // the update flag could not be read or set; nothing was changed
        ExitPackageRefused = 10,          // the checks before the backup refused the package; nothing was changed
        ExitAnotherUpdateRunning = 11,    // another updater works on the installation; nothing was changed
        ExitNotEnoughSpace = 12,          // too little free space for the backup and the package; nothing was changed
        ExitDatabaseInUse = 13,           // the application (another program) holds the database or a
                                          // program file open; nothing was changed
        ExitPackageNotVerified = 14,      // the package's files or signature do not pass; nothing was changed
        ExitDatabaseDamaged = 15,         // the installation's database is damaged; nothing was changed
    };

    ConsoleUpdater();
    ~ConsoleUpdater();
    ConsoleUpdater(const ConsoleUpdater &) = delete;
    ConsoleUpdater &operator=(const ConsoleUpdater &) = delete;

    // arguments as QCoreApplication::arguments() gives them, program name first.
    int run(const QStringList &arguments);

    static int exitCode(UpdateSequence::Outcome outcome);
    static QString stageName(UpdateSequence::Stage stage);
    // A stage's id in the report ("check-version", ...).
    static QString stageId(UpdateSequence::Stage stage);
    // What an exit status means, in the words of the help text.
    static QString exitMeaning(int status);

private:
    enum class Mode { Update, Restore, Check };

    int execute(const QStringList &arguments);
    // The log directory, handler and first line, as the window's start-up makes them.
    void startLog(const QString &logDir);
    // The texts: string.bin beside the program (it holds every text the program
    // prints), else the package's.
    static void loadTexts(int lanType);
    static QString helpText();
    // The package directory and the installation, before anything is changed.
    bool isPackageDir() const;
    bool checkPackageDir();
    bool checkInstallation();
    int runUpdate();
    // Prints and reports what the steps' removal lists removed and kept.
    void reportRemovals();
    // The database a restore of this run kept aside, on the console and in the report.
    void reportKeptDatabase();
    int runRestore();
    int runCheck();
    // Takes the installation's lock for a restore or a check; false (with the message
    // printed) when another updater holds it.
    bool lockInstallation(UpdateLock &lock);
    // A string table text, or the English text when no table is loaded.
    static QString text(int id);
    void badInput(const QString &message);
    // The log file of this run, as an absolute path.
    QString logFileShown() const;
    // Every line of the run reached the log file.
    bool isLogWritten() const;
    // The last line of a failed run: where the details are, or that there is no log.
    QString detailsText() const;

    Mode m_mode = Mode::Update;
    QString m_packageDir;
    // Where the log goes: the package's "log", or the installation's for a restore
    // run outside a package.
    QString m_logDir;
    std::unique_ptr<ConsoleOutput> m_output;
    // The update manager's one instance (CVUpdater::getInstance()), deleted at the end
    // of the run as the window deletes it.
    std::unique_ptr<CVUpdater> m_updater;
    // --wait-for-application: how long an update waits for the programs that hold the
    // installation's files to close.
    int m_waitSeconds = 0;
    // --report: the run's JSON account, written at the end of run().
    QString m_reportPath;
    std::unique_ptr<RunReport> m_report;
};

#endif // CONSOLEUPDATER_H
