#ifndef INITEXTCODEC_H
#define INITEXTCODEC_H

#include <QTextCodec>

class QSettings;

// UTF-8 for the INI files that QSettings writes, without losing characters outside
// the Basic Multilingual Plane.
//
// Qt 5's INI writer encodes a value one UTF-16 unit at a time (one call of
// QTextCodec::fromUnicode() per unit). A character such as an emoji is two units, a
// surrogate pair, and neither half can be encoded alone: with the plain UTF-8 codec
// each half becomes a replacement character, and the character is lost from the file.
// This codec holds a high surrogate handed to it alone until the low one follows and
// then writes the pair as one character; everything else, and all reading, is plain
// UTF-8, so files read exactly as before and every other text is written byte for
// byte as Qt writes it.
class IniTextCodec : public QTextCodec
{
public:
    // The one instance (Qt owns registered codecs until it exits).
    static IniTextCodec *instance();

    // Puts an INI settings object on this codec (right after constructing it: the file
    // is read at once, but its values are decoded at first use).
    static void apply(QSettings &settings);
    // settings.sync(), written through this codec. A sync that re-reads a file changed
    // on disk and finds a byte order mark at its start switches the object to plain
    // UTF-8 before it writes; the values are then written once more.
    static void sync(QSettings &settings);

    QByteArray name() const override;
    int mibEnum() const override;

protected:
    QString convertToUnicode(const char *in, int length, ConverterState *state) const override;
    QByteArray convertFromUnicode(const QChar *in, int length, ConverterState *state) const override;

private:
    IniTextCodec();
};

#endif // INITEXTCODEC_H
