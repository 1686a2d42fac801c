#include "tools/corvane-package/inijson.h"

#include "config/configbase.h"
#include "config/inicommit.h"
#include "config/initextcodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSaveFile>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>

#include <cmath>

namespace {

// The key a value is written under in a scratch file of its own.
const char kScratchKey[] = "v";

// Whole numbers up to 2^53 are exact in a JSON number.
constexpr double kLargestExactInteger = 9007199254740992.0;

bool readWhole(const QString &path, QByteArray *bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *bytes = file.readAll();
    return file.error() == QFileDevice::NoError;
}

} // namespace

IniJson::IniJson() = default;

IniJson::~IniJson() = default;

bool IniJson::fail(const QString &error)
{
    m_error = error;
    return false;
}

QString IniJson::scratchFile(const QString &name)
{
    if (!m_scratch)
        m_scratch.reset(new QTemporaryDir);
    return m_scratch->filePath(QStringLiteral("%1-%2").arg(++m_serial).arg(name));
}

bool IniJson::write(const QString &filePath, const QJsonObject &keys, bool marked)
{
    m_error.clear();
    QVariantMap values;
    if (!flatten(keys, QString(), marked, &values))
        return false;
    // The updater writes its end marker with the first key: a marked file has one.
    if (marked && values.isEmpty())
        return fail(QStringLiteral("%1: a marked file needs at least one key").arg(filePath));
    if (!m_scratch)
        scratchFile(QString());
    if (!m_scratch->isValid())
        return fail(QStringLiteral("cannot make a temporary folder: %1").arg(m_scratch->errorString()));

    // Written in a scratch folder first: the updater's repair and backup of a file it
    // creates stay there, and the file itself is replaced in one step.
    const QString scratch = scratchFile(QFileInfo(filePath).fileName());
    bool saved = false;
    if (marked) {
        ConfigBase config(scratch);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            config.setValue(it.key(), it.value());
        saved = config.save() && config.isValid();
    } else {
        QSettings settings(scratch, QSettings::IniFormat);
        IniTextCodec::apply(settings);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            settings.setValue(it.key(), it.value());
        saved = IniCommit::commit(settings) == IniCommit::Outcome::Saved;
    }
    QByteArray bytes;
    if (!saved || !readWhole(scratch, &bytes))
        return fail(QStringLiteral("cannot write %1 in %2").arg(QFileInfo(filePath).fileName(), m_scratch->path()));
    QFile::remove(scratch);
    QFile::remove(scratch + QStringLiteral(".bak"));

    if (!QDir().mkpath(QFileInfo(filePath).absolutePath()))
        return fail(QStringLiteral("cannot make the folder of %1").arg(filePath));
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush() || !file.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(filePath, file.errorString()));
    return true;
}

bool IniJson::read(const QString &filePath, QJsonObject *result)
{
    m_error.clear();
    if (!QFileInfo(filePath).isFile())
        return fail(QStringLiteral("%1 is not a file").arg(filePath));
    ConfigBase config(filePath, ConfigBase::Access::ReadOnly);
    if (!config.isText())
        return fail(QStringLiteral("%1 is no text in UTF-8 or UTF-16").arg(filePath));
    if (!config.isReadable())
        return fail(QStringLiteral("cannot read %1").arg(filePath));
    QJsonObject keys;
    const QStringList names = config.allKeys();
    for (const QString &key : names) {
        if (!ConfigBase::isMarkerKey(key))
            keys.insert(key, toJson(config.value(key)));
    }
    *result = QJsonObject{{QStringLiteral("marked"), config.isValid()}, {QStringLiteral("keys"), keys}};
    return true;
}

bool IniJson::flatten(const QJsonObject &keys, const QString &prefix, bool marked, QVariantMap *values)
{
    for (auto it = keys.constBegin(); it != keys.constEnd(); ++it) {
        // {"": {...}} holds the top-level keys, as a group of no name.
        if (it.key().isEmpty() && prefix.isEmpty() && it.value().isObject()) {
            if (!flatten(it.value().toObject(), prefix, marked, values))
                return false;
            continue;
        }
        const QString key = prefix.isEmpty() ? it.key() : prefix + QLatin1Char('/') + it.key();
        if (key.split(QLatin1Char('/')).contains(QString()))
            return fail(QStringLiteral("\"%1\" is no key: a key or group name is empty").arg(key));
        if (it.value().isObject()) {
            if (!flatten(it.value().toObject(), key, marked, values))
                return false;
            continue;
        }
        if (marked && ConfigBase::isMarkerKey(key))
            return fail(QStringLiteral("key \"%1\" is a marker, which a marked file gets by itself").arg(key));
        if (values->contains(key))
            return fail(QStringLiteral("key \"%1\" is given twice").arg(key));
        QVariant value;
        if (!toVariant(key, it.value(), &value))
            return false;
        values->insert(key, value);
    }
    return true;
}

bool IniJson::toVariant(const QString &key, const QJsonValue &json, QVariant *value)
{
    switch (json.type()) {
    case QJsonValue::Null:
        *value = QVariant();
        return true;
    case QJsonValue::Bool:
        *value = json.toBool();
        return true;
    case QJsonValue::Double: {
        const double number = json.toDouble();
        if (std::trunc(number) == number && std::fabs(number) <= kLargestExactInteger)
            *value = static_cast<qlonglong>(number);
        else
            *value = number;
        return true;
    }
    case QJsonValue::String: {
        const QString text = json.toString();
        if (!text.startsWith(QLatin1Char('@'))) {
            *value = text;
            return true;
        }
        if (text.startsWith(QLatin1String("@@"))) {
            *value = text.mid(1);
            return true;
        }
        if (!fromIniText(text, value))
            return fail(QStringLiteral("key \"%1\": \"%2\" is no value in QSettings' @ form (write @@ for a leading @)")
                            .arg(key, text));
        return true;
    }
    case QJsonValue::Array: {
        // Strings alone make a string list (numbers and true/false as their text); a value
        // in the "@" form makes a list of values.
        QVariantList items;
        bool onlyStrings = true;
        const QJsonArray array = json.toArray();
        for (const QJsonValue &item : array) {
            if (item.isArray() || item.isObject())
                return fail(QStringLiteral("key \"%1\": a list holds only strings, numbers and true/false").arg(key));
            QVariant one;
            if (!toVariant(key, item, &one))
                return false;
            onlyStrings = onlyStrings && (item.isString() ? one.type() == QVariant::String : !item.isNull());
            items.append(one);
        }
        if (onlyStrings) {
            QStringList strings;
            for (const QVariant &item : qAsConst(items))
                strings.append(item.toString());
            *value = strings;
        } else {
            *value = items;
        }
        return true;
    }
    default:
        return fail(QStringLiteral("key \"%1\" has no value").arg(key));
    }
}

QJsonValue IniJson::toJson(const QVariant &value)
{
    if (!value.isValid())
        return QJsonValue(QJsonValue::Null);
    if (value.type() == QVariant::String) {
        const QString text = value.toString();
        return text.startsWith(QLatin1Char('@')) ? QLatin1Char('@') + text : text;
    }
    if (value.type() == QVariant::StringList || value.type() == QVariant::List) {
        QJsonArray array;
        const QVariantList items = value.toList();
        for (const QVariant &item : items)
            array.append(toJson(item));
        return array;
    }
    return toIniText(value);
}

bool IniJson::fromIniText(const QString &text, QVariant *value)
{
    // One line of a file: a line break would end the value and start another key.
    for (const QChar c : text) {
        if (c.unicode() < 0x20)
            return false;
    }
    const QString path = scratchFile(QStringLiteral("value.ini"));
    {
        QFile file(path);
        const QByteArray line = QByteArray("[General]\n") + kScratchKey + '=' + text.toUtf8() + '\n';
        if (!file.open(QIODevice::WriteOnly) || file.write(line) != line.size() || !file.flush())
            return false;
    }
    QVariant read;
    {
        QSettings settings(path, QSettings::IniFormat);
        IniTextCodec::apply(settings);
        read = settings.value(QLatin1String(kScratchKey));
    }
    QFile::remove(path);
    // QSettings reads a form it does not know as the text itself.
    if (read.type() == QVariant::String && read.toString() == text)
        return false;
    *value = read;
    return true;
}

QString IniJson::toIniText(const QVariant &value)
{
    const QString path = scratchFile(QStringLiteral("value.ini"));
    {
        QSettings settings(path, QSettings::IniFormat);
        IniTextCodec::apply(settings);
        settings.setValue(QLatin1String(kScratchKey), value);
        IniTextCodec::sync(settings);
    }
    QByteArray bytes;
    readWhole(path, &bytes);
    QFile::remove(path);
    const QByteArray prefix = QByteArray(kScratchKey) + '=';
    const QList<QByteArray> lines = bytes.split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(prefix))
            return QString::fromUtf8(line.mid(prefix.size()).trimmed());
    }
    return QString();
}
