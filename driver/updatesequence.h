#ifndef UPDATESEQUENCE_H
#define UPDATESEQUENCE_H

#include "package/packageverifier.h"
#include "platform/fileholders.h"

#include <QString>
#include <QStringList>

#include <functional>

class CVUpdater;

// The stages behind the Update button, shared by the window and the console driver:
// version check, the checks made before anything is changed (the package, the free
// space, the database not in use), update flag, restore of an interrupted earlier
// update, backup, the version steps, registry and shortcut, and the restore after a failed step.
// The whole run holds the installation's UpdateLock, so a second updater is turned away,
// and from the check before the backup to its end the database (DBControl::hold()), so
// the application cannot commit into a database that a restore may replace.
// Runs synchronously; the update manager logs the reasons of a failure, the caller turns
// the outcome into its message (resultTextId()).
class UpdateSequence
{
public:
    enum class Stage { CheckVersion, CheckPackage, CheckFlag, RestoreInterrupted, Backup, Execute, RegistryAndShortcut, RestoreAfterFailure };
    enum class Outcome {
        Succeeded,
        VersionRefused,
        // The flag file could not be read, or an update found complete but for its flag
        // could not get it; nothing was changed.
        FlagFailed,
        InterruptedRestoreFailed,
        BackupFailed,
        UpdateFailedRestored,
        UpdateFailedRestoreFailed,
        // Another updater works on the installation; nothing was changed.
        AnotherUpdateRunning,
        // The checks before the backup refused the package (refusal() names why); nothing
        // was changed.
        PackageRefused,
        // The installation's file system has less free space than the update needs.
        NotEnoughSpace,
        // Another process (the application) holds the database or a program file of the
        // installation open (holders() names them); nothing was changed.
        DatabaseInUse,
        // The package is not whole, or not signed by a key the installation trusts
        // (refusal() says why); nothing was changed.
        PackageNotVerified,
        // The installation's database failed PRAGMA quick_check (refusal() says how);
        // nothing was changed.
        DatabaseDamaged
    };

    // What a front end hears of a run: the stages as they start and the progress. The
    // sequence writes each stage's log line under the front end's signature.
    class Observer
    {
    public:
        virtual ~Observer();
        // The literal signature of the front end's stage log lines.
        virtual const char *logSignature() const = 0;
        virtual void stageStarted(Stage stage) = 0;
        // The progress shown now, from which the update's increments count.
        virtual int progress() const = 0;
        // The new progress, at most 100.
        virtual void setProgress(int value) = 0;
        // The check before the backup waits for these processes to close (see
        // setWaitForApplication()); heard once per run.
        virtual void waitingForHolders(const QList<FileHolders::Holder> &holders);
    };

    // The updater is not owned and must outlive run().
    explicit UpdateSequence(CVUpdater *updater);

    // Not owned; must outlive run().
    void setObserver(Observer *observer);
    // Called as each stage starts, before it does anything (for callers that watch the
    // stages only).
    void setStageListener(std::function<void(Stage)> listener);
    // How long the check before the backup waits for the programs that hold the database
    // or a program file open to close before it refuses (0, the default: not at all).
    void setWaitForApplication(int seconds);

    // One whole attempt. Each call starts afresh with the version check. An earlier run
    // that stopped after recording its version but before its flag (see
    // CVUpdater::recordedUpdate()) is completed instead of restored; when that run was
    // of this very package, completing it is the success of this one.
    Outcome run();

    // The stage whose failure ended the last run: Execute or RegistryAndShortcut for
    // both UpdateFailed outcomes (the restore after it is told by the outcome).
    // Meaningful only when run() did not succeed.
    Stage failedStage() const;
    // Why the last run was turned away before it changed anything (AnotherUpdateRunning,
    // PackageRefused, NotEnoughSpace, DatabaseInUse, DatabaseDamaged): one line per finding.
    QStringList refusal() const;
    // The processes that held the installation's files when the last run was refused
    // with DatabaseInUse.
    QList<FileHolders::Holder> holders() const { return m_holders; }
    // The last run's check of the package's manifest and signature (empty when the run
    // did not get that far).
    const PackageVerifier::Result &verification() const { return m_verification; }

    // The string table text for an outcome (OutcomeTable::resultTextId()).
    static int resultTextId(Outcome outcome);
    // A progress increment added to what is shown, capped at 100: the one place the cap
    // is made.
    static int addProgress(int current, int increment);
    // The message that a restore kept the database aside (CVUpdater::keptDatabase()),
    // with how to get its work back: string table text 1340.
    static QString keptDatabaseText(const QString &database, const QString &kept);
    // The message for another updater holding the installation's lock.
    static QString anotherUpdateText(const QString &installPath, const QString &holder);

private:
    void enter(Stage stage);
    Outcome fail(Stage stage, Outcome outcome);
    Outcome refuse(Stage stage, Outcome outcome, const QStringList &reasons);
    // After a failed step: puts the backup back over what the step left.
    Outcome restoreAfter(Stage failed);
    // The checks before the backup; Succeeded when the update may go on.
    Outcome checkBeforeBackup();
    // Waits (up to --wait-for-application) for the processes that hold the database or a
    // program file open; DatabaseInUse naming them when they stay.
    Outcome waitForApplication();
    Outcome runLocked();
    // Holds the database from the check to the end of the run (DBControl::hold()).
    Outcome holdDatabase();
    QString heldText(const QString &reason) const;

    CVUpdater *m_updater;
    Observer *m_observer = nullptr;
    std::function<void(Stage)> m_listener;
    Stage m_failedStage = Stage::CheckVersion;
    QStringList m_refusal;
    int m_waitSeconds = 0;
    QList<FileHolders::Holder> m_holders;
    bool m_databaseHeld = false;
    PackageVerifier::Result m_verification;
};

#endif // UPDATESEQUENCE_H
