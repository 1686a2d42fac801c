#ifndef TESTHOME_H
#define TESTHOME_H

#include <QString>
#include <QTemporaryDir>

// Points HOME and the XDG directories into a fresh temporary directory, so that a
// test run by hand (outside CTest) never touches the real home or config folders.
// The registry stand-in and the desktop then live below path().
class TestHome
{
public:
    TestHome();
    QString path() const { return m_dir.path(); }
    QString configPath() const;
    QString desktopPath() const;
    // The English uninstall entry of the registry stand-in: installed version 3.2, its
    // program file in installDir. Tells CVUpdater, and through it DBControl, where the
    // installation is.
    void writeUninstallKey(const QString &installDir) const;

private:
    QTemporaryDir m_dir;
};

#endif // TESTHOME_H
