#ifndef FORMALUPDATEO_H
#define FORMALUPDATEO_H

#include "steps/stepremovals.h"
#include "steps/updateobject.h"

// The update object the updater uses: applies the package to the installation one
// version step after another and reports progress in percent points.
class FormalUpdateO : public UpdateObject
{
    Q_OBJECT

public:
    explicit FormalUpdateO(const QString &installPath, QObject *parent = nullptr);
    ~FormalUpdateO() override;

    bool execUpdate(const QStringList &updateList) override;
    bool execUpdate(const QString &stepName);

    bool copyCommonFiles();
    bool updateDB(const QString &sqlDir);
    // Applies one step's removal list (application/<step>/remove.list).
    bool removeFiles(const QString &stepName, const QString &listPath);

    // What the removal lists of the last run removed and kept, one result per step
    // that has a list (also for a step that failed on it).
    const QList<StepRemovals::Result> &removals() const { return m_removals; }

    int stepProgress() const { return m_stepProgress; }

signals:
    void sigProcessAddValue(int value);

private:
    // The parts of execUpdate(const QString&): the planned step, one entry of it.
    bool runStep(const StepPlan::Step &step);
    bool runEntry(const StepPlan::Step &step, const StepPlan::Entry &entry);

    qint32 m_stepProgress = 0;
    QList<StepRemovals::Result> m_removals;
};

#endif // FORMALUPDATEO_H
