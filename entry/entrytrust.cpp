#include "entry/entrytrust.h"

#include <sodium.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

std::string trimmed(const std::string &text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// The key names and values are ASCII: UTF-16 is narrowed by its low bytes, and any
// other character spoils the key it is in (it no longer reads as hex).
std::string narrowed(const std::string &text)
{
    if (text.size() >= 2 && (static_cast<unsigned char>(text[0]) == 0xff || static_cast<unsigned char>(text[0]) == 0xfe)
        && (static_cast<unsigned char>(text[1]) == 0xfe || static_cast<unsigned char>(text[1]) == 0xff)
        && text[0] != text[1]) {
        const bool littleEndian = static_cast<unsigned char>(text[0]) == 0xff;
        std::string out;
        for (std::size_t i = 2; i + 1 < text.size(); i += 2) {
            const unsigned char low = static_cast<unsigned char>(littleEndian ? text[i] : text[i + 1]);
            const unsigned char high = static_cast<unsigned char>(littleEndian ? text[i + 1] : text[i]);
            out.push_back(high == 0 ? char(low) : '\x7f');
        }
        return out;
    }
    if (text.rfind("\xef\xbb\xbf", 0) == 0)
        return text.substr(3);
    return text;
}

bool fromHex(const std::string &hex, unsigned char *out, std::size_t bytes)
{
    if (hex.size() != 2 * bytes)
        return false;
    for (const char c : hex) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    std::size_t length = 0;
    return sodium_hex2bin(out, bytes, hex.c_str(), hex.size(), nullptr, &length, nullptr) == 0 && length == bytes;
}

} // namespace

EntryTrust EntryTrust::fromText(const std::string &raw)
{
    EntryTrust trust;
    trust.m_state = State::Broken;
    std::istringstream lines(narrowed(raw));
    std::string line;
    std::string group;
    bool begin = false;
    bool end = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        line = trimmed(line);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line.front() == '[' && line.back() == ']') {
            group = line.substr(1, line.size() - 2);
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string name = trimmed(line.substr(0, equals));
        std::string value = trimmed(line.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (name == "CODE" && value == "tarnwoven") {
            begin = begin || group == "ZRFILE_BEGIN";
            end = end || group == "ZRFILE_END";
        }
        if (group != "KEYS")
            continue;
        std::array<unsigned char, 32> key{};
        if (!fromHex(value, key.data(), key.size())) {
            trust.m_keys.clear();
            return trust;
        }
        trust.m_keys.push_back(key);
    }
    if (begin && end && !trust.m_keys.empty())
        trust.m_state = State::Trusted;
    else
        trust.m_keys.clear();
    return trust;
}

EntryTrust EntryTrust::fromFile(const std::string &utf8Path)
{
    std::error_code ignored;
    const auto path = std::filesystem::u8path(utf8Path);
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, ignored)))
        return EntryTrust();
    std::ifstream file(path, std::ios::binary);
    std::string text;
    if (file) {
        // A keys file is a few lines; anything beyond a megabyte is no keys file.
        text.resize(std::size_t(1) << 20);
        file.read(&text[0], std::streamsize(text.size()));
        text.resize(std::size_t(file.gcount()));
    }
    if (!file && !file.eof()) {
        EntryTrust broken;
        broken.m_state = State::Broken;
        return broken;
    }
    return fromText(text);
}

bool EntryTrust::verify(const std::string &manifest, const std::string &signatureText)
{
    m_error = {};
    if (m_state != State::Trusted) {
        m_error = {1428, std::string()};
        return false;
    }
    std::istringstream lines(signatureText);
    std::string line;
    bool header = false;
    while (std::getline(lines, line)) {
        if (!header) {
            header = line == "corvane-signature 1";
            if (!header)
                break;
            continue;
        }
        std::istringstream fields(line);
        std::string kind, keyHex, signatureHex, rest;
        if (!(fields >> kind >> keyHex >> signatureHex) || (fields >> rest) || kind != "ed25519")
            continue;
        std::array<unsigned char, 32> key{};
        std::array<unsigned char, crypto_sign_BYTES> signature{};
        if (!fromHex(keyHex, key.data(), key.size()) || !fromHex(signatureHex, signature.data(), signature.size()))
            continue;
        if (std::find(m_keys.begin(), m_keys.end(), key) == m_keys.end())
            continue;
        if (crypto_sign_verify_detached(signature.data(), reinterpret_cast<const unsigned char *>(manifest.data()),
                                        manifest.size(), key.data()) == 0)
            return true;
    }
    m_error = {1428, std::string()};
    return false;
}
