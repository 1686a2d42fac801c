#include "config/initextcodec.h"

#include <QSettings>

namespace {

// The high surrogate of a pair whose low half has not come yet. Per thread, as the
// writer calls the shared codec from whichever thread saves.
thread_local char16_t t_pendingHigh = 0;

QTextCodec *utf8()
{
    static QTextCodec *const codec = QTextCodec::codecForName("UTF-8");
    return codec;
}

} // namespace

IniTextCodec::IniTextCodec() = default;

IniTextCodec *IniTextCodec::instance()
{
    // Registered with Qt by its constructor and deleted by Qt at exit.
    static IniTextCodec *const codec = new IniTextCodec;
    return codec;
}

void IniTextCodec::apply(QSettings &settings)
{
    if (settings.iniCodec() != instance())
        settings.setIniCodec(instance());
}

void IniTextCodec::sync(QSettings &settings)
{
    settings.sync();
    if (settings.format() != QSettings::IniFormat || settings.iniCodec() == instance())
        return;
    apply(settings);
    // (Qt reports a format error for such a re-read file, written well all the same.)
    if (settings.status() == QSettings::AccessError)
        return;
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys)
        settings.setValue(key, settings.value(key));
    settings.sync();
}

QByteArray IniTextCodec::name() const
{
    return QByteArrayLiteral("Corvane-INI-UTF-8");
}

int IniTextCodec::mibEnum() const
{
    // No IANA number; Qt's own codecs without one use negative numbers too.
    return -106;
}

QString IniTextCodec::convertToUnicode(const char *in, int length, ConverterState *state) const
{
    return utf8()->toUnicode(in, length, state);
}

QByteArray IniTextCodec::convertFromUnicode(const QChar *in, int length, ConverterState *state) const
{
    if (length == 1 && !state) {
        const char16_t unit = in[0].unicode();
        if (QChar::isHighSurrogate(unit)) {
            // Should no low half follow, it is dropped: a lone surrogate is no character.
            t_pendingHigh = unit;
            return QByteArray();
        }
        if (QChar::isLowSurrogate(unit) && t_pendingHigh != 0) {
            const QChar pair[2] = {QChar(t_pendingHigh), QChar(unit)};
            t_pendingHigh = 0;
            return utf8()->fromUnicode(pair, 2);
        }
    }
    t_pendingHigh = 0;
    return utf8()->fromUnicode(in, length, state);
}
