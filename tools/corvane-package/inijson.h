#ifndef INIJSON_H
#define INIJSON_H

#include <QJsonObject>
#include <QString>
#include <QVariant>

#include <memory>

class QTemporaryDir;

// INI files as JSON, for scripts that make or inspect installations (corvane-package ini):
// written and read by the updater's own ConfigBase, so the markers, the encoding, the key
// order and the escaping are the updater's and no script keeps a copy of them.
//
// Keys: an object member whose value is an object is a group ("" for the top level), any
// other member is a key, its name a full key ("group/key") when it holds a slash. Values:
// strings, numbers (whole numbers are written as integers), true/false, arrays (string
// lists) and null (no value, "@Invalid()"). A string that begins with "@" is a value in
// QSettings' own form, such as "@Point(120 80)"; "@@" stands for a string that begins with
// "@". Reading gives what the updater reads: strings (numbers and true/false read back as
// strings), arrays, null, and other types in that "@" form.
class IniJson
{
public:
    IniJson();
    ~IniJson();

    // Writes filePath anew (its folder made when missing) with the keys of keys only, as a
    // marked file the updater takes for valid, or, unmarked, as the updater writes a
    // file without markers (a registry key's file). The file is replaced whole, never
    // half-written, and no backup is left beside it.
    bool write(const QString &filePath, const QJsonObject &keys, bool marked);
    // {"marked": whether the updater takes the file for valid, "keys": its keys, markers
    // apart}. False for a file that is missing, cannot be read or is no text.
    bool read(const QString &filePath, QJsonObject *result);

    QString errorString() const { return m_error; }

private:
    IniJson(const IniJson &) = delete;
    IniJson &operator=(const IniJson &) = delete;

    // keys as full keys and values, in values; false with m_error set for bad input (a
    // marked file's markers among them).
    bool flatten(const QJsonObject &keys, const QString &prefix, bool marked, QVariantMap *values);
    bool toVariant(const QString &key, const QJsonValue &json, QVariant *value);
    QJsonValue toJson(const QVariant &value);
    // A value in QSettings' "@" form and back, through QSettings itself.
    bool fromIniText(const QString &text, QVariant *value);
    QString toIniText(const QVariant &value);
    // A new file name in the scratch folder (QSettings caches files by name).
    QString scratchFile(const QString &name);
    bool fail(const QString &error);

    std::unique_ptr<QTemporaryDir> m_scratch;
    int m_serial = 0;
    QString m_error;
};

#endif // INIJSON_H
