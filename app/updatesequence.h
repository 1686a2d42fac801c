#ifndef UPDATESEQUENCE_H
#define UPDATESEQUENCE_H

#include <functional>

class CVUpdater;

// The stages behind the Update button, shared by the window and the console driver:
// version check, update flag, restore of an interrupted earlier update, backup, the
// version steps, registry and shortcut, and the restore after a failed step. Runs
// synchronously; the update manager logs the reasons of a failure, the caller turns
// the outcome into its message (resultTextId()).
class UpdateSequence
{
public:
    enum class Stage { CheckVersion, CheckFlag, RestoreInterrupted, Backup, Execute, RegistryAndShortcut, RestoreAfterFailure };
    enum class Outcome {
        Succeeded,
        VersionRefused,
        // The flag file could not be read, or an update found complete but for its flag
        // could not get it; nothing was changed.
        FlagFailed,
        InterruptedRestoreFailed,
        BackupFailed,
        UpdateFailedRestored,
        UpdateFailedRestoreFailed
    };

    // The updater is not owned and must outlive run().
    explicit UpdateSequence(CVUpdater *updater);

    // Called as each stage starts, before it does anything.
    void setStageListener(std::function<void(Stage)> listener);

    // One whole attempt. Each call starts afresh with the version check. An earlier run
    // that stopped after recording its version but before its flag (see
    // CVUpdater::recordedUpdate()) is completed instead of restored; when that run was
    // of this very package, completing it is the success of this one.
    Outcome run();

    // The stage whose failure ended the last run: Execute or RegistryAndShortcut for
    // both UpdateFailed outcomes (the restore after it is told by the outcome).
    // Meaningful only when run() did not succeed.
    Stage failedStage() const;

    // The string table text for an outcome: 1513 version refused, 1515 success, 1514
    // for every other failure.
    static int resultTextId(Outcome outcome);

private:
    void enter(Stage stage);
    Outcome fail(Stage stage, Outcome outcome);
    // After a failed step: puts the backup back over what the step left.
    Outcome restoreAfter(Stage failed);

    CVUpdater *m_updater;
    std::function<void(Stage)> m_listener;
    Stage m_failedStage = Stage::CheckVersion;
};

#endif // UPDATESEQUENCE_H
