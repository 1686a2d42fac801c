#ifndef ENTRYRUN_H
#define ENTRYRUN_H

#include "entry/entrycommand.h"
#include "entry/entryerror.h"
#include "entry/entrytexts.h"

#include <filesystem>
#include <string>
#include <vector>

class PrivateCopy;

// One run of the elevated entry (Windows): chooses what to copy and what to check it
// against, makes the private copy, starts the updater from it, waits, hands the log back
// to the package folder and removes the copy.
//
// - The installation trusts keys and the folder holds package.manifest: the manifest must
//   be signed by a trusted key, and every file it lists is copied and checked.
// - Otherwise the updater's own files are those of the list package.sh wrote into this
//   program; only they are copied, and checked, with the package's data (version.ini,
//   application/, the manifest and its signature), which the copied updater checks itself.
// A file that is not listed, such as a library planted beside the programs, is never copied.
class EntryRun
{
public:
    // The exit status: the started program's, 14 when a file differs from what the vendor
    // shipped or the signature is refused, 2 when the copy cannot be made or started.
    int run(const std::vector<std::wstring> &arguments);

    static constexpr int kExitBadInput = 2;
    static constexpr int kExitRefused = 14;

private:
    bool prepare(PrivateCopy *copy, const std::filesystem::path &parent);
    int startAndWait(const PrivateCopy &copy);
    void returnLog(const PrivateCopy &copy) const;
    int report(const EntryError &error, int status) const;

    EntryCommand m_command;
    EntryTexts m_texts;
    std::wstring m_folder;
    EntryError m_error;
};

#endif // ENTRYRUN_H
