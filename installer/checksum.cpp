#include "checksum.h"

#include <memory>

#include <openssl/evp.h>

namespace tarnquill {

Result<std::string> sha256_hex(std::span<const std::uint8_t> data) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), data.data(), data.size()) != 1 ||
        EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
        return Error{"OpenSSL could not compute a SHA-256"};
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 0xF]);
    }
    return text;
}

std::filesystem::path checksum_path(const std::filesystem::path& output) {
    auto path = output;
    path.replace_extension(".exe.sha256");
    return path;
}

std::string checksum_line(const std::string& digest, const std::filesystem::path& output) {
    return digest + "  " + output.filename().string() + "\n";
}

} // namespace tarnquill
