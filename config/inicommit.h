#ifndef INICOMMIT_H
#define INICOMMIT_H

#include <QString>

class QSettings;

// Writes the pending values of a settings object on an INI file so that they are on
// the disk, or leaves the file as it stood.
//
// QSettings (Qt 5) replaces the file through QSaveFile, whose commit() ignores both a
// write error of its last flush (a full disk leaves the file empty or cut short, see
// IniWriteCheck) and a failed flush to the disk. So the file is given a second name,
// "<file>.previous", before the write; the new file is read back and flushed to the
// disk with its directory; and when either fails, the second name is renamed back over
// it. A commit killed half-way leaves the second name behind, which recover() mends.
class IniCommit
{
public:
    enum class Outcome {
        Saved,      // the values are in the file, on the disk
        NotWritten, // QSettings could not write the file (no rights, a blocked path)
        Incomplete, // written, but left empty or cut short; the file as it was is back
        NotOnDisk,  // written, but the disk did not take it; the file as it was is back
    };

    // Mends what a commit killed half-way left: beside a file that holds anything, the
    // second name is removed; in place of a file that is empty or gone, it is the file.
    static void recover(const QString &filePath);

    // Writes settings (through IniTextCodec). Anything but Saved leaves the object
    // taking its values for written; callers that want them written later set them
    // again (see keepPending()). flush false: the caller flushes the file (and its
    // directory) later, and NotOnDisk is never the outcome.
    static Outcome commit(QSettings &settings, bool flush = true);

    // Sets every value again, so that the next commit writes them all rather than none.
    static void keepPending(QSettings &settings);

    // Flushes a file and the directory entry that names it to the disk. False when the
    // disk reports that either did not get there.
    static bool flushToDisk(const QString &filePath);

private:
    IniCommit() = delete;
};

#endif // INICOMMIT_H
