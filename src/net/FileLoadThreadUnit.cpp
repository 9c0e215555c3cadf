#include "net/FileLoadThreadUnit.h"

#include "platform/platform.h"
#include "util/MiscFuncUnit.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMetaObject>
#include <charconv>
#include <cstdio>
#include <curl/curl.h>
#include <memory>
#include <string_view>

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

std::string_view TrimView(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
        text.remove_suffix(1);
    return text;
}

// A header value as a 64-bit number; 0 when it is not one.
std::int64_t ToInt64(std::string_view text) {
    text = TrimView(text);
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return 0;
    return value;
}

struct CurlEasyDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

class TFileLoadThread::Transfer {
  public:
    explicit Transfer(TFileLoadThread& owner) : owner_(owner) {}

    // The whole transfer; true when the status was 200 and the body was read
    // to its end without a termination request.
    bool Run() {
        std::unique_ptr<CURL, CurlEasyDeleter> curl(curl_easy_init());
        if (!curl)
            return false;
        curl_ = curl.get();
        Configure();
        const CURLcode result = curl_easy_perform(curl_);

        bool succeeded =
            headerComplete_ && owner_.status_ == 200 && result == CURLE_OK && !failedWrite_;
        // Checked once more after the transfer: a request that came in after
        // the last block still removes what this worker wrote.
        if (owner_.TerminationRequested()) {
            succeeded = false;
            owner_.status_ = StatusCancelled;
            file_.reset();
            if (createdFile_)
                misc::DeleteFileQuietly(owner_.targetFile_);
        }
        file_.reset();

        if (headerComplete_ && owner_.onComplete_) {
            const int tag = owner_.tag_;
            const int status = owner_.status_;
            owner_.HandOver(
                [this, tag, status] { owner_.onComplete_(tag, status, std::string()); });
        }
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
        // libcurl reads http_proxy, https_proxy, all_proxy and no_proxy from
        // the environment by itself: that is this system's proxy setting. A
        // proxy's own "200 Connection established" must not count as ours.
        curl_easy_setopt(curl_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 2L);
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
        } else if (TrimView(line).empty()) {
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
        headerComplete_ = true;
        owner_.status_ = code;
        if (code != 200 || file_)
            return true;
        owner_.contentLength_ = pendingLength_;
        owner_.bytesReceived_ = 0;
        if (owner_.TerminationRequested())
            return false;
        platform::DebugOutput(owner_.targetFile_);
        file_.reset(std::fopen(owner_.targetFile_.c_str(), "w+b"));
        if (!file_) {
            failedWrite_ = true;
            return false;
        }
        createdFile_ = true;
        // Unbuffered: every block reaches the file as soon as it arrives.
        std::setvbuf(file_.get(), nullptr, _IONBF, 0);
        return true;
    }

    std::size_t Body(const char* data, std::size_t length) {
        // Bodies of other responses (error pages) are not kept.
        if (!file_)
            return length;
        if (std::fwrite(data, 1, length, file_.get()) != length) {
            failedWrite_ = true;
            return 0;
        }
        owner_.bytesReceived_ += static_cast<std::int64_t>(length);
        owner_.ReportProgress();
        return owner_.TerminationRequested() ? 0 : length;
    }

    TFileLoadThread& owner_;
    CURL* curl_ = nullptr;
    std::unique_ptr<std::FILE, FileCloser> file_;
    std::int64_t pendingLength_ = 0;
    bool pendingLocation_ = false;
    bool headerComplete_ = false;
    bool createdFile_ = false;
    bool failedWrite_ = false;
};

TFileLoadThread::TFileLoadThread(std::string url, std::string targetFile, std::string caBundle)
    : url_(std::move(url)), targetFile_(std::move(targetFile)), caBundle_(std::move(caBundle)) {
    // Reference-counted; done here, on the owner's thread, before any worker
    // runs, as libcurl asks.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    // The worker releases itself once its end-of-thread notice has run.
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

TFileLoadThread::~TFileLoadThread() {
    RequestTermination();
    // A hand-over the worker started just before the request waits for this
    // thread: deliver it while waiting, so neither side blocks the other.
    while (!wait(QDeadlineTimer(20)))
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    curl_global_cleanup();
}

void TFileLoadThread::run() {
    contentLength_ = 0;
    Transfer transfer(*this);
    succeeded_ = transfer.Run();
}

void TFileLoadThread::HandOver(const std::function<void()>& fn) {
    if (TerminationRequested())
        return;
    QMetaObject::invokeMethod(
        this, [&fn] { fn(); }, Qt::BlockingQueuedConnection);
}

void TFileLoadThread::ReportProgress() {
    HandOver([this] {
        if (onProgress_)
            onProgress_(tag_, bytesReceived_, contentLength_,
                        Percent(bytesReceived_, contentLength_));
    });
}

int TFileLoadThread::Percent(std::int64_t received, std::int64_t length) {
    if (length <= 0 || received < 0 || received > length)
        return 0;
    // Exact integer rounding, half to even; 128 bits hold received × 100.
    const auto scaled = static_cast<unsigned __int128>(received) * 100U;
    const auto divisor = static_cast<unsigned __int128>(length);
    auto quotient = scaled / divisor;
    const auto twiceRest = 2 * (scaled % divisor);
    if (twiceRest > divisor || (twiceRest == divisor && (quotient & 1U) != 0))
        ++quotient;
    return static_cast<int>(quotient);
}
