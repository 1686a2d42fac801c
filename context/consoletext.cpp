#include "context/consoletext.h"

#include "context/zrpubmethod.h"
#include "context/stringtable.h"

namespace {

constexpr int kEnglish = 1;

} // namespace

QHash<QString, int> &ConsoleText::index()
{
    static QHash<QString, int> englishToId;
    return englishToId;
}

void ConsoleText::clear()
{
    index().clear();
}

void ConsoleText::load(const QString &filePath, int lanType)
{
    ZRPubMethod *context = ZRPubMethod::getInstance();
    QHash<QString, int> &englishToId = index();
    englishToId.clear();

    // The loader holds one language at a time: the English block first, for the index,
    // then the chosen one, which stays loaded.
    context->setLanType(kEnglish);
    context->loadStringTable(filePath);
    const int count = context->stringCount();
    for (int id = 0; id < count && id <= STRING_ID_MAX; ++id) {
        const QString text = getString(id);
        // Two identifiers with one English text: the first row wins.
        if (!text.isEmpty() && !englishToId.contains(text))
            englishToId.insert(text, id);
    }
    context->setLanType(lanType);
    if (lanType != kEnglish)
        context->loadStringTable(filePath);
}

int ConsoleText::idOf(const QString &english)
{
    return index().value(english, -1);
}

QString ConsoleText::tr(const char *english)
{
    const QString source = QString::fromUtf8(english);
    const int id = idOf(source);
    if (id < 0)
        return source;
    const QString translated = getString(id);
    return translated.isEmpty() ? source : translated;
}
