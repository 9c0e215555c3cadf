#include "net/UrlDownload.h"

#include "platform/platform.h"
#include "util/MiscFuncUnit.h"

#include <charconv>
#include <curl/curl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string_view>

namespace net {

namespace {

// The body moves in blocks of this size, each written at once.
constexpr long BlockSize = 4096;
// What the platform's own HTTP stack would allow a stalled transfer: about
// a minute to connect, then half a minute without a byte before giving up.
constexpr long ConnectTimeoutSeconds = 60;
constexpr long StallTimeoutSeconds = 30;
constexpr long MaxRedirects = 10;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        auto a = static_cast<unsigned char>(text[i]);
        auto b = static_cast<unsigned char>(prefix[i]);
        if (a >= 'A' && a <= 'Z')
            a = static_cast<unsigned char>(a - 'A' + 'a');
        if (a != b)
            return false;
    }
    return true;
}

// A header value as a 64-bit number; 0 when it is not one.
std::int64_t ToInt64(std::string_view text) {
    const std::string trimmed = misc::Trim(std::string(text));
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), value);
    if (ec != std::errc() || end != trimmed.data() + trimmed.size())
        return 0;
    return value;
}

// The target as the standard library opens it: the UTF-8 text as a path, so
// Windows opens it through its wide entry points whatever the code page.
std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(
        std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

struct CurlEasyDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

// libcurl's process-wide set-up, reference-counted by libcurl itself; held
// for the length of a transfer.
class CurlGlobal {
  public:
    CurlGlobal() : ok_(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) {}
    ~CurlGlobal() {
        if (ok_)
            curl_global_cleanup();
    }
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
    bool Ok() const { return ok_; }

  private:
    bool ok_;
};

} // namespace

class UrlDownload::Transfer {
  public:
    explicit Transfer(UrlDownload& owner) : owner_(owner) {}

    bool Run() {
        std::unique_ptr<CURL, CurlEasyDeleter> curl(curl_easy_init());
        if (!curl)
            return false;
        curl_ = curl.get();
        Configure();
        const CURLcode result = curl_easy_perform(curl_);

        bool succeeded =
            owner_.gotResponse_ && owner_.status_ == 200 && result == CURLE_OK && !failedWrite_;
        // Checked once more after the transfer: a request that came in after
        // the last block still removes what was written.
        if (owner_.TerminationRequested()) {
            succeeded = false;
            owner_.terminated_ = true;
            file_.reset();
            if (createdFile_)
                misc::DeleteFileQuietly(owner_.targetFile_);
        }
        file_.reset();
        return succeeded;
    }

  private:
    void Configure() {
        curl_easy_setopt(curl_, CURLOPT_URL, owner_.url_.c_str());
        curl_easy_setopt(curl_, CURLOPT_USERAGENT, "Tessary");
        // Redirects are followed like the platform's stack does, but only
        // between http and https.
        curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl_, CURLOPT_MAXREDIRS, MaxRedirects);
        curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl_, CURLOPT_BUFFERSIZE, BlockSize);
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, ConnectTimeoutSeconds);
        curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, StallTimeoutSeconds);
        // The system's proxy for this URL where the platform keeps one (the
        // Internet Options on Windows); otherwise libcurl reads http_proxy,
        // https_proxy, all_proxy and no_proxy from the environment by itself,
        // which is the setting on Linux. A proxy's own "200 Connection
        // established" must not count as ours.
        proxy_ = platform::SystemProxyFor(owner_.url_);
        if (proxy_)
            curl_easy_setopt(curl_, CURLOPT_PROXY, proxy_->c_str());
        curl_easy_setopt(curl_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 2L);
        // Schannel: a revocation check that cannot be made (no distribution
        // point, the list server offline) does not refuse the server, as
        // WinInet's own check does not; a certificate known to be revoked
        // still is. Other TLS back ends ignore the option.
        curl_easy_setopt(curl_, CURLOPT_SSL_OPTIONS,
                         static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
        if (!owner_.caBundle_.empty()) {
            curl_easy_setopt(curl_, CURLOPT_CAINFO, owner_.caBundle_.c_str());
            curl_easy_setopt(curl_, CURLOPT_CAPATH, nullptr);
        }
        curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
        curl_easy_setopt(curl_, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, this);
        // Called about once a second even while nothing arrives, so a
        // termination request also ends a stalled connect or read.
        curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, &Transfer::OnTick);
        curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, this);
    }

    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
        return static_cast<Transfer*>(self)->Header(std::string_view(data, size * count));
    }
    static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self) {
        return static_cast<Transfer*>(self)->Body(data, size * count);
    }
    static int OnTick(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<Transfer*>(self)->owner_.TerminationRequested() ? 1 : 0;
    }

    std::size_t Header(std::string_view line) {
        if (StartsWithNoCase(line, "http/")) {
            // A new response (after a redirect or a 1xx).
            pendingLength_ = 0;
            pendingLocation_ = false;
        } else if (StartsWithNoCase(line, "content-length:")) {
            pendingLength_ = ToInt64(line.substr(15));
        } else if (StartsWithNoCase(line, "location:")) {
            pendingLocation_ = true;
        } else if (misc::Trim(std::string(line)).empty()) {
            long code = 0;
            curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &code);
            if (code >= 200 && !(pendingLocation_ && IsFollowedRedirect(code)))
                return EndOfHeader(static_cast<int>(code)) ? line.size() : 0;
        }
        return line.size();
    }

    // The codes libcurl follows when a Location comes with them: such a
    // response is a step on the way, not the answer.
    static bool IsFollowedRedirect(long code) {
        return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
    }

    // A final response header is in. Only a 200 creates the target file.
    bool EndOfHeader(int code) {
        owner_.gotResponse_ = true;
        owner_.status_ = code;
        if (code != 200 || file_)
            return true;
        owner_.contentLength_ = pendingLength_;
        owner_.bytesReceived_ = 0;
        if (owner_.TerminationRequested())
            return false;
        platform::DebugOutput(owner_.targetFile_);
        // Created anew, replacing a file of that name. Unbuffered: every
        // block reaches the file as soon as it arrives.
        file_ = std::make_unique<std::ofstream>();
        file_->rdbuf()->pubsetbuf(nullptr, 0);
        file_->open(PathOf(owner_.targetFile_), std::ios::binary | std::ios::out | std::ios::trunc);
        if (!file_->is_open()) {
            file_.reset();
            failedWrite_ = true;
            return false;
        }
        createdFile_ = true;
        return true;
    }

    std::size_t Body(const char* data, std::size_t length) {
        // Bodies of other responses (error pages) are not kept.
        if (!file_)
            return length;
        file_->write(data, static_cast<std::streamsize>(length));
        file_->flush();
        if (!*file_) {
            failedWrite_ = true;
            return 0;
        }
        owner_.bytesReceived_ += static_cast<std::int64_t>(length);
        if (owner_.onProgress_)
            owner_.onProgress_(owner_.bytesReceived_, owner_.contentLength_);
        return owner_.TerminationRequested() ? 0 : length;
    }

    UrlDownload& owner_;
    CURL* curl_ = nullptr;
    std::optional<std::string> proxy_;
    std::unique_ptr<std::ofstream> file_;
    std::int64_t pendingLength_ = 0;
    bool pendingLocation_ = false;
    bool createdFile_ = false;
    bool failedWrite_ = false;
};

UrlDownload::UrlDownload(std::string url, std::string targetFile)
    : url_(std::move(url)), targetFile_(std::move(targetFile)) {}

bool UrlDownload::Run() {
    status_ = 0;
    gotResponse_ = false;
    terminated_ = false;
    contentLength_ = 0;
    bytesReceived_ = 0;
    const CurlGlobal global;
    if (!global.Ok())
        return false;
    Transfer transfer(*this);
    return transfer.Run();
}

} // namespace net
