#ifndef UPDATELOCK_H
#define UPDATELOCK_H

#include <QString>

#include <memory>

class NamedMutex;
class QLockFile;

// One updater at a time per installation: an update, a restore or a check holds this
// lock for as long as it works on the installation. It is the lock file "UPDATER.lock"
// in the installation directory, which records its holder's process; a lock whose
// process has ended (killed, crashed) is stale and taken over, so nothing can leave the
// installation locked for good; so is one that names no process. On Windows a named mutex of the installation is held
// as well. Released when the object goes.
class UpdateLock
{
public:
    enum class Result {
        Locked,   // this process holds the lock
        Busy,     // another process holds it: another updater is working
        Failed    // the lock file cannot be made (a read-only installation, no such directory)
    };

    explicit UpdateLock(const QString &installPath);
    ~UpdateLock();
    UpdateLock(const UpdateLock &) = delete;
    UpdateLock &operator=(const UpdateLock &) = delete;

    // Does not wait.
    Result tryLock();
    void unlock();
    bool isLocked() const { return m_locked; }

    // After Busy: who holds the lock ("process 4711 (corvane-updater-cli)"), when known.
    QString holder() const;
    QString filePath() const { return m_path; }

private:
    // QLockFile's own lock for taking a stale lock over.
    QString removerPath() const;
    // Removes a lock file that names no process (its holder was killed before writing
    // it); true when it did.
    static bool clearUnnamed(QLockFile &file, const QString &path);

    QString m_path;
    std::unique_ptr<QLockFile> m_file;
    std::unique_ptr<NamedMutex> m_mutex;
    bool m_locked = false;
};

#endif // UPDATELOCK_H
