// The program-file signature check: a detached Ed25519 signature (the 64 raw
// signature bytes) in "<file>.sig", made by tools/signtool over the whole file.

#include "platform/platform.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <openssl/err.h>
#include <openssl/evp.h>

namespace platform {
namespace {

constexpr std::size_t Ed25519KeyBytes = 32;
constexpr std::size_t Ed25519SignatureBytes = 64;

struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

std::optional<std::vector<unsigned char>> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return data;
}

} // namespace

SignatureResult VerifyDetachedSignature(const std::string& file,
                                        std::span<const unsigned char> publicKey) {
    if (publicKey.size() != Ed25519KeyBytes)
        return SignatureResult::Error;
    const std::string signatureFile = file + ".sig";
    std::error_code ec;
    if (!std::filesystem::exists(signatureFile, ec))
        return ec ? SignatureResult::Error : SignatureResult::Invalid;
    const auto signature = ReadAll(signatureFile);
    if (!signature)
        return SignatureResult::Error;
    if (signature->size() != Ed25519SignatureBytes)
        return SignatureResult::Invalid;
    // Ed25519 signs the message itself, not a digest, so the whole file is
    // needed at once.
    const auto content = ReadAll(file);
    if (!content)
        return SignatureResult::Error;

    std::unique_ptr<EVP_PKEY, PkeyDeleter> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()));
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
    if (!key || !ctx ||
        EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        ERR_clear_error();
        return SignatureResult::Error;
    }
    const int verdict = EVP_DigestVerify(ctx.get(), signature->data(), signature->size(),
                                         content->data(), content->size());
    if (verdict == 1)
        return SignatureResult::Valid;
    // 0: a signature that does not match; anything else: the check failed.
    ERR_clear_error();
    return verdict == 0 ? SignatureResult::Invalid : SignatureResult::Error;
}

} // namespace platform
