// corvane-strings <source.tsv> <string.bin>
// Compiles the user-interface texts into the string table the updater reads.
#include "strings/stringtablecompiler.h"

#include <QString>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: corvane-strings <source.tsv> <string.bin>\n");
        return 2;
    }
    StringTableCompiler compiler;
    if (!compiler.compile(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]))) {
        std::fprintf(stderr, "corvane-strings: %s\n", qUtf8Printable(compiler.errorString()));
        return 1;
    }
    return 0;
}
