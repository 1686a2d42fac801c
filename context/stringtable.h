#ifndef STRINGTABLE_H
#define STRINGTABLE_H

#include "strings/stringtablereader.h"

#include <QString>

// The user-interface text of an identifier in the language loaded by
// ZRPubMethod::loadStringTable(): empty while no table is loaded or when the table
// has fewer strings, "unkown" outside 0 to STRING_ID_MAX.
QString getString(int id);

#endif // STRINGTABLE_H
