// The program-file signature letter, and the signing tool against the check
// the program makes.

#include "app/core/UpdateCheck.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace {

struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

class SignatureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        key_.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
        ASSERT_TRUE(key_);
        publicKey_.resize(32);
        std::size_t length = publicKey_.size();
        ASSERT_EQ(EVP_PKEY_get_raw_public_key(key_.get(), publicKey_.data(), &length), 1);
        program_ = dir_.filePath("Tessary").toStdString();
        Write(program_, QByteArray("\x7f"
                                   "ELF pretend program ") +
                            QByteArray(100000, 'p'));
    }

    static void Write(const std::string& path, const QByteArray& bytes) {
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    static QByteArray Read(const std::string& path) {
        QFile file(QString::fromStdString(path));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QByteArray Sign(const QByteArray& content) const {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
        QByteArray signature(64, '\0');
        std::size_t length = 64;
        EXPECT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()), 1);
        EXPECT_EQ(EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()),
                                 &length, reinterpret_cast<const unsigned char*>(content.data()),
                                 static_cast<std::size_t>(content.size())),
                  1);
        return signature;
    }

    QTemporaryDir dir_;
    Pkey key_;
    std::vector<unsigned char> publicKey_;
    std::string program_;
};

} // namespace

TEST_F(SignatureTest, LetterTellsValidInvalidAndError) {
    EXPECT_EQ(update::SignatureLetter(program_, publicKey_), "n"); // no signature

    Write(program_ + ".sig", Sign(Read(program_)));
    EXPECT_EQ(update::SignatureLetter(program_, publicKey_), "y");
    // Another key, a changed program, a cut signature: it does not verify.
    EXPECT_EQ(update::SignatureLetter(program_, update::VendorPublicKey()), "n");
    Write(program_ + ".sig", Read(program_ + ".sig").left(63));
    EXPECT_EQ(update::SignatureLetter(program_, publicKey_), "n");
    Write(program_ + ".sig", Sign(Read(program_)));
    Write(program_, Read(program_) + "tampered");
    EXPECT_EQ(update::SignatureLetter(program_, publicKey_), "n");

    // The check itself cannot be made: no program to read, an unusable key.
    const std::string gone = dir_.filePath("gone").toStdString();
    Write(gone + ".sig", QByteArray(64, 's'));
    EXPECT_EQ(update::SignatureLetter(gone, publicKey_), "e");
    EXPECT_EQ(update::SignatureLetter(program_, {1, 2, 3}), "e");
}

TEST_F(SignatureTest, ThisBuildIsUnsignedAndSaysSo) {
    EXPECT_EQ(update::VendorPublicKey().size(), 32u);
    EXPECT_EQ(update::ProgramSignatureLetter(), "n");
}

TEST_F(SignatureTest, SigningToolWritesWhatTheProgramAccepts) {
    const QString keyFile = dir_.filePath("release-key.pem");
    {
        std::unique_ptr<std::FILE, decltype(&std::fclose)> out(
            std::fopen(keyFile.toLocal8Bit().constData(), "wb"), &std::fclose);
        ASSERT_TRUE(out);
        ASSERT_EQ(
            PEM_write_PrivateKey(out.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr), 1);
    }
    QProcess tool;
    tool.start(TESSARY_SIGN_TOOL, {keyFile, QString::fromStdString(program_)});
    ASSERT_TRUE(tool.waitForFinished(30000));
    EXPECT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
    EXPECT_EQ(update::SignatureLetter(program_, publicKey_), "y");

    // The public half, printed for embedding, is the key's.
    tool.start(TESSARY_SIGN_TOOL, {"--public-key", keyFile});
    ASSERT_TRUE(tool.waitForFinished(30000));
    ASSERT_EQ(tool.exitCode(), 0);
    std::vector<unsigned char> printed;
    for (const QByteArray& item : tool.readAllStandardOutput().simplified().split(',')) {
        bool ok = false;
        const int value = item.trimmed().toInt(&ok, 16);
        if (ok)
            printed.push_back(static_cast<unsigned char>(value));
    }
    EXPECT_EQ(printed, publicKey_);

    // A file that is not a private key signs nothing.
    const std::string before = Read(program_ + ".sig").toHex().toStdString();
    tool.start(TESSARY_SIGN_TOOL,
               {QString::fromStdString(program_), QString::fromStdString(program_)});
    ASSERT_TRUE(tool.waitForFinished(30000));
    EXPECT_NE(tool.exitCode(), 0);
    EXPECT_EQ(Read(program_ + ".sig").toHex().toStdString(), before);
}
