#ifndef TESTHOME_H
#define TESTHOME_H

#include <QString>
#include <QTemporaryDir>

// Points HOME and the XDG directories into a fresh temporary directory, so that a
// test run by hand (outside CTest) never touches the real home or config folders.
// The registry stand-in and the desktop then live below path(). On Windows (under Wine,
// in the build's own prefix) the registry and the desktop are the system's: the
// product keys are removed when the home is made and when it goes.
class TestHome
{
public:
    TestHome();
    ~TestHome();
    TestHome(const TestHome &) = delete;
    TestHome &operator=(const TestHome &) = delete;
    QString path() const { return m_dir.path(); }
    QString configPath() const;
    QString desktopPath() const;
    // The English uninstall entry of the registry stand-in: installed version 3.2, its
    // program file in installDir. Tells CVUpdater, and through it DBControl, where the
    // installation is.
    void writeUninstallKey(const QString &installDir) const;
    // Removes both products' uninstall keys (the stand-in's files, or on Windows the
    // registry keys in both views). False when one stays.
    bool clearRegistry() const;

private:
    QTemporaryDir m_dir;
};

#endif // TESTHOME_H
