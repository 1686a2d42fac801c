#include "config/inifileform.h"

#include <QString>
#include <QTextCodec>

#include <cstring>

namespace {

#ifdef Q_OS_WIN
constexpr bool kNativeCrlf = true;
#else
constexpr bool kNativeCrlf = false;
#endif

const char kUtf8Bom[] = "\xEF\xBB\xBF";

// Valid UTF-8 with no NUL, as UTF-16.
bool decodeUtf8(const char *data, int size, QString *text)
{
    if (std::memchr(data, 0, size_t(size)))
        return false;
    QTextCodec::ConverterState state;
    *text = QTextCodec::codecForName("UTF-8")->toUnicode(data, size, &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

bool decodeUtf16(const QByteArray &bytes, bool littleEndian, QString *text)
{
    // After the two bytes of the byte order mark.
    if (bytes.size() % 2 != 0)
        return false;
    const int units = (bytes.size() - 2) / 2;
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData()) + 2;
    text->resize(units);
    QChar *out = text->data();
    for (int i = 0; i < units; ++i) {
        const uchar first = data[2 * i];
        const uchar second = data[2 * i + 1];
        out[i] = littleEndian ? QChar(ushort(first | (second << 8))) : QChar(ushort((first << 8) | second));
    }
    for (int i = 0; i < units; ++i) {
        const QChar unit = out[i];
        if (unit.isNull())
            return false;
        if (unit.isHighSurrogate()) {
            if (i + 1 >= units || !out[i + 1].isLowSurrogate())
                return false;
            ++i;
        } else if (unit.isLowSurrogate()) {
            return false;
        }
    }
    return true;
}

QByteArray encodeUtf16(const QString &text, bool littleEndian)
{
    QByteArray bytes;
    bytes.reserve(2 + 2 * text.size());
    const auto put = [&bytes, littleEndian](ushort unit) {
        const char low = char(unit & 0xff);
        const char high = char(unit >> 8);
        bytes.append(littleEndian ? low : high);
        bytes.append(littleEndian ? high : low);
    };
    put(0xFEFF);
    for (const QChar unit : text)
        put(unit.unicode());
    return bytes;
}

} // namespace

IniFileForm::IniFileForm()
    : m_crlf(kNativeCrlf)
{
}

bool IniFileForm::decode(const QByteArray &bytes, QByteArray *text)
{
    Encoding encoding = Encoding::Utf8;
    QString decoded;
    bool ok = false;
    if (bytes.startsWith(kUtf8Bom)) {
        encoding = Encoding::Utf8Bom;
        ok = decodeUtf8(bytes.constData() + 3, bytes.size() - 3, &decoded);
    } else if (bytes.startsWith("\xFF\xFE")) {
        encoding = Encoding::Utf16Le;
        ok = decodeUtf16(bytes, true, &decoded);
    } else if (bytes.startsWith("\xFE\xFF")) {
        encoding = Encoding::Utf16Be;
        ok = decodeUtf16(bytes, false, &decoded);
    } else {
        ok = decodeUtf8(bytes.constData(), bytes.size(), &decoded);
    }
    if (!ok)
        return false;

    m_encoding = encoding;
    // The first line ending stands for the file's; a file without one gets the platform's.
    const int newline = decoded.indexOf(QLatin1Char('\n'));
    m_crlf = newline < 0 ? kNativeCrlf : newline > 0 && decoded.at(newline - 1) == QLatin1Char('\r');
    decoded.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    *text = decoded.toUtf8();
    return true;
}

QByteArray IniFileForm::encode(const QByteArray &written) const
{
    // QSettings escapes line breaks inside keys and values: every one left ends a line.
    QByteArray lines = written;
    lines.replace("\r\n", "\n");
    if (m_crlf)
        lines.replace("\n", "\r\n");
    switch (m_encoding) {
    case Encoding::Utf8:
        return lines;
    case Encoding::Utf8Bom:
        return QByteArray(kUtf8Bom) + lines;
    case Encoding::Utf16Le:
        return encodeUtf16(QString::fromUtf8(lines), true);
    case Encoding::Utf16Be:
        return encodeUtf16(QString::fromUtf8(lines), false);
    }
    return lines;
}

bool IniFileForm::isNative() const
{
#ifdef Q_OS_WIN
    // QSettings on Windows writes a file's keys in the order it first met them (across
    // objects of one process even), elsewhere sorted: every file goes through the
    // working copy there, whose save writes the keys sorted (see ConfigBase).
    return false;
#else
    return m_encoding == Encoding::Utf8 && m_crlf == kNativeCrlf;
#endif
}
