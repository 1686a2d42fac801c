#ifndef UPDATEOBJECT_H
#define UPDATEOBJECT_H

#include "steps/stepplan.h"

#include <QObject>
#include <QStringList>

class QDir;

// The base of the update object: the file and configuration operations that every
// kind of update shares, and the virtual entry point that runs a list of version steps.
class UpdateObject : public QObject
{
    Q_OBJECT

public:
    // installPath: the installation the steps write into (the update manager's).
    explicit UpdateObject(const QString &installPath, QObject *parent = nullptr);
    ~UpdateObject() override;

    // Runs the version steps in list order. The base does nothing.
    virtual bool execUpdate(const QStringList &updateList);
    // Whether this kind of update may run at all; every update object may.
    virtual bool isAvailable();

    // "3_4" and "3_5" give "3_4_to_3_5", the name of the step's directory in the package.
    QString makeStepName(const QString &from, const QString &to) const;

    // The package root, relative to the current directory: "./application/".
    QString getPackagePath() const;
    // The installation root with a trailing "/".
    QString getInstallDir() const;

    // Mirrors one step's "common" tree into the target, overwriting.
    bool updateVerCommonFiles(const QString &sourceDir, const QString &targetDir);
    // Applies one step's "config" directory: INI files are merged key by key (the
    // package wins, keys only the installation has stay), other files replace theirs.
    // targetDir is the installation's "config": the merge never writes through a link
    // (targetDir itself, an INI file or its ".bak") that leads out of the directory
    // holding it, and fails instead.
    bool updateConfigFiles(const QString &sourceDir, const QString &targetDir);
    // What the steps of updateList would do to the installation; the package and the
    // installation are only read.
    StepPlan plan(const QStringList &updateList) const;

    // Copies the tree below sourceDir into targetDir, creating one directory level at
    // a time; stops at the first entry that cannot be copied. A directory link that
    // leads back into a directory being copied is skipped with a warning; an installed
    // directory link that leads out of targetDir is never written through (false).
    bool copyDirTree(const QString &sourceDir, const QString &targetDir, bool overwrite);

protected:
    const QString &installPath() const { return m_installPath; }

    // The plan of the run in progress, whose config files updateConfigFiles() applies;
    // an empty plan outside a run.
    void setRunPlan(const StepPlan &plan) { m_runPlan = plan; }
    const StepPlan &runPlan() const { return m_runPlan; }

private:
    // A single file put into the installation (the config step's; trees go through TreeWalker).
    static bool copyFileOver(const QString &source, const QString &target, bool overwrite);

    QString m_installPath;

    // The parts of updateConfigFiles(): the target directory, one file, one INI merge.
    static bool prepareConfigDir(const QDir &target, const QString &installRoot);
    static bool applyConfigFile(const StepPlan::Entry &file, const QString &installRoot);
    static bool mergeIni(const StepPlan::Entry &file);

    StepPlan m_runPlan;
};

#endif // UPDATEOBJECT_H
