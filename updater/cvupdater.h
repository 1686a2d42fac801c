#ifndef CVUPDATER_H
#define CVUPDATER_H

#include <QObject>
#include <QString>
#include <QStringList>

class FormalUpdateO;

// The update manager: knows the installed and the package version, the installation
// directory and the uninstall key, and turns two versions into the list of version
// steps that its update object applies one after the other. It also makes an update
// recoverable: the installation is copied into its "backup" directory first, and the
// key UPDATE/FLAG of "config/UPDATER.ini" is false from the end of that copy until the
// update has been recorded in the registry or the backup has been put back.
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
    // "<installation>/backup" and "<installation>/config/UPDATER.ini".
    QString getBackupPath() const;
    QString getFlagFilePath() const;

    bool isCanUpdate();
    bool produceUpdateList(const QString &from, const QString &to, QStringList &list);

    // Builds the list of version steps and has the update object apply it.
    bool execUpdate();
    // Copies the installation, reserved names left out, over what "backup" already
    // holds, then sets the flag to false.
    bool backupVersion();
    // Copies "backup" over the installation with the database closed, then sets the
    // flag to true. Files the update added stay.
    bool restoreVersion();
    // Records the package version in the uninstall key, puts the desktop shortcut in
    // place and sets the flag to true, in that order: the flag never says "complete"
    // for an update the key does not record. False, with the flag left false, when the
    // key cannot be written, or when the flag cannot be (the key's values are then put
    // back). A shortcut that cannot be made is not a failure.
    bool updateRegKey();

    void readInstallInfo();
    void readNewVersion();

signals:
    void sigProcessAddValue(int value);

private:
    // Writes UPDATE/FLAG and tells whether it reached the file.
    bool writeUpdateFlag(bool flag, const char *signature) const;

    QString m_oldVersion;
    QString m_newVersion;
    QString m_installPath;
    QString m_iconPath;
    QString m_regKey;
    QStringList m_updateList;
    FormalUpdateO *m_updateObject = nullptr;
};

#endif // CVUPDATER_H
