#include "entry/entryrun.h"

#include <windows.h>

// The load-configuration directory. GNU ld neither fills the PE's directory entry from
// this symbol nor knows DependentLoadFlags: scripts/windows/pe-tool.py points the entry
// at this section and writes LOAD_LIBRARY_SEARCH_SYSTEM32 into the field (Reserved1 in
// mingw-w64's header) after linking, so Windows resolves even the imports of imported
// libraries from System32 only.
extern "C" __attribute__((section(".cvcfg"), used)) const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = {
    sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// The elevated entry of the updater (corvane-update.exe). Only KnownDLLs are imported,
// and no library is looked for beside the program: the folder may be writable by anyone.
int wmain(int argc, wchar_t *argv[])
{
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    std::vector<std::wstring> arguments(argv + 1, argv + argc);
    EntryRun run;
    return run.run(arguments);
}
