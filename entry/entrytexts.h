#ifndef ENTRYTEXTS_H
#define ENTRYTEXTS_H

#include <string>
#include <vector>

// The elevated entry's texts (ids 1420 to 1439 of the string table), read without Qt from
// the string.bin beside it. The table is only read, never trusted for more than words: a
// damaged or missing one leaves the English texts built in.
class EntryTexts
{
public:
    // False (English kept) when the file is missing, damaged or lacks the language.
    bool load(const std::string &utf8Path, int lanType);

    // The text of an id in the loaded language, else the built-in English one; %1
    // replaced by the argument.
    std::string text(int id, const std::string &argument = std::string()) const;
    // The built-in English text of an id; empty for an id that is not the entry's.
    static std::string english(int id);

    static constexpr int kFirstId = 1420;
    static constexpr int kLastId = 1439;

private:
    std::vector<std::string> m_texts;
};

#endif // ENTRYTEXTS_H
