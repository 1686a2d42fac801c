#ifndef ENTRYTRUST_H
#define ENTRYTRUST_H

#include "entry/entryerror.h"

#include <array>
#include <string>
#include <vector>

// The keys an installation trusts (config/TRUSTED_KEYS.ini, a marked INI file with one
// key per entry of [KEYS]) and the check of package.manifest.sig against them, read
// without Qt for the elevated entry. A file that exists but holds no usable key, lacks
// its markers or holds a malformed key makes it Broken: the installation meant to trust
// someone, so nothing is accepted until it is mended.
class EntryTrust
{
public:
    enum class State { NoKeys, Trusted, Broken };

    // The file's bytes (UTF-8, or UTF-16 with a byte-order mark as some editors save it).
    static EntryTrust fromText(const std::string &text);
    // NoKeys when the file does not exist; Broken when it cannot be read.
    static EntryTrust fromFile(const std::string &utf8Path);

    State state() const { return m_state; }
    std::size_t keyCount() const { return m_keys.size(); }

    // True when one line of the signature file ("corvane-signature 1", then
    // "ed25519 <public key> <signature>" lines) is a valid Ed25519 signature of the
    // manifest's exact bytes by a trusted key. False with error() set otherwise.
    bool verify(const std::string &manifest, const std::string &signatureText);
    const EntryError &error() const { return m_error; }

private:
    State m_state = State::NoKeys;
    std::vector<std::array<unsigned char, 32>> m_keys;
    EntryError m_error;
};

#endif // ENTRYTRUST_H
