#ifndef PACKAGECHECK_H
#define PACKAGECHECK_H

#include "db/databasesnapshot.h"
#include "package/packageverifier.h"
#include "steps/stepplan.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class CVUpdater;
class ScriptCheck;

// The dry run of "corvane-updater-cli --check": goes through everything an update
// would touch and says what would happen, without changing anything anywhere. Files
// are only read (INI files through ConfigBase opened read-only, so nothing is
// repaired); the update scripts run on a private in-memory copy of the database, one
// version step after the other, with their IFN_COL directives answered by that copy,
// so a step sees what the steps before it did, as in the real update.
//
// A finding is a problem when the update would fail or lose data because of it, a
// note when the update goes through but does something worth knowing.
class PackageCheck
{
public:
    enum class Severity { Ok, Note, Problem };
    struct Finding
    {
        Severity severity;
        QString text;
    };

    // packageDir: the package directory (holding "version.ini" and "application/").
    explicit PackageCheck(const QString &packageDir);
    ~PackageCheck();
    PackageCheck(const PackageCheck &) = delete;
    PackageCheck &operator=(const PackageCheck &) = delete;

    // Called with every finding as it is made.
    void setFindingListener(std::function<void(const Finding &)> listener);
    // DryRun (--check, the default): the scripts run on an in-memory copy of the
    // database. BeforeUpdate (the start of every real update): they are only parsed,
    // and the update flag is left to the update's own stage.
    enum class Mode { DryRun, BeforeUpdate };
    void setMode(Mode mode);

    // The free space of the installation's file system that an update needs beyond the
    // backup and the package's files: room for the database's journal (up to the
    // database's size) and a little more. The update's log comes on top, where it
    // shares the file system.
    static qint64 spareSpace(qint64 databaseSize);

    // "version.ini" read without repair. False when a normal opening would repair it:
    // the update manager must then not be created, as it opens the file for writing.
    bool checkVersionFile();

    // Everything else, against the installation the update manager has found. True
    // when the update would go through.
    bool run(CVUpdater *updater);

    QList<Finding> findings() const { return m_findings; }
    // The package is not newer than the installation: the update would change nothing
    // (and is refused), which is no problem of the package.
    bool nothingToDo() const { return m_nothingToDo; }
    int problemCount() const;
    // The last run found less free space than the update needs.
    bool isSpaceShort() const { return m_spaceShort; }
    // PRAGMA quick_check on a copy of kqdata.db (run() makes it in a dry run): an update
    // would back the damage up and run its steps on it.
    void checkDatabase();
    // The same in place, on the updater's connection while it holds the database
    // (DBControl::hold()): no copy of the file is needed then.
    void checkHeldDatabase();
    // The last run found the installation's database damaged (PRAGMA quick_check).
    bool isDatabaseDamaged() const { return m_databaseDamaged; }

    // The package's manifest and signature against the installation's trusted keys
    // (run() checks them first): the update must be refused when this fails, whatever
    // else the check found.
    const PackageVerifier::Result &verification() const { return m_verification; }
    bool packageRefused() const { return !m_verification.accepted(); }

private:
    void ok(const QString &text);
    void note(const QString &text);
    void problem(const QString &text);
    void add(Severity severity, const QString &text);

    QString packagePath(const QString &relative) const;
    QString installPath(const QString &relative) const;

    // Every file of the package against its manifest, and the signature.
    void checkPackageFiles();
    // A package that is not newer than the installation: true when the update only
    // completes an earlier run of it.
    bool checkNotNewer(const QString &oldVersion, const QString &newVersion);
    // Program files the update would replace that another program holds open.
    void checkFilesInUse(const StepPlan &plan);
    // Each version step's directory: removal list, common tree, config, script.
    void checkSteps(const StepPlan &plan);
    void checkFlagLinks();
    void checkFlag();
    void checkWritable();
    // A path of the package as the findings name it ("application/...").
    QString packageRelative(const QString &path) const;
    // Each planned entry of one step, in the order the update runs them.
    void checkStep(const StepPlan &plan, int stepIndex, ScriptCheck &scripts);
    void reportHealth(DatabaseSnapshot::Health health, const QStringList &problems, const QString &error);
    // A "common" tree copied over the installation: entries whose type differs from
    // what is installed, or that cannot be read or replaced, would stop the copy.
    void checkCommonTree(const StepPlan::Entry &tree);
    // The installation's config directory, and the package's entries the step leaves
    // out; following: the entries after it. False when its files cannot be judged.
    bool checkConfigDir(const StepPlan::Entry &config, const QList<StepPlan::Entry> &following);
    void checkConfigFile(const StepPlan::Entry &file);
    void checkMerge(const StepPlan::Entry &file, const QStringList &packageKeys);
    // What the step's removal list would remove and keep, against what the entries
    // before it would have copied into the installation by then.
    void checkRemovals(const StepPlan &plan, int stepIndex, int entryIndex);
    void checkSpace(const QStringList &steps);
    void checkRegistry();

    QString m_packageDir;
    CVUpdater *m_updater = nullptr;
    QString m_installDir;
    std::function<void(const Finding &)> m_listener;
    QList<Finding> m_findings;
    bool m_trialRun = true;
    bool m_judgeFlag = true;
    bool m_spaceShort = false;
    bool m_databaseDamaged = false;
    bool m_nothingToDo = false;
    // What the scripts' per-statement lines will add to the update's log (0 when its
    // debug lines are off).
    qint64 m_logBytes = 0;
    PackageVerifier::Result m_verification;
};

#endif // PACKAGECHECK_H
