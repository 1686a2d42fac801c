#include "entry/entryrun.h"

#include "entry/embeddedlist.h"
#include "entry/entrymanifest.h"
#include "entry/entrytrust.h"
#include "entry/installationlookup.h"
#include "entry/privatecopy.h"

#include <sodium.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

std::wstring moduleFolder()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], DWORD(path.size()));
        if (length == 0)
            return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return fs::path(path).parent_path().wstring();
}

std::wstring currentFolder()
{
    const DWORD length = GetCurrentDirectoryW(0, nullptr);
    std::wstring path(length, L'\0');
    path.resize(GetCurrentDirectoryW(length, &path[0]));
    return path;
}

std::wstring wide(const std::string &utf8)
{
    return fs::u8path(utf8).wstring();
}

bool readSmallFile(const fs::path &path, std::string *text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    text->assign(std::size_t(EntryManifest::kMaxTextBytes) + 1, '\0');
    in.read(&(*text)[0], std::streamsize(text->size()));
    if (in.bad())
        return false;
    text->resize(std::size_t(in.gcount()));
    return true;
}

bool isVerificationError(int textId)
{
    return textId == 1421 || textId == 1422 || textId == 1423 || textId == 1428 || textId == 1429 || textId == 1430;
}

} // namespace

int EntryRun::report(const EntryError &error, int status) const
{
    const std::string message = m_texts.text(1420, m_texts.text(error.textId, error.argument));
    const std::wstring text = wide(message);
    if (m_command.mode() == EntryCommand::Mode::Window) {
        // USER32 is loaded here, from System32, rather than imported: Wine resolves the
        // imports of its own USER32 (VERSION.dll among them) from the program's folder
        // first, before the program's first line could stop it.
        using MessageBoxFunction = int(WINAPI *)(HWND, LPCWSTR, LPCWSTR, UINT);
        if (const HMODULE user32 = LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
            const auto messageBox = reinterpret_cast<MessageBoxFunction>(
                reinterpret_cast<void (*)()>(GetProcAddress(user32, "MessageBoxW")));
            if (messageBox)
                messageBox(nullptr, text.c_str(), L"Corvane", MB_OK | MB_ICONERROR);
        }
        return status;
    }
    const HANDLE output = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(output, &mode)) {
        const std::wstring line = text + L"\r\n";
        WriteConsoleW(output, line.c_str(), DWORD(line.size()), &written, nullptr);
    } else {
        const std::string line = message + "\r\n";
        WriteFile(output, line.data(), DWORD(line.size()), &written, nullptr);
    }
    return status;
}

bool EntryRun::prepare(PrivateCopy *copy, const fs::path &parent)
{
    const auto failed = [this](const EntryError &error) {
        m_error = error;
        return false;
    };
    // Which list vouches for which files: a signed manifest where the installation trusts
    // keys, the list built into this program otherwise.
    const std::string installation = InstallationLookup::directory(m_command.language());
    EntryTrust trust;
    if (!installation.empty())
        trust = EntryTrust::fromFile((fs::u8path(installation) / "config" / "TRUSTED_KEYS.ini").u8string());
    if (trust.state() == EntryTrust::State::Broken)
        return failed({1430, (fs::u8path(installation) / "config" / "TRUSTED_KEYS.ini").u8string()});

    const fs::path source = fs::path(m_folder);
    std::error_code ignored;
    const bool hasManifest = fs::exists(fs::symlink_status(source / "package.manifest", ignored));
    std::vector<EntryFile> checked;
    if (trust.state() == EntryTrust::State::Trusted && hasManifest) {
        std::string manifestText;
        std::string signatureText;
        if (!readSmallFile(source / "package.manifest", &manifestText))
            return failed({1424, (source / "package.manifest").u8string()});
        readSmallFile(source / "package.manifest.sig", &signatureText);
        if (!trust.verify(manifestText, signatureText))
            return failed(trust.error());
        EntryManifest manifest;
        if (!manifest.parse(manifestText))
            return failed(manifest.error());
        checked = manifest.files();
        if (!copy->create(parent))
            return failed(copy->error());
        for (const EntryFile &file : checked) {
            if (!copy->copyFile(file.path))
                return failed(copy->error());
        }
        for (const char *name : {"package.manifest", "package.manifest.sig"}) {
            if (fs::exists(fs::symlink_status(source / name, ignored)) && !copy->copyFile(name))
                return failed(copy->error());
        }
    } else {
        const std::string list = EmbeddedList::text();
        if (list.empty())
            return failed({1427, std::string()});
        EntryManifest own;
        if (!own.parse(list))
            return failed(own.error());
        checked = own.files();
        if (!copy->create(parent))
            return failed(copy->error());
        for (const EntryFile &file : checked) {
            if (!copy->copyFile(file.path))
                return failed(copy->error());
        }
        // The package's data: read by the updater, never loaded as code; the updater in
        // the copy checks it against the package's manifest where there is one.
        for (const char *name : {"version.ini", "package.manifest", "package.manifest.sig"}) {
            if (fs::exists(fs::symlink_status(source / name, ignored)) && !copy->copyFile(name))
                return failed(copy->error());
        }
        if (!copy->copyTree("application"))
            return failed(copy->error());
    }
    if (!copy->verify(checked))
        return failed(copy->error());
    return true;
}

int EntryRun::startAndWait(const PrivateCopy &copy)
{
    const std::wstring program = (copy.folder() / m_command.program()).wstring();
    std::wstring line = m_command.commandLine(program);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    BOOL inherit = FALSE;
    if (m_command.mode() == EntryCommand::Mode::Console) {
        // The console program writes where the entry writes: the console, or the pipes and
        // files of a roll-out tool.
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        for (const HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
            if (handle && handle != INVALID_HANDLE_VALUE)
                SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        }
        inherit = TRUE;
    }
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, inherit, 0, nullptr, copy.folder().c_str(),
                        &startup, &process))
        return report({1431, copy.folder().u8string() + "\\" + fs::path(m_command.program()).u8string()}, kExitBadInput);
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = DWORD(kExitBadInput);
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    return int(status);
}

void EntryRun::returnLog(const PrivateCopy &copy) const
{
    // The updater writes its log in its current folder, the copy, which goes: the lines
    // are appended to the package folder's log/, where they always were. That folder is
    // writable by others, so nothing is written through a link or into a file with a
    // second name (a hard link to a system file).
    const fs::path logs = copy.folder() / "log";
    const fs::path target = fs::path(m_folder) / "log";
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(logs, error)))
        return;
    CreateDirectoryW(target.c_str(), nullptr);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)
        || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return;
    for (const fs::directory_entry &entry : fs::directory_iterator(logs, error)) {
        if (!entry.is_regular_file(error))
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const HANDLE file = CreateFileW((target / entry.path().filename()).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            continue;
        BY_HANDLE_FILE_INFORMATION information{};
        DWORD written = 0;
        if (GetFileInformationByHandle(file, &information) && information.nNumberOfLinks == 1
            && !(information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
            WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr);
        CloseHandle(file);
    }
}

int EntryRun::run(const std::vector<std::wstring> &arguments)
{
    m_command.parse(arguments, currentFolder());
    if (m_command.mode() == EntryCommand::Mode::Window) {
        // Started from the Explorer the console is ours alone: hide it behind the window.
        DWORD processes[2];
        if (GetConsoleProcessList(processes, 2) == 1)
            FreeConsole();
    }
    m_folder = moduleFolder();
    m_texts.load((fs::path(m_folder) / "string.bin").u8string(), m_command.language());
    if (sodium_init() < 0)
        return report({1426, std::string()}, kExitBadInput);

    // The system's own temporary folder, named by the system rather than by a variable
    // of the environment the user started us with.
    std::wstring windows(MAX_PATH, L'\0');
    windows.resize(GetSystemWindowsDirectoryW(&windows[0], UINT(windows.size())));
    const fs::path parent = fs::path(windows) / L"Temp";

    int status = kExitBadInput;
    {
        PrivateCopy copy{fs::path(m_folder)};
        if (!prepare(&copy, parent))
            return report(m_error, isVerificationError(m_error.textId) ? kExitRefused : kExitBadInput);
        status = startAndWait(copy);
        returnLog(copy);
    }
    return status;
}
