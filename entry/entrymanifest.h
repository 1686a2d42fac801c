#ifndef ENTRYMANIFEST_H
#define ENTRYMANIFEST_H

#include "entry/entryerror.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// One listed file: its path relative to the folder ("/" separated, UTF-8), size and SHA-256.
struct EntryFile
{
    std::string path;
    std::uint64_t size = 0;
    std::array<unsigned char, 32> sha256{};
};

// The file list format of package.manifest ("corvane-manifest 1", then one
// "<sha-256> <size> <path>" line per file, sorted by path bytes), read without Qt for the
// elevated entry. It reads both the package's manifest and the list of the updater's own
// files that package.sh writes into the entry. Strict: anything the updater's own reader
// would refuse is refused here too (an odd path, a duplicate, disorder, a missing line
// feed), so no listed path can reach outside the folder it is copied into.
class EntryManifest
{
public:
    static constexpr std::size_t kMaxTextBytes = std::size_t(64) << 20;
    static constexpr std::size_t kMaxEntries = 200000;
    static constexpr std::size_t kMaxPathBytes = 1024;
    static constexpr std::uint64_t kMaxFileSize = std::uint64_t(1) << 36;

    // False with error() set (text 1429, the line number) when the text is malformed.
    bool parse(const std::string &text);

    const std::vector<EntryFile> &files() const { return m_files; }
    const EntryError &error() const { return m_error; }

    // A relative path made of plain parts: no empty, "." or ".." part, no part ending in a
    // dot or a space, no "\", ":" or control character.
    static bool isAllowedPath(const std::string &path);

private:
    bool fail(std::size_t line);

    std::vector<EntryFile> m_files;
    EntryError m_error;
};

#endif // ENTRYMANIFEST_H
