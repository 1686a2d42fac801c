#ifndef STRINGTABLE_H
#define STRINGTABLE_H

#include <QString>

// The highest identifier a text can have; getString() answers "unkown" above it.
constexpr int STRING_ID_MAX = 1519;

// The user-interface text of an identifier in the language loaded by
// ZRPubMethod::loadStringTable(): empty while no table is loaded or when the table
// has fewer strings, "unkown" outside 0 to STRING_ID_MAX.
QString getString(int id);

#endif // STRINGTABLE_H
