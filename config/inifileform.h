#ifndef INIFILEFORM_H
#define INIFILEFORM_H

#include <QByteArray>

// The encoding and line endings an INI file has on disk.
//
// QSettings (Qt 5) reads and writes UTF-8 without a byte order mark, with the
// platform's line endings ("\r\n" on Windows, "\n" elsewhere). Windows programs write
// settings in other forms too: Windows PowerShell 5.1 writes UTF-16LE with a byte order
// mark, and WritePrivateProfileString keeps a file in the encoding it has. A file in
// another form is decoded for QSettings and written back in its own form, so a merge
// changes values, never the encoding, the byte order mark or the line endings.
class IniFileForm
{
public:
    enum class Encoding { Utf8, Utf8Bom, Utf16Le, Utf16Be };

    // UTF-8 without a byte order mark, with the platform's line endings.
    IniFileForm();

    // Reads the form of bytes and puts their text, as UTF-8 with "\n" line endings,
    // in text. False when the bytes are no text in any of the encodings: invalid UTF-8
    // or UTF-16, an odd number of UTF-16 bytes, a lone surrogate, or a NUL character
    // (UTF-16 without a byte order mark, UTF-32). The form is then left as it was.
    bool decode(const QByteArray &bytes, QByteArray *text);
    // What QSettings wrote (UTF-8, either line ending) in this form.
    QByteArray encode(const QByteArray &written) const;

    // Whether QSettings reads and writes this form as it is, in the same bytes on every
    // platform (never on Windows, where QSettings keeps its own key order).
    bool isNative() const;
    Encoding encoding() const { return m_encoding; }
    bool crlf() const { return m_crlf; }

private:
    Encoding m_encoding = Encoding::Utf8;
    bool m_crlf;
};

#endif // INIFILEFORM_H
