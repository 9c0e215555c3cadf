#pragma once

// The start-up update check without widgets: the per-user session id, the
// request URL, the INI reply, and the check itself, which the window drives
// through callbacks (message box, close, relay mode) while it owns the state.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TFileDL;

namespace update {

// The update service the program asks; tests pass a loopback server instead.
inline constexpr const char* DefaultUpdateBase = "https://update.tessary.example";
// Where the session id is kept between runs.
inline constexpr const char* SettingsKey = "Software\\Tessary";
inline constexpr const char* SessionIdName = "RandomSessionID";

// The per-user settings store, injectable so tests can make it fail.
struct SettingsStore {
    std::function<std::optional<std::string>(const std::string& key, const std::string& name)> read;
    std::function<bool(const std::string& key, const std::string& name, const std::string& value)>
        write;
};
// The platform's store ($XDG_CONFIG_HOME/Tessary/settings.ini).
SettingsStore UserSettingsStore();

// 32 upper-case hex digits from a new GUID; empty when none could be made.
std::string MakeSessionId();

// The stored RandomSessionID, replaced by a new one (and written back) when
// it is shorter than 20 characters. Store failures are ignored: the new id is
// used for this run even when it could not be kept.
std::string LoadUpdateIdentity(const SettingsStore& store = UserSettingsStore(),
                               const std::function<std::string()>& makeSessionId = MakeSessionId);

// The i parameter: each address as AddressToHex and "-", an address it rejects
// skipped, the trailing "-" dropped, all lower-cased.
std::string AddressParameter(const std::vector<std::string>& addressList);

// base + "/checkupdate/?i=...&v=<digits>-0&sessionid=...&b=...&u=...&s=...".
// Values are sent as they are; only bytes that cannot stand in a query
// unescaped (which no value the program makes contains) are percent-encoded.
std::string BuildUpdateUrl(const std::string& base, const std::vector<std::string>& addressList,
                           const std::string& versionDigits, const std::string& sessionId,
                           const std::string& build, const std::string& pageKey,
                           const std::string& signatureLetter);

// "y" the signature of programFile verifies against publicKey, "n" there is
// none or it does not verify, "e" the check failed.
std::string SignatureLetter(const std::string& programFile,
                            const std::vector<unsigned char>& publicKey);
// The letter for the running program against the vendor's key.
std::string ProgramSignatureLetter();
// The vendor's Ed25519 public key (raw 32 bytes) that releases are signed for.
const std::vector<unsigned char>& VendorPublicKey();

// What a reply asks for. A missing, empty, cut or non-INI file asks nothing.
struct UpdateReply {
    // secureserver + "?" + u (at most 255 bytes) when [Main] status is "1";
    // empty otherwise.
    std::string relayUrlTemplate;
    // A new version is announced with messageText.
    bool showMessage = false;
    std::string messageText;
    // The program is to close once the message has been closed.
    bool closeProgram = false;
};
UpdateReply ReadUpdateReply(const std::string& file);

// What the request carries besides the signature letter.
struct UpdateRequest {
    std::string baseUrl = DefaultUpdateBase;
    std::vector<std::string> addressList;
    std::string versionDigits; // "310"
    std::string sessionId;     // RandomSessionID
    std::string build;         // "191006"
    std::string pageKey;
};

// The pieces the window supplies. Empty members get the defaults noted.
struct UpdateCheckHooks {
    // Makes the download object (default: a plain TFileDL).
    std::function<std::unique_ptr<TFileDL>()> makeDownload;
    // The reply file's path (default: misc::MakeTempFileName).
    std::function<std::string()> makeTempFileName;
    // The s parameter (default: ProgramSignatureLetter).
    std::function<std::string()> signatureLetter;
    // Shows the text in a simple modal message box; returns once closed.
    std::function<void(const std::string& text)> showMessage;
    // Closes the main window the way its close tile does.
    std::function<void()> closeWindow;
    // Switches both URLs to relay mode with the template (connection mode 2).
    std::function<void(const std::string& relayUrlTemplate)> switchToRelay;
};

// The check, once per run, on the GUI thread. relayUrlTemplate is the
// window's: cleared first, set from the reply. downloadInProgress is the
// window's reference for its close query: it points at the download object
// while the check runs (the close query calls Cancel on it) and is null again
// when this returns. The reply file is always deleted. Nothing is shown for
// any failure: no answer, another status, a cancel, a bad reply.
void UpdateCheck(const UpdateRequest& request, const UpdateCheckHooks& hooks,
                 std::string& relayUrlTemplate, TFileDL*& downloadInProgress);

} // namespace update
