#include "entry/entrytexts.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

std::int32_t littleEndian(const unsigned char *bytes)
{
    return std::int32_t(std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16
                        | std::uint32_t(bytes[3]) << 24);
}

} // namespace

std::string EntryTexts::english(int id)
{
    switch (id) {
    case 1420: return "The update could not be prepared: %1";
    case 1421: return "%1 is missing";
    case 1422: return "%1 differs from the file the vendor shipped";
    case 1423: return "%1 is a link; the updater copies no links";
    case 1424: return "%1 could not be read";
    case 1425: return "%1 could not be written";
    case 1426: return "the protected folder %1 could not be made";
    case 1427: return "this program carries no list of the updater's files (the package folder was not laid out by package.sh)";
    case 1428: return "the installation trusts keys, and package.manifest is not signed by one of them";
    case 1429: return "line %1 of a file list is malformed";
    case 1430: return "the installation's list of trusted keys %1 is damaged";
    case 1431: return "%1 could not be started";
    default: return std::string();
    }
}

bool EntryTexts::load(const std::string &utf8Path, int lanType)
{
    m_texts.clear();
    std::ifstream in(std::filesystem::u8path(utf8Path), std::ios::binary);
    unsigned char head[20];
    if (!in || lanType < 0 || lanType > 2 || !in.read(reinterpret_cast<char *>(head), sizeof head))
        return false;
    const std::int32_t languages = littleEndian(head);
    const std::int32_t strings = littleEndian(head + 4);
    const std::int64_t block = littleEndian(head + 8 + 4 * lanType);
    if (languages <= lanType || strings <= kFirstId || strings > 100000 || block < 0)
        return false;
    in.seekg(0, std::ios::end);
    const std::int64_t fileSize = in.tellg();
    const std::int64_t indexSize = 4 * (std::int64_t(strings) + 1);
    if (fileSize <= 0 || block + indexSize > fileSize)
        return false;
    std::vector<unsigned char> index(static_cast<std::size_t>(indexSize));
    in.seekg(block);
    if (!in.read(reinterpret_cast<char *>(index.data()), indexSize))
        return false;
    const std::int64_t dataSize = littleEndian(index.data() + 4 * strings);
    if (dataSize <= 0 || block + indexSize + dataSize > fileSize)
        return false;
    std::string data(std::size_t(dataSize), '\0');
    if (!in.read(&data[0], dataSize) || data.back() != '\0')
        return false;
    for (int id = kFirstId; id <= kLastId && id < strings; ++id) {
        const std::int32_t offset = littleEndian(index.data() + 4 * id);
        if (offset < 0 || offset >= dataSize) {
            m_texts.clear();
            return false;
        }
        m_texts.emplace_back(data.c_str() + offset);
    }
    return true;
}

std::string EntryTexts::text(int id, const std::string &argument) const
{
    std::string text;
    if (id >= kFirstId && std::size_t(id - kFirstId) < m_texts.size())
        text = m_texts[std::size_t(id - kFirstId)];
    if (text.empty())
        text = english(id);
    const auto place = text.find("%1");
    if (place != std::string::npos)
        text.replace(place, 2, argument);
    return text;
}
