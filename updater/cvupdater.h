#ifndef CVUPDATER_H
#define CVUPDATER_H

#include <QObject>
#include <QString>
#include <QStringList>

class FormalUpdateO;

// The update manager: knows the installed and the package version, the installation
// directory and the uninstall key, and turns two versions into the list of version
// steps that its update object applies one after the other.
class CVUpdater : public QObject
{
    Q_OBJECT

public:
    // Reads the uninstall key and "version.ini" and creates the update object.
    explicit CVUpdater(QObject *parent = nullptr);
    ~CVUpdater() override;

    // The one update manager of the program, created on first use. Its owner (the
    // main window) deletes it; a later call then creates a fresh one.
    static CVUpdater *getInstance();

    // The directory that holds the package's "version.ini": the program's own
    // directory unless set here (tests, front ends run from elsewhere). An empty
    // text goes back to the program's directory.
    static void setProgramDir(const QString &dir);
    static QString programDir();

    QString getOldVersion() const;
    QString getNewVersion() const;
    QString getInstallPath() const;
    QString getIconPath() const;
    QString getRegKey() const;
    QStringList getUpdateList() const;
    FormalUpdateO *getUpdateObject() const;

    bool isCanUpdate();
    bool produceUpdateList(const QString &from, const QString &to, QStringList &list);

    void readInstallInfo();
    void readNewVersion();

signals:
    void sigProcessAddValue(int value);

private:
    QString m_oldVersion;
    QString m_newVersion;
    QString m_installPath;
    QString m_iconPath;
    QString m_regKey;
    QStringList m_updateList;
    FormalUpdateO *m_updateObject = nullptr;
};

#endif // CVUPDATER_H
