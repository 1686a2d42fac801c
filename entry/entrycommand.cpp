#include "entry/entrycommand.h"

#include <algorithm>

namespace {

bool isNumber(const std::wstring &text)
{
    const std::size_t digits = (!text.empty() && (text[0] == L'-' || text[0] == L'+')) ? 1 : 0;
    return text.size() > digits && text.size() <= 9 + digits
        && std::all_of(text.begin() + std::ptrdiff_t(digits), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

std::wstring absolute(const std::wstring &path, const std::wstring &currentDir)
{
    if (path.empty() || EntryCommand::isAbsolute(path))
        return path;
    std::wstring joined = currentDir;
    if (!joined.empty() && joined.back() != L'\\' && joined.back() != L'/')
        joined += L'\\';
    return joined + path;
}

} // namespace

bool EntryCommand::isAbsolute(const std::wstring &path)
{
    // "C:\x" or "C:/x"; "\\server\share" and "\\?\..."; "\x" (the current drive's root) as
    // the system reads it, which is not relative to the current directory either.
    if (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/'))
        return true;
    return !path.empty() && (path[0] == L'\\' || path[0] == L'/');
}

void EntryCommand::parse(const std::vector<std::wstring> &arguments, const std::wstring &currentDir)
{
    m_childArguments.clear();
    m_language = 1;
    if (!arguments.empty() && arguments[0] == L"--cli") {
        m_mode = Mode::Console;
        for (std::size_t i = 1; i < arguments.size(); ++i) {
            const std::wstring &argument = arguments[i];
            if (argument == L"--report" && i + 1 < arguments.size()) {
                m_childArguments.push_back(argument);
                m_childArguments.push_back(absolute(arguments[++i], currentDir));
            } else if (argument.rfind(L"--report=", 0) == 0) {
                m_childArguments.push_back(L"--report=" + absolute(argument.substr(9), currentDir));
            } else {
                if (argument == L"--lang" && i + 1 < arguments.size() && isNumber(arguments[i + 1]))
                    m_language = std::stoi(arguments[i + 1]);
                else if (argument.rfind(L"--lang=", 0) == 0 && isNumber(argument.substr(7)))
                    m_language = std::stoi(argument.substr(7));
                m_childArguments.push_back(argument);
            }
        }
        return;
    }
    m_mode = Mode::Window;
    if (arguments.empty())
        return;
    // The window reads anything that is not a number as language 0.
    m_language = isNumber(arguments[0]) ? std::stoi(arguments[0]) : 0;
    m_childArguments.push_back(std::to_wstring(m_language));
}

std::wstring EntryCommand::program() const
{
    return m_mode == Mode::Console ? L"corvane-updater-cli.exe" : L"corvane-updater.exe";
}

std::wstring EntryCommand::quoted(const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    // Backslashes are literal except before a quote: there they are doubled, and the
    // quote escaped; those before the closing quote are doubled too.
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            out.append(2 * backslashes + 1, L'\\');
            out += L'"';
        } else {
            out.append(backslashes, L'\\');
            out += c;
        }
        backslashes = 0;
    }
    out.append(2 * backslashes, L'\\');
    out += L'"';
    return out;
}

std::wstring EntryCommand::commandLine(const std::wstring &programPath) const
{
    std::wstring line = quoted(programPath);
    for (const std::wstring &argument : m_childArguments)
        line += L' ' + quoted(argument);
    return line;
}
