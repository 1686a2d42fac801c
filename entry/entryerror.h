#ifndef ENTRYERROR_H
#define ENTRYERROR_H

#include <string>

// Why the elevated entry stopped: the identifier of a text in the string table (ids
// 1421 to 1439) and the value that fills its %1, so the user reads it in their language.
struct EntryError
{
    int textId = 0;
    std::string argument;

    bool isSet() const { return textId != 0; }
};

#endif // ENTRYERROR_H
