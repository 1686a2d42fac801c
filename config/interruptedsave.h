#ifndef INTERRUPTEDSAVE_H
#define INTERRUPTEDSAVE_H

#include <QString>

// Clears what a save that was killed half-way left beside an INI file.
//
// QSettings and ConfigBase save a file under a lock file "<file>.lock" (a QLockFile
// holding the saver's process id) and write it through a temporary file
// "<file>.XXXXXX" (six random letters) that is renamed over the file at the end. A
// kill between the two leaves both behind, and the next backup would copy them. A
// temporary file is only ever recognised through its lock: one whose process no
// longer runs (or an empty one, whose maker was killed while making it), written
// about when the lock was taken. A file that merely looks like one is never touched,
// nor is anything of a lock whose process still runs. The lock goes last, so that a
// clean-up killed half-way is finished by the next one. A file's second name
// "<file>.previous" that a killed commit left (IniCommit) is mended first.
class InterruptedSave
{
public:
    // Cleans one directory (not its sub-directories). Returns the number of files
    // removed; failures to remove are logged and skipped.
    static int cleanDirectory(const QString &dirPath);

private:
    InterruptedSave() = delete;
};

#endif // INTERRUPTEDSAVE_H
