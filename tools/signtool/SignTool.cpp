// tessary-sign: writes the detached Ed25519 signature "<file>.sig" that the
// program checks at its update request, and prints a key's public half in
// the form the program embeds.
//
//   tessary-sign <private-key.pem> <program-file>   sign (and verify) the file
//   tessary-sign --public-key <private-key.pem>     print the raw public key

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr std::size_t SignatureBytes = 64;
constexpr std::size_t PublicKeyBytes = 32;

struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;

int Fail(const std::string& message) {
    std::cerr << "tessary-sign: " << message << "\n";
    ERR_print_errors_fp(stderr);
    return 1;
}

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

Pkey LoadPrivateKey(const std::string& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return nullptr;
    Pkey key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
    if (key && EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return nullptr;
    return key;
}

std::optional<std::vector<unsigned char>> RawPublicKey(EVP_PKEY* key) {
    std::vector<unsigned char> raw(PublicKeyBytes);
    std::size_t length = raw.size();
    if (EVP_PKEY_get_raw_public_key(key, raw.data(), &length) != 1 || length != PublicKeyBytes)
        return std::nullopt;
    return raw;
}

int PrintPublicKey(const std::string& keyFile) {
    const Pkey key = LoadPrivateKey(keyFile);
    if (!key)
        return Fail("cannot read an Ed25519 private key from " + keyFile);
    const auto raw = RawPublicKey(key.get());
    if (!raw)
        return Fail("cannot derive the public key");
    for (std::size_t i = 0; i < raw->size(); ++i) {
        std::printf("0x%02x,%s", (*raw)[i], (i % 16 == 15) ? "\n" : " ");
    }
    return 0;
}

int Sign(const std::string& keyFile, const std::string& programFile) {
    const Pkey key = LoadPrivateKey(keyFile);
    if (!key)
        return Fail("cannot read an Ed25519 private key from " + keyFile);
    const auto content = ReadAll(programFile);
    if (!content)
        return Fail("cannot read " + programFile);

    std::vector<unsigned char> signature(SignatureBytes);
    std::size_t length = signature.size();
    MdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &length, content->data(), content->size()) !=
            1 ||
        length != SignatureBytes)
        return Fail("signing failed");

    // Checked before it is written: a signature that does not verify must
    // never ship.
    MdCtx verify(EVP_MD_CTX_new());
    if (!verify || EVP_DigestVerifyInit(verify.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestVerify(verify.get(), signature.data(), length, content->data(),
                         content->size()) != 1)
        return Fail("the new signature does not verify");

    const std::string target = programFile + ".sig";
    const std::string temp = target + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(signature.data()),
                  static_cast<std::streamsize>(length));
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temp, ignored);
            return Fail("cannot write " + temp);
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, target, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        return Fail("cannot write " + target);
    }
    std::cout << "signed " << programFile << " -> " << target << "\n";
    return 0;
}

void Usage() {
    std::cerr << "usage: tessary-sign <private-key.pem> <program-file>\n"
                 "       tessary-sign --public-key <private-key.pem>\n";
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() != 2) {
        Usage();
        return 2;
    }
    if (args[0] == "--public-key")
        return PrintPublicKey(args[1]);
    return Sign(args[0], args[1]);
}
