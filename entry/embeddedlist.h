#ifndef EMBEDDEDLIST_H
#define EMBEDDEDLIST_H

#include <string>

// The list of the updater's own files (the manifest format: path, size, SHA-256 of each)
// that scripts/windows/package.sh writes into the entry's ".cvfiles" section when it lays
// out a package folder, before the entry is signed: the list is part of the signed
// program, so nobody who can only write the folder can change it.
class EmbeddedList
{
public:
    // The list as package.sh wrote it; empty when none was written (a program straight
    // from the build).
    static std::string text();

    // The section's first line; the list follows it, ended by a NUL byte.
    static constexpr char kMagic[] = "corvane-embedded-list 1\n";
    static constexpr std::size_t kCapacity = 65536;
};

#endif // EMBEDDEDLIST_H
