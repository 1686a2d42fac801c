#ifndef STEPPLAN_H
#define STEPPLAN_H

#include <QList>
#include <QString>
#include <QStringList>

// What the version steps do to an installation, worked out once from the package and
// the installation before anything is changed. The update object runs it
// (FormalUpdateO) and the package check judges it (PackageCheck), entry by entry, so the
// two cannot disagree on what a step copies, merges, removes or runs.
//
// A present step holds, in the order they run: its removal list (when it has one), the
// package's common tree, its own common tree (when it has one), its config directory
// (when it has one: the directory, then each of its files in listing order) and its SQL
// script (always: the database step decides that a step without one changes nothing).
// What the package holds is judged here; what the installation holds when an entry
// runs is judged by the entry's operation then (an INI file is merged into an installed
// one, or copied when there is none).
class StepPlan
{
public:
    enum class Action {
        Remove,            // source: the step's "remove.list"; target: the installation root
        CopyPackageCommon, // a tree; source: the package's "common"; target: the installation root
        CopyStepCommon,    // a tree; source: the step's "common"; target: the installation root
        Config,            // source: the step's "config"; target: the installation's "config"
        ReplaceConfig,     // a config entry that is no INI file: replaces the installed one
        MergeConfig,       // an INI file: merged key by key into the installed one, or copied
        RunScript,         // source: the step's "sql/dbupdate.sql", maybe absent; target: the database
    };
    struct Entry
    {
        Action action;
        QString source;
        QString target;
    };
    struct Step
    {
        QString name;
        QString dir;          // the step's directory in the package, with a trailing "/"
        bool present = false; // a missing directory fails the step before it changes anything
        QList<Entry> entries;
    };

    StepPlan() = default;
    // packageRoot and installDir end in "/" ("./application/", "<installation>/").
    static StepPlan make(const QString &packageRoot, const QString &installDir, const QStringList &steps);
    // The file entries of one config directory: its direct entries but "." and "..", in
    // the default listing's order, directories included (they cannot be copied, and fail).
    static QList<Entry> configFiles(const QString &sourceDir, const QString &targetDir);

    const QList<Step> &steps() const { return m_steps; }
    // The step of that name, or null when the plan has none.
    const Step *step(const QString &name) const;
    // Copied at the start of every step, and alone for an empty list of steps.
    Entry packageCommon() const;
    // The planned files of the config directory sourceDir; listed now when no step of
    // the plan has it.
    QList<Entry> configFilesOf(const QString &sourceDir, const QString &targetDir) const;

    // Every installed path an entry writes or removes: the files a tree copies (walked as
    // the copy walks it) and the directories it makes, the config files (with the ".bak"
    // a merge leaves), what the removal lists would remove, and the database when a
    // script exists. Sorted, each once.
    QStringList touchedPaths() const;
    // The installed files that entries other than the scripts replace or may remove (all
    // the files a removal list names): another program holding one open makes the step
    // fail on Windows.
    QStringList replacedFiles() const;
    // The package file that the installed path (relative to the installation) holds when
    // entry entryIndex of step stepIndex runs: that of the last entry before it that
    // copies it; empty when none does and the installed file is what it holds.
    QString copiedBefore(int stepIndex, int entryIndex, const QString &relativePath) const;

private:
    // The paths entry entryIndex of step stepIndex writes or removes; stepIndex -1: the
    // package's common tree alone.
    void addTouched(int stepIndex, int entryIndex, QStringList *paths, bool filesOnly) const;
    // Every installed file a removal list names, whether it would go or not.
    static void addListedFiles(const Entry &removal, QStringList *paths);
    // What a removal list would remove (relative paths), as the step would find the installation.
    QStringList removedBy(int stepIndex, int entryIndex) const;
    // Whether an entry before (stepIndex, entryIndex) writes target, or the installation holds it.
    bool existsBefore(int stepIndex, int entryIndex, const QString &target) const;

    QString m_packageRoot;
    QString m_installDir;
    QList<Step> m_steps;
};

#endif // STEPPLAN_H
