#ifndef ENTRYCOMMAND_H
#define ENTRYCOMMAND_H

#include <string>
#include <vector>

// The elevated entry's command line and the one it gives the updater it starts:
//
//     corvane-update [language]          the window, in that language
//     corvane-update --cli [options]     the console program with those options
//
// Paths given to the console program (--report) are made absolute against the entry's
// current directory, since the updater runs in the private copy. The window gets only a
// language number: no argument can reach Qt's own options (-platformpluginpath ...).
class EntryCommand
{
public:
    enum class Mode { Window, Console };

    // arguments without the program name; currentDir absolute (a Windows path).
    void parse(const std::vector<std::wstring> &arguments, const std::wstring &currentDir);

    Mode mode() const { return m_mode; }
    // "corvane-updater.exe" or "corvane-updater-cli.exe".
    std::wstring program() const;
    const std::vector<std::wstring> &childArguments() const { return m_childArguments; }
    // The language of the entry's own texts: the window's argument or --lang; 1 without.
    int language() const { return m_language; }

    // The whole command line of the child, its program path first, each part quoted so
    // that CommandLineToArgvW and the C runtime give back exactly these arguments.
    std::wstring commandLine(const std::wstring &programPath) const;
    static std::wstring quoted(const std::wstring &argument);
    static bool isAbsolute(const std::wstring &path);

private:
    Mode m_mode = Mode::Window;
    std::vector<std::wstring> m_childArguments;
    int m_language = 1;
};

#endif // ENTRYCOMMAND_H
