#ifndef INIWRITECHECK_H
#define INIWRITECHECK_H

class QSettings;

// Whether an INI file that QSettings has just saved holds what it should.
//
// QSettings (Qt 5) replaces an INI file through QSaveFile, whose commit() misses a
// write error of the last flush of its buffer: on a full disk the file is replaced by
// an empty or cut-short one, and QSettings still reports success. Read back after the
// save, such a file holds fewer key lines than the settings object holds keys, or
// ends in the middle of a line.
class IniWriteCheck
{
public:
    // True when the file of settings (INI format, just synced) holds a line for every
    // key of the object. Also true for a settings object that is no file (the Windows
    // registry) and for a file that cannot be read back, which cannot be judged.
    static bool isComplete(const QSettings &settings);

private:
    IniWriteCheck() = delete;
};

#endif // INIWRITECHECK_H
