#ifndef APPENTRY_H
#define APPENTRY_H

// The program entry: decodes the optional language argument into the application
// context, then runs the window until it is closed.
class AppEntry
{
public:
    // The language type the first argument selects: decoded with the locale's 8-bit
    // codec, read as a base-10 integer, 0 when it is not a number, 1 without an
    // argument. No range check here: the string table loader refuses what it can't use.
    static int languageFromArguments(int argc, char **argv);

    static int run(int argc, char **argv);
};

#endif // APPENTRY_H
