#include "entry/entrymanifest.h"

#include <algorithm>
#include <set>

namespace {

const char kHeader[] = "corvane-manifest 1";

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string asciiFolded(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; });
    return text;
}

} // namespace

bool EntryManifest::fail(std::size_t line)
{
    m_files.clear();
    m_error = {1429, std::to_string(line)};
    return false;
}

bool EntryManifest::isAllowedPath(const std::string &path)
{
    if (path.empty() || path.size() > kMaxPathBytes || path.front() == '/')
        return false;
    for (const char c : path) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == '\\' || c == ':')
            return false;
    }
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == ".." || part.back() == '.' || part.back() == ' ')
            return false;
        start = end + 1;
    }
    return true;
}

bool EntryManifest::parse(const std::string &text)
{
    m_files.clear();
    m_error = {};
    if (text.size() > kMaxTextBytes || text.empty() || text.back() != '\n'
        || text.find('\r') != std::string::npos || text.find('\0') != std::string::npos)
        return fail(0);

    std::set<std::string> folded;
    std::set<std::string> directories;
    std::string previous;
    std::size_t lineNumber = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (lineNumber == 1) {
            if (line != kHeader)
                return fail(lineNumber);
            continue;
        }
        if (m_files.size() >= kMaxEntries)
            return fail(lineNumber);
        const std::size_t first = line.find(' ');
        const std::size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
        if (second == std::string::npos || first != 64)
            return fail(lineNumber);
        EntryFile file;
        for (std::size_t i = 0; i < 32; ++i) {
            const int high = hexValue(line[2 * i]);
            const int low = hexValue(line[2 * i + 1]);
            if (high < 0 || low < 0)
                return fail(lineNumber);
            file.sha256[i] = static_cast<unsigned char>(high * 16 + low);
        }
        const std::string size = line.substr(first + 1, second - first - 1);
        if (size.empty() || size.size() > 12 || (size.size() > 1 && size[0] == '0')
            || !std::all_of(size.begin(), size.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return fail(lineNumber);
        file.size = std::stoull(size);
        file.path = line.substr(second + 1);
        if (file.size > kMaxFileSize || !isAllowedPath(file.path) || file.path == "package.manifest"
            || file.path == "package.manifest.sig" || file.path == "log" || file.path.rfind("log/", 0) == 0)
            return fail(lineNumber);
        if (!previous.empty() && !(previous < file.path))
            return fail(lineNumber);
        // Windows finds a file whatever the letter case: two paths that differ only in it
        // name one file, and a file cannot also be a directory.
        const std::string key = asciiFolded(file.path);
        if (folded.count(key) || directories.count(key))
            return fail(lineNumber);
        for (std::size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
            if (folded.count(key.substr(0, slash)))
                return fail(lineNumber);
            directories.insert(key.substr(0, slash));
        }
        folded.insert(key);
        previous = file.path;
        m_files.push_back(std::move(file));
    }
    return true;
}
