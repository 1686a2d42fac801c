#ifndef FORMALUPDATEO_H
#define FORMALUPDATEO_H

#include "steps/updateobject.h"

// The update object the updater uses: applies the package to the installation one
// version step after another and reports progress in percent points.
class FormalUpdateO : public UpdateObject
{
    Q_OBJECT

public:
    explicit FormalUpdateO(QObject *parent = nullptr);
    ~FormalUpdateO() override;

    bool execUpdate(const QStringList &updateList) override;
    bool execUpdate(const QString &stepName);

    bool copyCommonFiles();
    bool updateDB(const QString &sqlDir);

    int stepProgress() const { return m_stepProgress; }

signals:
    void sigProcessAddValue(int value);

private:
    qint32 m_stepProgress = 0;
};

#endif // FORMALUPDATEO_H
