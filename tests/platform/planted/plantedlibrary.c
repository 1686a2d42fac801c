// A library planted beside a program under the name of a Windows library that is not a
// KnownDLL (so Windows looks in the program's folder first): appends its own path to the
// file named by CORVANE_PLANTED_MARKER, then lets the program go on through its exports,
// each forwarded to the real library in System32 (scripts/windows/plant-libraries.sh).
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t marker[1024];
        wchar_t name[MAX_PATH];
        DWORD length = GetEnvironmentVariableW(L"CORVANE_PLANTED_MARKER", marker, 1024);
        if (length == 0 || length >= 1024)
            return TRUE;
        GetModuleFileNameW(self, name, MAX_PATH);
        HANDLE file = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written;
            char line[MAX_PATH * 3 + 2];
            int bytes = WideCharToMultiByte(CP_UTF8, 0, name, -1, line, MAX_PATH * 3, NULL, NULL);
            if (bytes > 0) {
                line[bytes - 1] = '\n';
                WriteFile(file, line, (DWORD)bytes, &written, NULL);
            }
            CloseHandle(file);
        }
    }
    return TRUE;
}
