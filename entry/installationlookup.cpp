#include "entry/installationlookup.h"

#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

#ifdef _WIN32
std::wstring readValue(const wchar_t *product, const wchar_t *name, REGSAM view)
{
    const std::wstring path = std::wstring(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") + product;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS)
        return std::wstring();
    std::wstring value;
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS
        && (type == REG_SZ || type == REG_EXPAND_SZ) && bytes > 0 && bytes < 65536) {
        value.resize(bytes / sizeof(wchar_t) + 1);
        if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&value[0]), &bytes) == ERROR_SUCCESS)
            value.resize(wcsnlen(value.c_str(), bytes / sizeof(wchar_t)));
        else
            value.clear();
    }
    RegCloseKey(key);
    return value;
}
#endif

} // namespace

std::wstring InstallationLookup::directoryOfIcon(const std::wstring &displayIcon)
{
    const auto first = displayIcon.find_first_not_of(L" \t");
    if (first == std::wstring::npos)
        return std::wstring();
    std::wstring path = displayIcon.substr(first, displayIcon.find_last_not_of(L" \t") - first + 1);
    if (path[0] == L'"') {
        const auto end = path.find(L'"', 1);
        path = end == std::wstring::npos ? path.substr(1) : path.substr(1, end - 1);
    } else {
        // ",0" or ", -3" after the program: the icon index.
        const auto comma = path.find_last_of(L',');
        if (comma != std::wstring::npos) {
            std::wstring index = path.substr(comma + 1);
            index.erase(0, index.find_first_not_of(L" \t"));
            if (!index.empty() && index[0] == L'-')
                index.erase(0, 1);
            if (!index.empty() && index.find_first_not_of(L"0123456789") == std::wstring::npos)
                path.erase(comma);
        }
    }
    const auto separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(0, separator);
}

std::string InstallationLookup::directory(int lanType)
{
#ifdef _WIN32
    const wchar_t *first = lanType == 0 ? L"Ketterin" : L"Ostrelle";
    const wchar_t *second = lanType == 0 ? L"Ostrelle" : L"Ketterin";
    for (const wchar_t *product : {first, second}) {
        for (const REGSAM view : {REGSAM(KEY_WOW64_64KEY), REGSAM(KEY_WOW64_32KEY)}) {
            if (readValue(product, L"DisplayVersion", view).empty())
                continue;
            const std::wstring directory = directoryOfIcon(readValue(product, L"DisplayIcon", view));
            return directory.empty() ? std::string() : std::filesystem::path(directory).u8string();
        }
    }
#else
    (void)lanType;
#endif
    return std::string();
}
