#ifndef REGISTRYSTORE_H
#define REGISTRYSTORE_H

#include <QSettings>
#include <QString>

#include <memory>

// The store behind registry key paths such as
// "HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Ostrelle".
// On Windows it is the registry itself: the 64-bit view, or the 32-bit one where only
// that holds the key (a 32-bit installer's entry). Elsewhere each key is one INI file below
// <generic config location>/Corvane/registry/, named after the key path with every
// "\" turned into "/" and ".ini" appended; the key's values are the file's top-level
// keys, so a user can read and edit what the updater sees.
class RegistryStore
{
public:
    // The key opened for reading and writing. Reading a key that does not exist gives
    // empty values and creates nothing. Elsewhere than on Windows, a commit that was
    // killed half-way is mended first.
    static std::unique_ptr<QSettings> open(const QString &keyPath);

    // The file that holds the key; empty on Windows, where the registry holds it.
    static QString filePath(const QString &keyPath);

    // Writes pending values to the store and tells whether they reached it (on Windows:
    // the disk, through a flush of the key): false
    // when the key cannot be written (no rights, a read-only file, a blocked path), or
    // when its file was left incomplete or the disk did not take it (a full or failing
    // disk: the file as it was is put back, and every value is pending again, for the
    // next commit).
    static bool commit(QSettings &settings);

private:
    RegistryStore() = delete;
};

#endif // REGISTRYSTORE_H
