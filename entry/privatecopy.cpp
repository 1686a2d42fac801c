#include "entry/privatecopy.h"

#include <sodium.h>

#include <fstream>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#include <sddl.h>
#else
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

PrivateCopy::PrivateCopy(fs::path source)
    : m_source(std::move(source))
{
}

PrivateCopy::~PrivateCopy()
{
    if (!m_folder.empty()) {
        std::error_code ignored;
        fs::remove_all(m_folder, ignored);
    }
}

bool PrivateCopy::fail(int textId, const fs::path &path)
{
    m_error = {textId, path.u8string()};
    return false;
}

bool PrivateCopy::isLink(const fs::path &path) const
{
#ifdef _WIN32
    // Junctions and mount points are reparse points as much as symbolic links are.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
#else
    std::error_code ignored;
    return fs::is_symlink(fs::symlink_status(path, ignored));
#endif
}

bool PrivateCopy::create(const fs::path &parent)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        unsigned char random[8];
        randombytes_buf(random, sizeof random);
        char hex[2 * sizeof random + 1];
        sodium_bin2hex(hex, sizeof hex, random, sizeof random);
        const fs::path folder = parent / (std::string("corvane-update-") + hex);
#ifdef _WIN32
        // Owner Administrators; full control for SYSTEM and Administrators, inherited by
        // everything made inside; "P": nothing inherited from the parent, whose DACL lets
        // users create folders in it.
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                                  SDDL_REVISION_1, &descriptor, nullptr))
            return fail(1426, folder);
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        const BOOL made = CreateDirectoryW(folder.c_str(), &attributes);
        const DWORD why = GetLastError();
        LocalFree(descriptor);
        if (made) {
            m_folder = folder;
            return true;
        }
        if (why != ERROR_ALREADY_EXISTS)
            return fail(1426, folder);
#else
        if (::mkdir(folder.c_str(), 0700) == 0) {
            m_folder = folder;
            return true;
        }
        if (errno != EEXIST)
            return fail(1426, folder);
#endif
    }
    return fail(1426, parent);
}

bool PrivateCopy::copyFile(const std::string &relativePath)
{
    if (m_folder.empty() || !EntryManifest::isAllowedPath(relativePath))
        return fail(1425, fs::u8path(relativePath));
    const fs::path relative = fs::u8path(relativePath);
    fs::path walked = m_source;
    for (const fs::path &part : relative) {
        walked /= part;
        if (isLink(walked))
            return fail(1423, walked);
    }
    std::error_code error;
    if (!fs::is_regular_file(fs::symlink_status(walked, error)))
        return fail(1421, walked);
    const fs::path target = m_folder / relative;
    fs::create_directories(target.parent_path(), error);
    std::ifstream in(walked, std::ios::binary);
    if (!in)
        return fail(1424, walked);
    // The folder is new and ours: a file already there would be a second listing of it.
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!out)
        return fail(1425, target);
    std::vector<char> buffer(std::size_t(1) << 20);
    while (in) {
        in.read(buffer.data(), std::streamsize(buffer.size()));
        if (in.bad())
            return fail(1424, walked);
        if (!out.write(buffer.data(), in.gcount()))
            return fail(1425, target);
    }
    out.close();
    if (!out)
        return fail(1425, target);
    return true;
}

bool PrivateCopy::copyTree(const std::string &relativePath)
{
    const fs::path root = m_source / fs::u8path(relativePath);
    std::error_code error;
    if (isLink(root))
        return fail(1423, root);
    if (!fs::exists(fs::symlink_status(root, error)))
        return true;
    // Not following links: a link to a directory is refused, not walked into.
    fs::recursive_directory_iterator it(root, fs::directory_options::none, error);
    if (error)
        return fail(1424, root);
    for (const fs::recursive_directory_iterator end; it != end; it.increment(error)) {
        if (error)
            return fail(1424, root);
        const fs::path path = it->path();
        if (isLink(path))
            return fail(1423, path);
        if (it->is_directory(error))
            continue;
        const std::string relative = (fs::u8path(relativePath) / path.lexically_relative(root)).generic_u8string();
        if (!copyFile(relative))
            return false;
    }
    if (error)
        return fail(1424, root);
    return true;
}

bool PrivateCopy::hashFile(const fs::path &path, std::array<unsigned char, 32> *digest, std::uint64_t *size)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    std::vector<char> buffer(std::size_t(1) << 20);
    *size = 0;
    while (in) {
        in.read(buffer.data(), std::streamsize(buffer.size()));
        if (in.bad())
            return false;
        crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char *>(buffer.data()),
                                  static_cast<unsigned long long>(in.gcount()));
        *size += static_cast<std::uint64_t>(in.gcount());
    }
    crypto_hash_sha256_final(&state, digest->data());
    return true;
}

bool PrivateCopy::verify(const std::vector<EntryFile> &files)
{
    for (const EntryFile &file : files) {
        const fs::path copy = m_folder / fs::u8path(file.path);
        std::array<unsigned char, 32> digest{};
        std::uint64_t size = 0;
        std::error_code error;
        if (!fs::is_regular_file(fs::symlink_status(copy, error)))
            return fail(1421, fs::u8path(file.path));
        if (!hashFile(copy, &digest, &size))
            return fail(1424, copy);
        if (size != file.size || digest != file.sha256)
            return fail(1422, fs::u8path(file.path));
    }
    return true;
}
