#ifndef INSTALLATIONFIXTURE_H
#define INSTALLATIONFIXTURE_H

#include "common/testhome.h"

#include <QMap>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class ScopedCurrentDir;

// A whole setting for the update manager, for one test executable: a test home (the
// registry stand-in and the desktop live there), an installation directory
// "<root>/Ostrelle" and a package directory "<root>/package" that is the current
// directory and holds "version.ini". CVUpdater::getInstance() and DBControl take the
// installation path from the uninstall key (DBControl once per process), so every case
// rebuilds these same directories:
//
//     initTestCase(): QVERIFY2(m_fixture.setUp(), qPrintable(m_fixture.error()));
//     init():         QVERIFY2(m_fixture.reset(), ...); build trees with PackageBuilder;
//                     m_fixture.writeKey(...); m_fixture.openDatabase();
//
// reset() closes the database first: an open connection on a replaced "kqdata.db"
// would keep writing to the removed file.
class InstallationFixture
{
public:
    InstallationFixture();
    ~InstallationFixture();
    InstallationFixture(const InstallationFixture &) = delete;
    InstallationFixture &operator=(const InstallationFixture &) = delete;

    static QString keyPath(const QString &productName);

    bool setUp();
    // Closes the database; empties installation, package, desktop and registry; deletes
    // the update manager instance if the case left one.
    bool reset();
    // An uninstall key ("Ostrelle" or "Ketterin"); a null value leaves it out.
    bool writeKey(const QString &productName, const QString &version, const QString &displayIcon);
    // The English key naming the installation's program file.
    bool writeKey(const QString &version) { return writeKey(QStringLiteral("Ostrelle"), version, programPath()); }
    void openDatabase();
    void closeDatabase();

    QString error() const { return m_error; }
    QString rootPath() const { return m_root.path(); }
    QString installPath() const { return m_root.path() + QStringLiteral("/Ostrelle"); }
    QString programPath() const { return installPath() + QStringLiteral("/ostrelle.exe"); }
    QString packagePath() const { return m_root.path() + QStringLiteral("/package"); }
    QString databasePath() const { return installPath() + QStringLiteral("/kqdata.db"); }
    QString backupPath() const { return installPath() + QStringLiteral("/backup"); }
    QString flagFilePath() const { return installPath() + QStringLiteral("/config/UPDATER.ini"); }
    QString desktopPath() const { return m_home ? m_home->desktopPath() : QString(); }
    QString keyFile(const QString &productName) const;
    // The key's values, and its removal, through the registry layer: the stand-in's
    // file, or on Windows the registry.
    static QMap<QString, QString> keyValues(const QString &productName);
    static bool removeKey(const QString &productName);

    // UPDATE/FLAG as the file holds it: "true", "false", or empty when absent.
    QString flagOnDisk() const;

private:
    bool fail(const QString &what);
    bool emptyDirectory(const QString &path);

    std::unique_ptr<TestHome> m_home;
    QTemporaryDir m_root;
    std::unique_ptr<ScopedCurrentDir> m_cwd;
    QString m_error;
};

#endif // INSTALLATIONFIXTURE_H
