#ifndef PRIVATECOPY_H
#define PRIVATECOPY_H

#include "entry/entryerror.h"
#include "entry/entrymanifest.h"

#include <filesystem>
#include <string>
#include <vector>

// A fresh folder that only the system and administrators may write, the files copied into
// it from a source folder, and the check of the copies against a file list. Checking the
// copy, which nobody else can change, rather than the source closes the gap between
// checking a file and using it. The folder and everything in it goes with the object.
class PrivateCopy
{
public:
    explicit PrivateCopy(std::filesystem::path source);
    ~PrivateCopy();
    PrivateCopy(const PrivateCopy &) = delete;
    PrivateCopy &operator=(const PrivateCopy &) = delete;

    // Makes a new folder with a random name below parent. On Windows its DACL, protected
    // from inheritance, grants access to SYSTEM and Administrators only; elsewhere it is
    // mode 0700. A name that exists already (planted by someone) is never used.
    bool create(const std::filesystem::path &parent);

    // Copies one regular file (a relative "/"-separated path) from the source, making its
    // directories. A link, or a file below a linked directory, is refused.
    bool copyFile(const std::string &relativePath);
    // Copies every regular file below a directory of the source; a missing directory is
    // no error. A link anywhere below it is refused.
    bool copyTree(const std::string &relativePath);

    // Every listed file of the copy holds exactly the listed size and SHA-256.
    bool verify(const std::vector<EntryFile> &files);

    // SHA-256 and size of a file, read in bounded pieces.
    static bool hashFile(const std::filesystem::path &path, std::array<unsigned char, 32> *digest,
                         std::uint64_t *size);

    const std::filesystem::path &folder() const { return m_folder; }
    const EntryError &error() const { return m_error; }

private:
    bool fail(int textId, const std::filesystem::path &path);
    bool isLink(const std::filesystem::path &path) const;

    std::filesystem::path m_source;
    std::filesystem::path m_folder;
    EntryError m_error;
};

#endif // PRIVATECOPY_H
