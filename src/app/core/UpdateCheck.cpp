#include "app/core/UpdateCheck.h"

#include "net/SyncFileLoadUnit.h"
#include "platform/platform.h"
#include "util/HTMTemplateUnit.h"
#include "util/IniProfile.h"
#include "util/MiscFuncUnit.h"

#include <exception>

namespace update {
namespace {

// A stored id shorter than this is made anew.
constexpr std::size_t MinSessionIdLength = 20;
// RelayUrlTemplate is short text.
constexpr std::size_t MaxRelayTemplateBytes = 255;

std::string ToLowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string ToUpperAscii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// Percent-encodes every byte but the unreserved ones, so an edited session
// id cannot add parameters or break the request.
std::string QueryValue(const std::string& value) {
    return htmtemplate::PercentEncode(value);
}

std::string ReadTrimmed(const std::string& file, const char* section, const char* key,
                        const char* defaultValue) {
    return misc::Trim(ini::ReadProfileString(file, section, key, defaultValue));
}

// Runs the check's clean-up however the check is left.
class CheckCleanup {
  public:
    CheckCleanup(std::string& replyFile, std::unique_ptr<TFileDL>& download,
                 TFileDL*& downloadInProgress)
        : replyFile_(replyFile), download_(download), downloadInProgress_(downloadInProgress) {}
    ~CheckCleanup() {
        if (!replyFile_.empty())
            misc::DeleteFileQuietly(replyFile_);
        download_.reset();
        downloadInProgress_ = nullptr;
    }
    CheckCleanup(const CheckCleanup&) = delete;
    CheckCleanup& operator=(const CheckCleanup&) = delete;

  private:
    std::string& replyFile_;
    std::unique_ptr<TFileDL>& download_;
    TFileDL*& downloadInProgress_;
};

} // namespace

SettingsStore UserSettingsStore() {
    return {&platform::ReadUserSetting, &platform::WriteUserSetting};
}

std::string MakeSessionId() {
    const auto guid = platform::NewGuidText();
    if (!guid || guid->size() < 2)
        return {};
    std::string digits = guid->substr(1, guid->size() - 2);
    std::erase(digits, '-');
    return digits.size() > MinSessionIdLength ? digits : std::string();
}

std::string LoadUpdateIdentity(const SettingsStore& store,
                               const std::function<std::string()>& makeSessionId) {
    std::string id;
    if (store.read)
        id = store.read(SettingsKey, SessionIdName).value_or(std::string());
    if (id.size() < MinSessionIdLength) {
        id = makeSessionId();
        // Not kept: the next start makes another one.
        if (store.write)
            store.write(SettingsKey, SessionIdName, id);
    }
    return id;
}

std::string AddressParameter(const std::vector<std::string>& addressList) {
    std::string text;
    for (const std::string& address : addressList) {
        try {
            text += misc::AddressToHex(address) + "-";
        } catch (const misc::ListIndexError&) {
            // Not an address of four parts: left out of the request.
        }
    }
    if (!text.empty())
        text.pop_back();
    return ToLowerAscii(text);
}

std::string BuildUpdateUrl(const std::string& base, const std::vector<std::string>& addressList,
                           const std::string& versionDigits, const std::string& sessionId,
                           const std::string& build, const std::string& pageKey,
                           const std::string& signatureLetter) {
    std::string url = base;
    if (url.ends_with('/'))
        url.pop_back();
    url += "/checkupdate/?i=" + QueryValue(AddressParameter(addressList));
    url += "&v=" + QueryValue(versionDigits) + "-0";
    url += "&sessionid=" + QueryValue(ToLowerAscii(sessionId));
    url += "&b=" + QueryValue(build);
    url += "&u=" + QueryValue(pageKey);
    url += "&s=" + QueryValue(signatureLetter);
    return url;
}

const std::vector<unsigned char>& VendorPublicKey() {
    // The vendor's release key; the private half never enters the repository
    // (see docs/release-signing.md).
    static const std::vector<unsigned char> key = {
        0x93, 0x4c, 0xe6, 0x5c, 0x66, 0x7b, 0x3d, 0xaa, 0xe4, 0x52, 0xae,
        0x16, 0x11, 0xe2, 0x54, 0x5f, 0x09, 0xfd, 0x60, 0xb9, 0xa5, 0x1d,
        0xa8, 0x4e, 0x72, 0xb3, 0x7f, 0xa1, 0xd1, 0x68, 0x18, 0xc7,
    };
    return key;
}

std::string SignatureLetter(const std::string& programFile,
                            const std::vector<unsigned char>& publicKey) {
    switch (platform::VerifyDetachedSignature(programFile, publicKey)) {
    case platform::SignatureResult::Valid:
        return "y";
    case platform::SignatureResult::Invalid:
        return "n";
    case platform::SignatureResult::Error:
        break;
    }
    return "e";
}

std::string ProgramSignatureLetter() {
    const std::string program = platform::ExecutablePath();
    if (program.empty())
        return "e";
    return SignatureLetter(program, VendorPublicKey());
}

UpdateReply ReadUpdateReply(const std::string& file) {
    UpdateReply reply;
    const std::string secureServer = ReadTrimmed(file, "Main", "secureserver", "");
    const std::string relayPath = ReadTrimmed(file, "Main", "u", "");
    const std::string status = ReadTrimmed(file, "Main", "status", "0");
    if (status == "1")
        reply.relayUrlTemplate =
            misc::CutUtf8Bytes(secureServer + "?" + relayPath, MaxRelayTemplateBytes);

    // [Version] counts only for this software; [Main] above does regardless.
    if (ToUpperAscii(ReadTrimmed(file, "Version", "software", "")) != "TESSARY")
        return reply;
    const std::string newVersion = ReadTrimmed(file, "Version", "newversion", "no");
    const std::string message = ReadTrimmed(file, "Version", "versionmsg", "");
    const std::string feature = ReadTrimmed(file, "Version", "feature", "nono");
    if (newVersion == "yes" && !message.empty()) {
        reply.showMessage = true;
        reply.messageText = message;
        reply.closeProgram = feature == "yes";
    }
    return reply;
}

void UpdateCheck(const UpdateRequest& request, const UpdateCheckHooks& hooks,
                 std::string& relayUrlTemplate, TFileDL*& downloadInProgress) {
    relayUrlTemplate.clear();

    std::unique_ptr<TFileDL> download =
        hooks.makeDownload ? hooks.makeDownload() : std::make_unique<TFileDL>();
    std::string replyFile;
    {
        CheckCleanup cleanup(replyFile, download, downloadInProgress);
        downloadInProgress = download.get();
        UpdateReply reply;
        try {
            const std::string letter =
                hooks.signatureLetter ? hooks.signatureLetter() : ProgramSignatureLetter();
            const std::string url =
                BuildUpdateUrl(request.baseUrl, request.addressList, request.versionDigits,
                               request.sessionId, request.build, request.pageKey, letter);
            replyFile =
                hooks.makeTempFileName ? hooks.makeTempFileName() : misc::MakeTempFileName();
            if (!download || download->DownloadToFile(url, replyFile) != 200)
                return;
            reply = ReadUpdateReply(replyFile);
        } catch (const std::exception&) {
            // The update path never shows an error: the check just ends.
            return;
        }

        relayUrlTemplate = reply.relayUrlTemplate;
        if (reply.showMessage) {
            if (hooks.showMessage)
                hooks.showMessage(reply.messageText);
            // The close query still finds downloadInProgress set and cancels
            // it, which touches no worker now.
            if (reply.closeProgram && hooks.closeWindow)
                hooks.closeWindow();
        }
    }
    // Also after a close request: the program ends once this returns.
    if (!relayUrlTemplate.empty() && hooks.switchToRelay)
        hooks.switchToRelay(relayUrlTemplate);
}

} // namespace update
