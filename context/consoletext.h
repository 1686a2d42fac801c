#ifndef CONSOLETEXT_H
#define CONSOLETEXT_H

#include <QHash>
#include <QString>

// The texts of the console program (corvane-updater-cli and its package check), looked
// up by their English wording:
//
//     output->info(ConsoleText::tr("Checking the package %1").arg(dir));
//
// The English text in the source is the key: the row of strings/strings.tsv whose
// English column holds exactly that text gives the identifier, and the identifier's
// text in the loaded language is what is printed. A text without a row, or without a
// translation in the loaded language, is printed in English as written. Placeholders
// (%1, %2, ...) are kept by every translation. A test reads every ConsoleText::tr()
// literal of the sources and checks that each has its row in all three languages, so a
// text is added by writing it in the code and adding its row (identifiers 1100 to 1499
// are the console's).
class ConsoleText
{
public:
    // Loads the table of filePath in the given language type, and its English block
    // for the index. The table stays the one getString() reads (ZRPubMethod's).
    static void load(const QString &filePath, int lanType);
    // Forgets the index: every text is English again.
    static void clear();

    // The text in the loaded language; english is UTF-8 and is the fallback.
    static QString tr(const char *english);

    // The identifier of an English text, or -1.
    static int idOf(const QString &english);

private:
    static QHash<QString, int> &index();
};

#endif // CONSOLETEXT_H
