#ifndef INSTALLATIONLOOKUP_H
#define INSTALLATIONLOOKUP_H

#include <string>

// The installation the updater will work on, found as the updater finds it: the uninstall
// entry of Ketterin first for language 0, of Ostrelle first otherwise, the first whose
// "DisplayVersion" is set, in the 64-bit registry view or else the 32-bit one; the folder
// is "DisplayIcon" without quotes or icon index, up to its last separator.
class InstallationLookup
{
public:
    // The folder (UTF-8), empty when neither entry exists. Only Windows has the registry
    // entries; elsewhere the entry program is not built and this finds nothing.
    static std::string directory(int lanType);

    // "DisplayIcon" turned into the installation folder.
    static std::wstring directoryOfIcon(const std::wstring &displayIcon);
};

#endif // INSTALLATIONLOOKUP_H
