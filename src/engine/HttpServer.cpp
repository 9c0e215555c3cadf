// The only file that includes the HTTP library (microhttpd.h).

#include "engine/HttpServer.h"

#include "engine/ByteRange.h"
#include "engine/HttpRules.h"
#include "engine/MultipartScan.h"
#include "engine/ReplyText.h"
#include "engine/RequestPath.h"
#include "engine/Tarpit.h"
#include "engine/UploadDate.h"
#include "engine/UploadRequest.h"
#include "engine/ZipStream.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <microhttpd.h>
#include <mutex>
#include <strings.h>
#include <thread>
#include <unordered_map>
#include <utility>

namespace engine {

namespace {

// The event loop carries this many at a small cost each (their buffers are
// only touched as far as bytes arrive), well within the descriptor limit.
constexpr unsigned ConnectionLimit = 512;
// A phone's browser opens about six connections; this leaves room for a few
// phones behind one address while ten hostile addresses cannot fill the rest.
constexpr unsigned ConnectionsPerAddress = 48;
// From this many connections on, each new one closes another (see MakeRoom),
// so a phone still gets in when the limit is near.
constexpr std::size_t CrowdedConnections = 448;
// Requests one connection may send; the reply to the last says it closes,
// and a browser opens another. Bounds how long pipelined requests keep a
// connection inside a request.
constexpr unsigned RequestsPerConnection = 100;
// A request body must bring at least this many bytes a second, counted over
// requestStartSeconds; the library's own timeout restarts with every byte,
// so a trickle would never end it.
constexpr std::int64_t MinBodyBytesPerSecond = 64;
// More query arguments than any of our addresses takes.
constexpr std::size_t MaxQueryArguments = 256;
// Set with the upload and download pages; published files and the file list
// need it, and requests carrying it pass the key guard.
constexpr const char* ProofCookie = "tessary_proof";
// Bounds the request line and headers of each connection (longer ones get
// 414 or 431) and sets how much of a body is read per call.
constexpr std::size_t ConnectionMemory = 128 * 1024;
constexpr std::size_t PostBufferSize = 128 * 1024;
constexpr std::string_view UploadApiPath = "/api/upload";
constexpr std::string_view FormApiPath = "/api/form";
// How long a request the key guard refuses waits for its answer when its
// connection carries no proof: a guesser then asks about once a second per
// connection instead of as fast as the engine can refuse.
constexpr std::chrono::seconds RefusalPause{1};
// Refusals held at once: a held connection keeps the memory its request
// took (about 40 KiB), so 128 of them stay within a few MiB; 32 guessing
// addresses each wait, and a flood past that is answered at once.
constexpr std::size_t RefusalsHeld = 128;
// Every published file in one archive, for the holder of the proof.
constexpr std::string_view AllFilesPath = "/d/all.zip";
// Large blocks: the archive is read and checksummed by us, not sent by the kernel.
constexpr std::size_t ZipBlockSize = 1024 * 1024;
// The phone's date of a file: a query argument of a chunk, or a form field
// before the file's part.
constexpr const char* UploadDateField = "modified";

struct Header {
    const char* name;
    std::string value;
};

struct PostProcessorDeleter {
    void operator()(MHD_PostProcessor* post) const { MHD_destroy_post_processor(post); }
};
struct DaemonDeleter {
    void operator()(MHD_Daemon* daemon) const { MHD_stop_daemon(daemon); }
};

// One request's state between the calls of the access handler.
struct RequestState {
    enum class Kind { Answered, Chunk, Form };
    Kind kind = Kind::Answered;
    bool routed = false;
    bool replied = false;
    bool replyWatched = false;     // its delivery is being followed
    bool held = false;             // its refusal waited in the tarpit
    bool lastOnConnection = false; // the reply closes the connection
    std::unique_ptr<UploadStore::Chunk> chunk;
    std::unique_ptr<UploadStore::Batch> batch;
    // Released by hand at the end of a complete body: the result matters.
    std::unique_ptr<MHD_PostProcessor, PostProcessorDeleter> post;
    std::optional<MultipartScanner> scanner;
    std::vector<char> block; // the body's bytes as the scanner passes them on
    bool postBroken = false;
    bool inFilePart = false;
    bool emptyPartStart = false;
    std::string partKey;
    std::string partFile;
    std::string dateField; // the "modified" field before the next file part
    bool wantsJson = false;
    bool htmlReplies = false; // a form sent without JavaScript gets pages
    std::string backLink;
};

// What the headers say about the body's framing. Ambiguous framing is how
// a request smuggles another past us, so it is refused, not interpreted.
struct FramingScan {
    int lengths = 0;
    std::optional<std::int64_t> length;
    bool differentLengths = false;
    bool badLength = false;
    bool transferEncoding = false;
    bool badHeader = false;
    int hosts = 0;
    bool badHost = false;
};

MHD_Result ScanHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto& scan = *static_cast<FramingScan*>(cls);
    const std::string_view name = key != nullptr ? key : "";
    const std::string_view text = value != nullptr ? value : "";
    // A blank in a name is a blank before the colon; a line break in a
    // value is a folded line. Both are read differently by other parsers.
    if (name.empty() || name.find_first_of(" \t") != std::string_view::npos ||
        text.find_first_of("\r\n") != std::string_view::npos) {
        scan.badHeader = true;
    }
    // This library joins a folded line onto an empty value's name
    // ("Transfer-Encodingchunked"): a name that only starts like a framing
    // header is one that another parser may read as that header.
    for (const char* framing :
         {MHD_HTTP_HEADER_CONTENT_LENGTH, MHD_HTTP_HEADER_TRANSFER_ENCODING}) {
        const std::size_t length = std::strlen(framing);
        if (name.size() > length && strncasecmp(key, framing, length) == 0) {
            scan.badHeader = true;
        }
    }
    if (name.size() == std::strlen(MHD_HTTP_HEADER_CONTENT_LENGTH) &&
        strncasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH, name.size()) == 0) {
        const auto parsed = ParseContentLength(text);
        if (!parsed) {
            scan.badLength = true;
        } else if (scan.length && *scan.length != *parsed) {
            scan.differentLengths = true;
        }
        scan.length = parsed;
        ++scan.lengths;
    }
    if (strcasecmp(key, MHD_HTTP_HEADER_HOST) == 0) {
        ++scan.hosts;
        scan.badHost = scan.badHost || !ParseHost(text);
    }
    if (name.size() == std::strlen(MHD_HTTP_HEADER_TRANSFER_ENCODING) &&
        strncasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING, name.size()) == 0) {
        scan.transferEncoding = true;
        // The library unfolds a folded line into blanks; chunked is the only
        // coding it takes, so anything but that exact word is refused.
        scan.badHeader = scan.badHeader || strcasecmp(text.data(), "chunked") != 0;
    }
    return MHD_YES;
}

std::uint32_t ClientAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return info != nullptr ? platform::IPv4AddressNumber(info->client_addr) : 0;
}

std::optional<std::int64_t> ParseCount(const char* text) {
    return text != nullptr ? engine::ParseCount(text) : std::nullopt;
}

// The client's IPv4 address as text, empty when unknown.
std::string ClientAddressText(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return info != nullptr ? platform::IPv4AddressText(info->client_addr) : std::string();
}

// Leaves escapes in place: paths and query values are decoded by our own
// rules, which must see an encoded "/" or NUL to refuse it.
size_t KeepEscaped(void*, MHD_Connection*, char* text) {
    return std::strlen(text);
}

} // namespace

struct HttpServer::Impl {
    ServerConfig config;
    UploadStore& store;
    std::unique_ptr<MHD_Daemon, DaemonDeleter> daemon;
    std::mutex logMutex;
    std::string lastLog;

    // The library's own timeout restarts with every byte, so a client that
    // trickles a header forever would keep its connection; these records let
    // CloseStalledConnections end connections that stay outside a request.
    struct ConnectionRecord {
        int socket = -1;
        std::chrono::steady_clock::time_point outsideSince;
        bool inRequest = false;
        bool cut = false;
        // While a request body arrives: since when the bytes are counted.
        bool inBody = false;
        std::chrono::steady_clock::time_point bodySince;
        std::int64_t bodyBytes = 0;
        // While a reply goes out: since when, and what the client had taken
        // in by then.
        bool replying = false;
        std::chrono::steady_clock::time_point replySince;
        std::uint64_t replyDelivered = 0;
        unsigned requests = 0;
        bool proven = false; // a request on it carried the proof
        // Its refused request waits in the tarpit, since then.
        bool held = false;
        std::chrono::steady_clock::time_point heldSince;
    };
    std::mutex connectionsMutex;
    std::unordered_map<MHD_Connection*, ConnectionRecord> connections;
    KeyGuard keyGuard;
    // While the server runs; closed before it stops, which the library
    // forbids while connections are suspended.
    std::unique_ptr<Tarpit> tarpit;
    CrcCache crcs; // of published files already sent in an archive
    // Works out the CRCs of the published files when the download page asks
    // the archive's size, before the phone's user taps it. Last: stopped
    // before the members it uses go.
    std::atomic<bool> warming = false;
    std::mutex warmMutex;
    std::jthread crcWarmer;

    void WarmUp(std::vector<ZipSource> files) {
        const std::lock_guard lock(warmMutex);
        if (warming.exchange(true)) {
            return;
        }
        crcWarmer = std::jthread([this, files = std::move(files)](std::stop_token stop) {
            WarmCrcs(files, crcs, stop);
            warming = false;
        });
    }

    void MarkRequest(MHD_Connection* connection, bool inRequest) {
        const std::lock_guard lock(connectionsMutex);
        const auto found = connections.find(connection);
        if (found != connections.end()) {
            found->second.inRequest = inRequest;
            found->second.inBody = false;
            found->second.replying = false;
            found->second.held = false;
            found->second.outsideSince = std::chrono::steady_clock::now();
        }
    }

    // A request starts on the connection; true when it is the last the
    // connection may send.
    bool BeginRequest(MHD_Connection* connection, bool proven) {
        MarkRequest(connection, true);
        const std::lock_guard lock(connectionsMutex);
        const auto found = connections.find(connection);
        if (found == connections.end()) {
            return false;
        }
        found->second.proven = found->second.proven || proven;
        return ++found->second.requests >= RequestsPerConnection;
    }

    void MarkReplying(MHD_Connection* connection) {
        const std::lock_guard lock(connectionsMutex);
        const auto found = connections.find(connection);
        if (found != connections.end()) {
            ConnectionRecord& record = found->second;
            record.replying = true;
            record.held = false;
            record.replySince = std::chrono::steady_clock::now();
            record.replyDelivered = platform::SocketBytesDelivered(record.socket).value_or(0);
        }
    }

    void MarkBody(MHD_Connection* connection, bool inBody) {
        const std::lock_guard lock(connectionsMutex);
        const auto found = connections.find(connection);
        if (found != connections.end()) {
            found->second.inBody = inBody;
            found->second.bodySince = std::chrono::steady_clock::now();
            found->second.bodyBytes = 0;
        }
    }

    void CountBody(MHD_Connection* connection, std::size_t bytes) {
        const std::lock_guard lock(connectionsMutex);
        const auto found = connections.find(connection);
        if (found != connections.end()) {
            found->second.bodyBytes += static_cast<std::int64_t>(bytes);
        }
    }

    // Holds a refused request in the tarpit, unless its connection carried
    // the proof or is being cut; true when it is held. The library calls the
    // handler again for the request once the tarpit resumes it.
    bool HoldRefusal(MHD_Connection* connection) {
        {
            const std::lock_guard lock(connectionsMutex);
            const auto found = connections.find(connection);
            if (found == connections.end() || found->second.proven || found->second.cut) {
                return false;
            }
        }
        if (!tarpit->Hold(connection, [connection] { MHD_suspend_connection(connection); })) {
            return false;
        }
        const std::lock_guard lock(connectionsMutex);
        const auto found = connections.find(connection);
        if (found != connections.end()) {
            found->second.held = true;
            found->second.heldSince = std::chrono::steady_clock::now();
        }
        return true;
    }

    // Answers where the library cannot queue a reply (before it parsed the
    // request, or in the middle of a body) and ends the connection; the
    // library has written nothing of this request yet.
    void LastWords(MHD_Connection* connection, std::string_view status, std::string_view type,
                   std::string_view body) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info == nullptr) {
            return;
        }
        const std::lock_guard lock(connectionsMutex);
        platform::SendLastWords(info->connect_fd,
                                "HTTP/1.1 " + std::string(status) +
                                    "\r\nConnection: close\r\nContent-Type: " + std::string(type) +
                                    "\r\nCache-Control: no-store\r\nContent-Length: " +
                                    std::to_string(body.size()) + "\r\n\r\n" + std::string(body));
        const auto found = connections.find(connection);
        if (found != connections.end()) {
            found->second.cut = true;
        }
    }

    // Closes one connection to make room for one just accepted (which is
    // not in the table yet, so never the one closed). Connections that
    // carry no proof go first: the one idle longest, else the one whose
    // reply has gone out longest; then those with the proof in the same
    // order, so a key holder cannot hold every place either. A refusal
    // waiting in the tarpit goes before all of them: a guesser's, and it
    // would hold its place for nothing. Uploads whose body arrives are left
    // alone. Called with connectionsMutex held.
    void MakeRoom() {
        // A reply only just begun is left to show whether it is taken in;
        // closing it at once would only have the next one sent in its place.
        const auto now = std::chrono::steady_clock::now();
        const auto rank = [now](const ConnectionRecord& record) {
            if (record.held && !record.cut) {
                return 5;
            }
            if (record.cut || record.inBody || (record.inRequest && !record.replying) ||
                (record.replying && now - record.replySince < std::chrono::seconds(5))) {
                return 0; // not to be closed
            }
            return (record.proven ? 0 : 2) + (record.inRequest ? 1 : 2);
        };
        const auto since = [](const ConnectionRecord& record) {
            if (record.held) {
                return record.heldSince;
            }
            return record.inRequest ? record.replySince : record.outsideSince;
        };
        MHD_Connection* chosenConnection = nullptr;
        ConnectionRecord* chosen = nullptr;
        for (auto& [connection, record] : connections) {
            const int r = rank(record);
            if (r > 0 && (chosen == nullptr || r > rank(*chosen) ||
                          (r == rank(*chosen) && since(record) < since(*chosen)))) {
                chosenConnection = connection;
                chosen = &record;
            }
        }
        if (chosen != nullptr) {
            platform::ShutdownSocket(chosen->socket);
            chosen->cut = true;
            // A suspended connection sees nothing of it until resumed.
            if (chosen->held) {
                tarpit->Release(chosenConnection);
            }
        }
    }

    Impl(ServerConfig c, UploadStore& s)
        : config(std::move(c)), store(s), keyGuard(config.keyLimits) {}

    // ------------------------------------------------------------ replies --

    // On every answer: the address of a page never travels to what it opens
    // (a published page would read the key from document.referrer), and no
    // other site may frame our pages to steer the phone's taps.
    // A sandboxed answer runs in an origin of its own, not ours.
    static void AddGuardHeaders(MHD_Response* response, bool sandboxed = false) {
        MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
        MHD_add_response_header(response, "X-Frame-Options", "SAMEORIGIN");
        MHD_add_response_header(response, "Content-Security-Policy",
                                sandboxed ? "sandbox; frame-ancestors 'self'"
                                          : "frame-ancestors 'self'");
    }

    static MHD_Result Reply(MHD_Connection* connection, RequestState& state, unsigned status,
                            const std::string& body, const char* type,
                            const std::vector<Header>& headers = {}) {
        MHD_Response* response = MHD_create_response_from_buffer(
            body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
        if (response == nullptr) {
            return MHD_NO;
        }
        if (type != nullptr) {
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
        }
        MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
        AddGuardHeaders(response);
        for (const auto& header : headers) {
            MHD_add_response_header(response, header.name, header.value.c_str());
        }
        if (state.lastOnConnection) {
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
        }
        const MHD_Result queued = MHD_queue_response(connection, status, response);
        MHD_destroy_response(response);
        state.replied = true;
        state.kind = RequestState::Kind::Answered;
        return queued;
    }

    static MHD_Result ReplyJson(MHD_Connection* connection, RequestState& state, unsigned status,
                                const std::string& body) {
        return Reply(connection, state, status, body, "application/json");
    }

    static MHD_Result ReplyError(MHD_Connection* connection, RequestState& state,
                                 const ErrorReply& error, std::string_view extraMembers = {}) {
        if (state.htmlReplies) {
            return Reply(connection, state, error.status, ErrorPage(error, state.backLink),
                         "text/html; charset=utf-8");
        }
        return ReplyJson(connection, state, error.status, ErrorJson(error, extraMembers));
    }

    // Answers at once and closes the connection: whatever body follows is
    // never read, so it cannot be taken for another request.
    static MHD_Result RefuseAndClose(MHD_Connection* connection, RequestState& state,
                                     unsigned status, const std::string& text) {
        return Reply(connection, state, status, text + "\n", "text/plain; charset=utf-8",
                     {{MHD_HTTP_HEADER_CONNECTION, "close"}});
    }

    // The first time for a request it goes to the tarpit instead, where it
    // can; this is called again once the tarpit lets it go.
    MHD_Result TooManyWrongKeys(MHD_Connection* connection, RequestState& state) {
        if (!state.held && HoldRefusal(connection)) {
            state.held = true;
            return MHD_YES;
        }
        const ErrorReply error = TooManyWrongKeysError();
        const std::vector<Header> headers{
            {MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(keyGuard.RetryAfterSeconds(
                                              ClientAddress(connection), KeyGuard::Clock::now()))}};
        if (state.wantsJson) {
            return Reply(connection, state, error.status, ErrorJson(error), "application/json",
                         headers);
        }
        if (state.htmlReplies) {
            return Reply(connection, state, error.status, ErrorPage(error, {}),
                         "text/html; charset=utf-8", headers);
        }
        return Reply(connection, state, error.status, error.message + "\n",
                     "text/plain; charset=utf-8", headers);
    }

    static MHD_Result NotFound(MHD_Connection* connection, RequestState& state) {
        return Reply(connection, state, MHD_HTTP_NOT_FOUND, "Not found\n",
                     "text/plain; charset=utf-8");
    }

    static MHD_Result NotAllowed(MHD_Connection* connection, RequestState& state,
                                 const char* allow) {
        return Reply(connection, state, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed\n",
                     "text/plain; charset=utf-8", {{MHD_HTTP_HEADER_ALLOW, allow}});
    }

    // ------------------------------------------------------------ helpers --

    static std::optional<std::string> Argument(MHD_Connection* connection, const char* name) {
        const char* raw = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
        if (raw == nullptr) {
            return std::nullopt;
        }
        return PercentDecode(raw, true);
    }

    // A query value still percent-encoded, as the upload parameters take it.
    static std::optional<std::string_view> RawArgument(MHD_Connection* connection,
                                                       const char* name) {
        const char* raw = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
        return raw != nullptr ? std::optional<std::string_view>(raw) : std::nullopt;
    }

    static const char* HeaderValue(MHD_Connection* connection, const char* name) {
        return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    }

    // -------------------------------------------------------------- proof --
    // A browser that loaded the upload or download page of this run with the
    // right key gets a cookie that proves it: random, not the key, never
    // readable by a script and never sent along by another site's page. The
    // key guard is for those that have shown nothing, so it can never shut
    // out the phone: not when a guesser shares its address, nor when others
    // keep the shared budget spent.

    bool HoldsProof(MHD_Connection* connection) const {
        const char* cookie = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, ProofCookie);
        return cookie != nullptr && !config.proofToken.empty() && cookie == config.proofToken;
    }

    std::string ProofCookieHeader() const {
        return std::string(ProofCookie) + "=" + config.proofToken +
               "; Path=/; HttpOnly; SameSite=Strict";
    }

    // A key is looked at only while its address may still guess; a wrong
    // or missing one is counted against the address. Neither happens to a
    // request that carries the proof.
    enum class KeyVerdict { Right, Wrong, Refused };
    KeyVerdict CheckKey(MHD_Connection* connection, const std::optional<std::string>& key) {
        const bool right = key && *key == config.pageKey;
        if (HoldsProof(connection)) {
            return right ? KeyVerdict::Right : KeyVerdict::Wrong;
        }
        const std::uint32_t address = ClientAddress(connection);
        const auto now = KeyGuard::Clock::now();
        if (!keyGuard.MayCheck(address, now)) {
            return KeyVerdict::Refused;
        }
        if (right) {
            return KeyVerdict::Right;
        }
        keyGuard.RecordWrong(address, now);
        return KeyVerdict::Wrong;
    }

    // Another site's page may make the phone's browser send requests here
    // (an <img> per guessed key, a form posting a file): they are refused
    // before any key is looked at, so they count against no address.
    static bool FromAnotherSite(MHD_Connection* connection) {
        return IsFromAnotherSite(HeaderValue(connection, "Sec-Fetch-Site"),
                                 HeaderValue(connection, "Origin"),
                                 HeaderValue(connection, MHD_HTTP_HEADER_HOST));
    }

    static MHD_Result RefuseAnotherSite(MHD_Connection* connection, std::string_view url,
                                        RequestState& state) {
        const ErrorReply error = AnotherSiteError();
        const std::vector<Header> close{{MHD_HTTP_HEADER_CONNECTION, "close"}};
        if (url.starts_with("/api/")) {
            return Reply(connection, state, error.status, ErrorJson(error), "application/json",
                         close);
        }
        return Reply(connection, state, error.status, error.message + "\n",
                     "text/plain; charset=utf-8", close);
    }

    // What makes the request unsafe to act on, or nullopt.
    static std::optional<std::string> FramingProblem(MHD_Connection* connection,
                                                     std::string_view version) {
        FramingScan scan;
        MHD_get_connection_values(connection, MHD_HEADER_KIND, &ScanHeader, &scan);
        if (scan.badHeader) {
            return "A header line is malformed.";
        }
        // Two names, or none, leave it to each reader which host is meant.
        if (scan.hosts > 1) {
            return "The request names more than one Host.";
        }
        if (scan.badHost) {
            return "The Host header is malformed.";
        }
        if (scan.hosts == 0 && version != MHD_HTTP_VERSION_1_0) {
            return "An HTTP/1.1 request must name its Host.";
        }
        if (scan.badLength || scan.differentLengths) {
            return "The Content-Length is not one count.";
        }
        if (scan.lengths > 0 && scan.transferEncoding) {
            return "Content-Length and Transfer-Encoding together are ambiguous.";
        }
        if (static_cast<std::size_t>(MHD_get_connection_values(
                connection, MHD_GET_ARGUMENT_KIND, nullptr, nullptr)) > MaxQueryArguments) {
            return "The address has too many query arguments.";
        }
        return std::nullopt;
    }

    static bool AnnouncesBody(MHD_Connection* connection) {
        const char* length = HeaderValue(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
        return HeaderValue(connection, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr ||
               (length != nullptr && ParseContentLength(length).value_or(1) != 0);
    }

    bool HostAllowed(MHD_Connection* connection) const {
        const char* host = HeaderValue(connection, MHD_HTTP_HEADER_HOST);
        // HTTP/1.0 may leave it out; the library refuses a 1.1 request without.
        return host == nullptr || IsAllowedHost(host, config.ownHostNames);
    }

    // ------------------------------------------------------------ routing --

    MHD_Result Route(MHD_Connection* connection, std::string_view url, std::string_view method,
                     RequestState& state) {
        const bool get = method == MHD_HTTP_METHOD_GET || method == MHD_HTTP_METHOD_HEAD;
        const bool post = method == MHD_HTTP_METHOD_POST;
        const char* accept = HeaderValue(connection, MHD_HTTP_HEADER_ACCEPT);
        state.wantsJson = accept != nullptr && std::strstr(accept, "application/json") != nullptr;

        if (url == UploadApiPath) {
            state.wantsJson = true;
            return RouteResumable(connection, method, state);
        }
        if (url == FormApiPath) {
            if (!post) {
                return NotAllowed(connection, state, "POST");
            }
            const KeyVerdict verdict = CheckKey(connection, Argument(connection, "key"));
            if (verdict == KeyVerdict::Right) {
                state.backLink = "/u/" + config.pageKey + ".html";
            }
            return StartForm(connection, verdict, state);
        }
        if (post) {
            // The upload page's own address takes a plain form without an action.
            constexpr std::string_view prefix = "/u/";
            constexpr std::string_view suffix = ".html";
            if (url.starts_with(prefix) && url.ends_with(suffix) &&
                url.size() > prefix.size() + suffix.size()) {
                const std::string key(
                    url.substr(prefix.size(), url.size() - prefix.size() - suffix.size()));
                const KeyVerdict verdict = CheckKey(connection, key);
                if (verdict == KeyVerdict::Right) {
                    state.backLink = std::string(url);
                }
                return StartForm(connection, verdict, state);
            }
            return NotAllowed(connection, state, "GET, HEAD");
        }
        if (!get) {
            return NotAllowed(connection, state, "GET, HEAD");
        }
        if (url == AllFilesPath) {
            return ServeAllFiles(connection, state, method == MHD_HTTP_METHOD_HEAD);
        }
        return ServeFile(connection, url, state);
    }

    // ---------------------------------------------------------- resumable --

    MHD_Result RouteResumable(MHD_Connection* connection, std::string_view method,
                              RequestState& state) {
        switch (CheckKey(connection, Argument(connection, "key"))) {
        case KeyVerdict::Refused:
            return TooManyWrongKeys(connection, state);
        case KeyVerdict::Wrong:
            return ReplyError(connection, state, ExpiredKeyError());
        case KeyVerdict::Right:
            break;
        }
        const auto id = ParseUploadId(RawArgument(connection, "id"));
        if (!id) {
            return ReplyError(connection, state, BadRequestError("The upload has no valid id."));
        }
        if (method == MHD_HTTP_METHOD_GET || method == MHD_HTTP_METHOD_HEAD) {
            const auto progress = store.Query(*id);
            if (!progress) {
                return ReplyError(connection, state, ErrorFor(UploadError::UnknownUpload));
            }
            return ReplyJson(connection, state, MHD_HTTP_OK,
                             "{\"offset\": " + std::to_string(progress->offset) +
                                 ", \"size\": " + std::to_string(progress->size) + "}");
        }
        if (method == MHD_HTTP_METHOD_DELETE) {
            if (!store.Cancel(*id)) {
                return ReplyError(connection, state, ErrorFor(UploadError::UnknownUpload));
            }
            return Reply(connection, state, MHD_HTTP_NO_CONTENT, "", nullptr);
        }
        if (method != MHD_HTTP_METHOD_POST) {
            return NotAllowed(connection, state, "GET, HEAD, POST, DELETE");
        }
        const auto chunk =
            ParseChunkParameters(RawArgument(connection, "name"), RawArgument(connection, "size"),
                                 RawArgument(connection, "offset"));
        if (!chunk) {
            return ReplyError(connection, state,
                              BadRequestError("The upload needs a name, a size and an offset."));
        }
        const auto length = ParseCount(HeaderValue(connection, MHD_HTTP_HEADER_CONTENT_LENGTH));
        auto start = store.BeginChunk(*id, chunk->name, chunk->size, chunk->offset, length,
                                      ClientAddressText(connection));
        if (start.error != UploadError::None) {
            std::string extra;
            if (start.error == UploadError::OffsetMismatch ||
                start.error == UploadError::DiskFull) {
                extra = "\"offset\": " + std::to_string(start.offset);
            }
            return ReplyError(connection, state, ErrorFor(start.error), extra);
        }
        state.kind = RequestState::Kind::Chunk;
        state.chunk = std::move(start.chunk);
        if (const auto date = RawArgument(connection, UploadDateField)) {
            if (const auto plausible =
                    PlausibleUploadDate(*date, std::chrono::system_clock::now())) {
                state.chunk->KeepDate(*plausible);
            }
        }
        return MHD_YES;
    }

    MHD_Result FinishChunk(MHD_Connection* connection, RequestState& state) {
        const auto result = state.chunk->Finish();
        state.chunk.reset();
        const std::string offset = "\"offset\": " + std::to_string(result.offset);
        if (result.error != UploadError::None) {
            return ReplyError(connection, state, ErrorFor(result.error), offset);
        }
        if (result.done) {
            return ReplyJson(
                connection, state, MHD_HTTP_CREATED,
                "{" + offset + ", \"done\": true, \"name\": " + JsonString(result.finalName) + "}");
        }
        return ReplyJson(connection, state, MHD_HTTP_OK, "{" + offset + "}");
    }

    // ---------------------------------------------------------- multipart --

    MHD_Result StartForm(MHD_Connection* connection, KeyVerdict verdict, RequestState& state) {
        state.htmlReplies = !state.wantsJson;
        if (verdict == KeyVerdict::Refused) {
            return TooManyWrongKeys(connection, state);
        }
        if (verdict == KeyVerdict::Wrong) {
            return ReplyError(connection, state, ExpiredKeyError());
        }
        const char* type = HeaderValue(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
        const auto boundary = MultipartBoundary(type != nullptr ? type : "");
        if (boundary) {
            state.post.reset(
                MHD_create_post_processor(connection, PostBufferSize, &OnPostData, &state));
        }
        if (!state.post) {
            return ReplyError(connection, state,
                              BadRequestError("Files must be sent as multipart/form-data."));
        }
        const auto length = ParseCount(HeaderValue(connection, MHD_HTTP_HEADER_CONTENT_LENGTH));
        auto batch = store.NewBatch(length, ClientAddressText(connection));
        if (batch.error != UploadError::None) {
            return ReplyError(connection, state, ErrorFor(batch.error));
        }
        state.kind = RequestState::Kind::Form;
        state.batch = std::move(batch.batch);
        state.scanner.emplace(*boundary);
        return MHD_YES;
    }

    static MHD_Result OnPostData(void* cls, MHD_ValueKind, const char* key, const char* filename,
                                 const char*, const char*, const char* data, uint64_t offset,
                                 size_t size) {
        auto& state = *static_cast<RequestState*>(cls);
        const std::string_view keyText = key != nullptr ? key : "";
        const std::string_view fileText = filename != nullptr ? filename : "";
        // A part starts with offset 0; it may be announced by an empty call
        // before its first bytes, which is then not a new part.
        const bool continuesEmptyStart = state.emptyPartStart && size > 0 &&
                                         keyText == state.partKey && fileText == state.partFile;
        if (offset == 0 && !continuesEmptyStart) {
            state.batch->EndPart();
            state.inFilePart = false;
            state.partKey = keyText;
            state.partFile = fileText;
            // A file input left empty sends a part without a name or bytes.
            if (filename != nullptr && (*filename != '\0' || size > 0)) {
                state.inFilePart = state.batch->BeginPart(fileText) == UploadError::None;
                const auto date =
                    PlausibleUploadDate(state.dateField, std::chrono::system_clock::now());
                if (state.inFilePart && date) {
                    state.batch->KeepPartDate(*date);
                }
            }
            state.dateField.clear();
        }
        // The date of the file part that follows, a short plain field.
        if (filename == nullptr && keyText == UploadDateField && state.dateField.size() < 32) {
            state.dateField.append(data, size);
        }
        state.emptyPartStart = offset == 0 && size == 0;
        if (state.inFilePart && size > 0) {
            state.batch->Write({data, size});
        }
        // Always go on reading, so a fault is answered once the body is in.
        return MHD_YES;
    }

    MHD_Result FinishForm(MHD_Connection* connection, RequestState& state) {
        // The library's result tells a body cut inside a part from a whole
        // one, but takes a body cut before its first part for an empty form.
        const bool complete =
            MHD_destroy_post_processor(state.post.release()) == MHD_YES && state.scanner->Closed();
        auto batch = std::move(state.batch);
        if (const UploadError error = batch->EndPart(); error != UploadError::None) {
            return ReplyError(connection, state, ErrorFor(error));
        }
        if (state.scanner->MalformedHeaders()) {
            return ReplyError(connection, state,
                              BadRequestError("A part's headers are malformed: a line without a "
                                              "colon, or a line break inside a file name."));
        }
        if (!complete || state.postBroken) {
            return ReplyError(connection, state,
                              BadRequestError("The upload arrived incomplete. Try again."));
        }
        const auto result = batch->Commit();
        if (result.error != UploadError::None) {
            return ReplyError(connection, state, ErrorFor(result.error));
        }
        if (state.wantsJson) {
            std::string body = "{\"files\": [";
            for (std::size_t i = 0; i < result.names.size(); ++i) {
                body += (i == 0 ? "" : ", ") + JsonString(result.names[i]);
            }
            body += "]}";
            return ReplyJson(connection, state, MHD_HTTP_OK, body);
        }
        return Reply(connection, state, MHD_HTTP_OK, ReceivedPage(result.names, state.backLink),
                     "text/html; charset=utf-8");
    }

    // ------------------------------------------------------------ serving --

    // The canonical path when it lies inside the web root, outside the
    // staging folder, and no part of it below the root is a dot name.
    std::optional<std::string> Contained(const std::string& path) const {
        const auto canonical = platform::CanonicalPath(path);
        if (!canonical) {
            return std::nullopt;
        }
        const std::string asFolder = *canonical + platform::PathDelimiter;
        if (!asFolder.starts_with(config.webRoot) || asFolder.starts_with(config.stagingDir)) {
            return std::nullopt;
        }
        const std::string relative = RelativeForm(*canonical);
        if (!relative.empty() && !IsServableRelativePath(relative)) {
            return std::nullopt;
        }
        // An upload waits in the upload folder only until the PC takes it: it
        // is one phone's file and not for the other phones on the network.
        constexpr std::string_view uploadDir = "u/ufiles/";
        if ((relative + "/").starts_with(uploadDir) && relative + "/" != uploadDir &&
            relative != std::string(uploadDir) + std::string(UploadFolderPage)) {
            return std::nullopt;
        }
        return canonical;
    }

    // A canonical path inside the web root as the rules compare it: below
    // the root, "/" between the names, and without regard to case where the
    // file system has none. Empty for the web root itself.
    std::string RelativeForm(const std::string& canonical) const {
        const std::size_t root = std::min(canonical.size(), config.webRoot.size());
        return ComparableRelativePath(std::string_view(canonical).substr(root),
                                      platform::PathDelimiter, platform::FileNamesIgnoreCase);
    }

    // The key a page named like one names ("u/<key>.html", "d/<key>.html",
    // "d/filelist-<key>.html", as a relative form), or nullopt for other paths.
    static std::optional<std::string> PageKeyOf(std::string_view relative) {
        constexpr std::string_view suffix = ".html";
        constexpr std::string_view listPrefix = "filelist-";
        const std::size_t slash = relative.find('/');
        if (slash != 1 || (relative[0] != 'u' && relative[0] != 'd') ||
            relative.find('/', slash + 1) != std::string_view::npos) {
            return std::nullopt;
        }
        std::string_view stem = relative.substr(slash + 1);
        if (!stem.ends_with(suffix) || stem == "index.html" || stem.size() == suffix.size()) {
            return std::nullopt;
        }
        stem.remove_suffix(suffix.size());
        if (relative[0] == 'd' && stem.starts_with(listPrefix)) {
            stem.remove_prefix(listPrefix.size());
        }
        return std::string(stem);
    }

    // Published copies and the file list: only for a browser that loaded
    // this run's download page.
    static bool NeedsProof(std::string_view relative) {
        return relative == "d/dfiles" || relative.starts_with("d/dfiles/") ||
               (relative.starts_with("d/filelist-") &&
                relative.find('/', 2) == std::string_view::npos);
    }

    // A published file is the user's, not ours: one a browser would run (a
    // page, an SVG) would read the file list and upload with the key. It is
    // saved rather than shown, and sandboxed should a browser show it all
    // the same; pictures, videos, sound, text and PDFs still open in place.
    void AddFileHeaders(MHD_Response* response, const std::string& canonical,
                        const std::string& contentType) const {
        const std::string publishedDir =
            config.webRoot + "d" + platform::PathDelimiter + "dfiles" + platform::PathDelimiter;
        const bool runnable = canonical.starts_with(publishedDir) && !OpensInPlace(contentType);
        AddGuardHeaders(response, runnable);
        if (runnable) {
            MHD_add_response_header(response, "Content-Disposition", "attachment");
        }
    }

    MHD_Result ServeFile(MHD_Connection* connection, std::string_view url, RequestState& state) {
        const auto components = SplitRequestPath(url);
        if (!components) {
            return NotFound(connection, state);
        }
        std::string path = config.webRoot;
        std::string requested;
        for (std::size_t i = 0; i < components->size(); ++i) {
            if (i > 0) {
                path += platform::PathDelimiter;
                requested += '/';
            }
            path += (*components)[i];
            requested += (*components)[i];
        }
        bool grantsProof = false;
        requested = ComparableRelativePath(requested, '/', platform::FileNamesIgnoreCase);
        if (const auto key = PageKeyOf(requested)) {
            // Guessing a page's name is guessing the key.
            const KeyVerdict verdict = CheckKey(connection, key);
            if (verdict == KeyVerdict::Refused) {
                return TooManyWrongKeys(connection, state);
            }
            // The upload or download page itself, not the file list.
            grantsProof = verdict == KeyVerdict::Right && requested.substr(2) == *key + ".html" &&
                          !config.proofToken.empty();
        }
        auto target = Contained(path);
        if (!target) {
            return NotFound(connection, state);
        }
        // The long name decides: a page of the key reached by another
        // spelling (Windows' 8.3 short name "FILELI~1.HTM") is a guess at the
        // key that was not counted above.
        const std::string relative = RelativeForm(*target);
        const bool otherSpelling = relative != requested && PageKeyOf(relative).has_value();
        if ((NeedsProof(relative) || otherSpelling) && !HoldsProof(connection)) {
            if (otherSpelling && CheckKey(connection, std::nullopt) == KeyVerdict::Refused) {
                return TooManyWrongKeys(connection, state);
            }
            return NotFound(connection, state);
        }
        if (platform::FolderExists(*target)) {
            // Relative links in the folder's page need the trailing "/". The
            // address is rebuilt from the decoded names, so "//d" can never
            // become an address on another host.
            if (!url.ends_with('/')) {
                return Reply(connection, state, MHD_HTTP_MOVED_PERMANENTLY, "", nullptr,
                             {{MHD_HTTP_HEADER_LOCATION, FolderLocation(*components)}});
            }
            target = Contained(*target + platform::PathDelimiter + "index.html");
            if (!target) {
                return NotFound(connection, state);
            }
        }
        auto file = platform::ReadOnlyFile::Open(*target);
        if (!file) {
            return NotFound(connection, state);
        }
        const std::int64_t size = file->Size();
        const std::string lastModified = HttpDate(file->ModifiedNs() / 1'000'000'000);
        const std::string entityTag = EntityTag(size, file->ModifiedNs());
        const char* rangeHeader = HeaderValue(connection, MHD_HTTP_HEADER_RANGE);
        // A range of another version of the file would splice two files: a
        // validator we did not send means the whole file.
        const char* ifRange = HeaderValue(connection, MHD_HTTP_HEADER_IF_RANGE);
        const bool sameVersion =
            ifRange == nullptr || ifRange == entityTag || ifRange == lastModified;
        const RangeRequest range =
            rangeHeader != nullptr && sameVersion ? ParseRange(rangeHeader, size) : RangeRequest{};
        if (range.kind == RangeRequest::Kind::Unsatisfiable) {
            return Reply(connection, state, MHD_HTTP_RANGE_NOT_SATISFIABLE, "", nullptr,
                         {{MHD_HTTP_HEADER_CONTENT_RANGE, "bytes */" + std::to_string(size)}});
        }
        const bool partial = range.kind == RangeRequest::Kind::Partial;
        const std::int64_t first = partial ? range.first : 0;
        const std::int64_t length = partial ? range.length : size;

        // The library closes the handle when it is done with the response.
        MHD_Response* response = MHD_create_response_from_fd_at_offset64(
            static_cast<uint64_t>(length), file->NativeHandle(), static_cast<uint64_t>(first));
        if (response == nullptr) {
            return MHD_NO;
        }
        file->Release();
        const std::string name = target->substr(target->rfind(platform::PathDelimiter) + 1);
        const std::string contentType = ContentTypeFor(name);
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType.c_str());
        // Pages and the file list must be current every time the phone looks.
        MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL,
                                IsHtmlName(name) ? "no-store" : "no-cache");
        MHD_add_response_header(response, MHD_HTTP_HEADER_ACCEPT_RANGES, "bytes");
        MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
        MHD_add_response_header(response, MHD_HTTP_HEADER_LAST_MODIFIED, lastModified.c_str());
        MHD_add_response_header(response, MHD_HTTP_HEADER_ETAG, entityTag.c_str());
        AddFileHeaders(response, *target, contentType);
        if (grantsProof) {
            MHD_add_response_header(response, MHD_HTTP_HEADER_SET_COOKIE,
                                    ProofCookieHeader().c_str());
        }
        return QueueContent(connection, state, response, partial, first, length, size);
    }

    // Queues a file's or the archive's content, whole or one range of it,
    // closing the connection after its last allowed request.
    MHD_Result QueueContent(MHD_Connection* connection, RequestState& state, MHD_Response* response,
                            bool partial, std::int64_t first, std::int64_t length,
                            std::int64_t size) {
        if (state.lastOnConnection) {
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
        }
        if (partial) {
            const std::string contentRange = "bytes " + std::to_string(first) + "-" +
                                             std::to_string(first + length - 1) + "/" +
                                             std::to_string(size);
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_RANGE, contentRange.c_str());
        }
        const MHD_Result queued = MHD_queue_response(
            connection, partial ? MHD_HTTP_PARTIAL_CONTENT : MHD_HTTP_OK, response);
        MHD_destroy_response(response);
        state.replied = true;
        return queued;
    }

    // The published files as one ZIP streamed from them, with the same proof
    // as the files, an exact length and ranges.
    MHD_Result ServeAllFiles(MHD_Connection* connection, RequestState& state, bool head) {
        const std::string folder =
            config.webRoot + "d" + platform::PathDelimiter + "dfiles" + platform::PathDelimiter;
        if (!HoldsProof(connection)) {
            return NotFound(connection, state);
        }
        auto files = PublishedFiles(folder);
        if (files.empty()) {
            return NotFound(connection, state);
        }
        if (head) {
            WarmUp(files);
        }
        auto zip = std::make_unique<ZipStream>(std::move(files), crcs);
        const std::int64_t size = zip->Size();
        const std::string entityTag = zip->EntityTag();
        const char* rangeHeader = HeaderValue(connection, MHD_HTTP_HEADER_RANGE);
        const char* ifRange = HeaderValue(connection, MHD_HTTP_HEADER_IF_RANGE);
        const RangeRequest range =
            rangeHeader != nullptr && (ifRange == nullptr || ifRange == entityTag)
                ? ParseRange(rangeHeader, size)
                : RangeRequest{};
        if (range.kind == RangeRequest::Kind::Unsatisfiable) {
            return Reply(connection, state, MHD_HTTP_RANGE_NOT_SATISFIABLE, "", nullptr,
                         {{MHD_HTTP_HEADER_CONTENT_RANGE, "bytes */" + std::to_string(size)}});
        }
        const bool partial = range.kind == RangeRequest::Kind::Partial;
        struct Stream {
            std::unique_ptr<ZipStream> zip;
            std::int64_t first;
            std::int64_t length;
        };
        auto stream = std::make_unique<Stream>(
            Stream{std::move(zip), partial ? range.first : 0, partial ? range.length : size});
        const auto length = static_cast<uint64_t>(stream->length);
        MHD_Response* response = MHD_create_response_from_callback(
            length, ZipBlockSize,
            [](void* cls, uint64_t position, char* buffer, size_t max) -> ssize_t {
                auto& s = *static_cast<Stream*>(cls);
                const auto left = static_cast<std::uint64_t>(s.length) - position;
                const std::size_t want =
                    static_cast<std::size_t>(std::min<std::uint64_t>(max, left));
                const std::int64_t got =
                    s.zip->Read(s.first + static_cast<std::int64_t>(position), {buffer, want});
                return got > 0 ? static_cast<ssize_t>(got) : MHD_CONTENT_READER_END_WITH_ERROR;
            },
            stream.get(), [](void* cls) { std::unique_ptr<Stream>(static_cast<Stream*>(cls)); });
        if (response == nullptr) {
            return MHD_NO;
        }
        stream.release(); // the library frees it with the response
        const auto local = platform::ToLocalDateTime(std::chrono::system_clock::now());
        const std::string disposition =
            "attachment; filename=\"" +
            (local ? ArchiveFileName(*local) : std::string("Files from the PC.zip")) + "\"";
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/zip");
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_DISPOSITION, disposition.c_str());
        MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
        MHD_add_response_header(response, MHD_HTTP_HEADER_ACCEPT_RANGES, "bytes");
        MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
        MHD_add_response_header(response, MHD_HTTP_HEADER_ETAG, entityTag.c_str());
        return QueueContent(connection, state, response, partial, range.first, range.length, size);
    }

    // ---------------------------------------------------------- callbacks --

    static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url,
                                const char* method, const char* version, const char* uploadData,
                                size_t* uploadDataSize, void** requestContext) {
        const MHD_Result result = HandleRequest(cls, connection, url, method, version, uploadData,
                                                uploadDataSize, requestContext);
        // From the reply on, the client must take it in (see
        // CloseStalledConnections).
        auto* state = static_cast<RequestState*>(*requestContext);
        if (state != nullptr && state->replied && !state->replyWatched) {
            state->replyWatched = true;
            static_cast<Impl*>(cls)->MarkReplying(connection);
        }
        return result;
    }

    static MHD_Result HandleRequest(void* cls, MHD_Connection* connection, const char* url,
                                    const char* method, const char* version, const char* uploadData,
                                    size_t* uploadDataSize, void** requestContext) {
        auto& impl = *static_cast<Impl*>(cls);
        auto* state = static_cast<RequestState*>(*requestContext);
        if (state == nullptr) {
            // The library keeps the state for us until OnCompleted deletes it.
            auto owned = std::make_unique<RequestState>();
            state = owned.get();
            *requestContext = owned.release();
            state->lastOnConnection = impl.BeginRequest(connection, impl.HoldsProof(connection));
            // Refusals are answered before any body, and the connection then
            // closes.
            if (const auto problem = FramingProblem(connection, version)) {
                state->routed = true;
                return RefuseAndClose(connection, *state, MHD_HTTP_BAD_REQUEST, *problem);
            }
            if (!impl.HostAllowed(connection)) {
                state->routed = true;
                return RefuseAndClose(connection, *state, MHD_HTTP_MISDIRECTED_REQUEST,
                                      "This server answers to its own addresses only.");
            }
            if (FromAnotherSite(connection)) {
                state->routed = true;
                return RefuseAnotherSite(connection, url, *state);
            }
            // An upload is routed before its body so a refusal needs no body.
            // Anything else is answered on the next call: this library version
            // closes a keep-alive connection whose reply was queued on the
            // first call.
            if (std::string_view(method) != MHD_HTTP_METHOD_POST) {
                if (AnnouncesBody(connection)) {
                    // Only uploads take a body; waiting for one here would let
                    // a trickling client hold the connection. A reply queued
                    // before the body makes the library close afterwards.
                    state->routed = true;
                    return impl.Route(connection, url, method, *state);
                }
                return MHD_YES;
            }
            state->routed = true;
            // A refusal held in the tarpit is answered on this same call once
            // it is resumed, so the library still closes before the body.
            const MHD_Result result = impl.Route(connection, url, method, *state);
            if (state->kind != RequestState::Kind::Answered) {
                impl.MarkBody(connection, true);
            }
            return result;
        }
        if (state->held && !state->replied) {
            return impl.TooManyWrongKeys(connection, *state);
        }
        if (*uploadDataSize > 0) {
            impl.CountBody(connection, *uploadDataSize);
            if (state->kind == RequestState::Kind::Chunk) {
                if (state->chunk->Write({uploadData, *uploadDataSize}) == UploadError::TooLarge) {
                    // Answered at once: with no length to go by, the rest
                    // of the body may never come. The chunk keeps what fit.
                    const auto result = state->chunk->Finish();
                    state->chunk.reset();
                    impl.LastWords(connection, "413 Content Too Large", "application/json",
                                   ErrorJson(ErrorFor(UploadError::TooLarge),
                                             "\"offset\": " + std::to_string(result.offset)));
                    return MHD_NO;
                }
            } else if (state->kind == RequestState::Kind::Form && !state->postBroken) {
                state->block.assign(uploadData, uploadData + *uploadDataSize);
                state->scanner->Feed(state->block);
                state->postBroken = MHD_post_process(state->post.get(), state->block.data(),
                                                     state->block.size()) != MHD_YES;
            }
            *uploadDataSize = 0;
            return MHD_YES;
        }
        if (state->kind != RequestState::Kind::Answered) {
            impl.MarkBody(connection, false);
        }
        switch (state->kind) {
        case RequestState::Kind::Chunk:
            return impl.FinishChunk(connection, *state);
        case RequestState::Kind::Form:
            return impl.FinishForm(connection, *state);
        case RequestState::Kind::Answered:
            if (!state->routed) {
                state->routed = true;
                return impl.Route(connection, url, method, *state);
            }
            break;
        }
        return state->replied ? MHD_YES : MHD_NO;
    }

    // Every request ends here, completed or not: an aborted request's staged
    // multipart files go with its state; a cut resumable chunk keeps its bytes.
    static void OnCompleted(void* cls, MHD_Connection* connection, void** requestContext,
                            MHD_RequestTerminationCode) {
        std::unique_ptr<RequestState> state(static_cast<RequestState*>(*requestContext));
        *requestContext = nullptr;
        state.reset();
        static_cast<Impl*>(cls)->MarkRequest(connection, false);
    }

    // Registered before the library closes the socket and removed before it
    // does, so a socket number in the table is always still this connection's.
    static void OnConnection(void* cls, MHD_Connection* connection, void**,
                             MHD_ConnectionNotificationCode code) {
        auto& impl = *static_cast<Impl*>(cls);
        const std::lock_guard lock(impl.connectionsMutex);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            if (impl.connections.size() >= CrowdedConnections) {
                impl.MakeRoom();
            }
            const MHD_ConnectionInfo* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            if (info != nullptr) {
                ConnectionRecord record;
                // A Windows socket is a handle, but a small number like a
                // descriptor, so it fits the platform's int.
                record.socket = static_cast<int>(info->connect_fd);
                record.outsideSince = std::chrono::steady_clock::now();
                impl.connections[connection] = record;
            }
        } else {
            impl.connections.erase(connection);
        }
    }

    // Sees the request line before the library parses its arguments. This
    // library version stalls when they fill the connection's memory instead
    // of answering, so too many of them are refused here, before it tries.
    static void* OnUri(void* cls, const char* uri, MHD_Connection* connection) {
        const std::string_view text = uri != nullptr ? uri : "";
        const std::size_t query = text.find('?');
        if (query == std::string_view::npos ||
            static_cast<std::size_t>(std::count(text.begin() + static_cast<std::ptrdiff_t>(query),
                                                text.end(), '&')) < MaxQueryArguments) {
            return nullptr;
        }
        static_cast<Impl*>(cls)->LastWords(connection, "400 Bad Request",
                                           "text/plain; charset=utf-8",
                                           "The address has too many query arguments.\n");
        return nullptr;
    }

    static void OnLog(void* cls, const char* format, va_list arguments) {
        auto& impl = *static_cast<Impl*>(cls);
        char text[512];
        std::vsnprintf(text, sizeof text, format, arguments);
        const std::lock_guard lock(impl.logMutex);
        impl.lastLog = text;
        while (!impl.lastLog.empty() &&
               (impl.lastLog.back() == '\n' || impl.lastLog.back() == '\r')) {
            impl.lastLog.pop_back();
        }
    }
};

HttpServer::HttpServer(ServerConfig config, UploadStore& store)
    : impl_(std::make_unique<Impl>(std::move(config), store)) {}

HttpServer::~HttpServer() {
    Stop();
}

bool HttpServer::Start(std::string& error) {
    if (impl_->daemon) {
        return true;
    }
    const platform::IPv4SocketAddress address =
        platform::MakeIPv4SocketAddress(impl_->config.bindAddress, impl_->config.port);

    // Strict, as the library advises for a server others can reach: a
    // request line split by tabs, a line ended by a bare CR or LF, or a
    // folded header line is answered 400 rather than read as a browser
    // never writes it (no browser sends any of them).
    constexpr int ClientDiscipline = 1;
    // The best event loop the system has: epoll on Linux, poll or select on
    // Windows.
    // Suspending lets the tarpit hold a refusal without a thread.
    const unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ERROR_LOG |
                           MHD_ALLOW_SUSPEND_RESUME;
    impl_->tarpit = std::make_unique<Tarpit>(RefusalPause, RefusalsHeld, [](void* held) {
        MHD_resume_connection(static_cast<MHD_Connection*>(held));
    });
    impl_->daemon.reset(MHD_start_daemon(
        flags, impl_->config.port, nullptr, nullptr, &Impl::OnRequest, impl_.get(),
        MHD_OPTION_SOCK_ADDR, address.bytes, MHD_OPTION_THREAD_POOL_SIZE, impl_->config.threads,
        MHD_OPTION_CONNECTION_TIMEOUT, impl_->config.connectionTimeoutSeconds,
        MHD_OPTION_CONNECTION_LIMIT, ConnectionLimit, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        ConnectionsPerAddress, MHD_OPTION_CONNECTION_MEMORY_LIMIT, ConnectionMemory,
        MHD_OPTION_NOTIFY_COMPLETED, &Impl::OnCompleted, impl_.get(), MHD_OPTION_NOTIFY_CONNECTION,
        &Impl::OnConnection, impl_.get(), MHD_OPTION_UNESCAPE_CALLBACK, &KeepEscaped, impl_.get(),
        MHD_OPTION_EXTERNAL_LOGGER, &Impl::OnLog, impl_.get(), MHD_OPTION_URI_LOG_CALLBACK,
        &Impl::OnUri, impl_.get(), MHD_OPTION_CLIENT_DISCIPLINE_LVL, ClientDiscipline,
        MHD_OPTION_END));
    if (!impl_->daemon) {
        impl_->tarpit.reset();
        const std::lock_guard lock(impl_->logMutex);
        error = impl_->lastLog.empty() ? "the HTTP server could not start" : impl_->lastLog;
        return false;
    }
    return true;
}

void HttpServer::Stop() {
    // The library must not stop with suspended connections: every held one
    // is resumed first, and none is held from here on.
    if (impl_->tarpit) {
        impl_->tarpit->Close();
    }
    impl_->daemon.reset();
    impl_->tarpit.reset();
}

void HttpServer::CloseStalledConnections() {
    const auto limit = std::chrono::seconds(impl_->config.requestStartSeconds);
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard lock(impl_->connectionsMutex);
    for (auto& [connection, record] : impl_->connections) {
        if (record.cut) {
            continue;
        }
        bool stalled = !record.inRequest && now - record.outsideSince >= limit;
        if (record.inBody && now - record.bodySince >= limit) {
            stalled = record.bodyBytes < MinBodyBytesPerSecond * impl_->config.requestStartSeconds;
            record.bodySince = now;
            record.bodyBytes = 0;
        }
        if (record.replying && now - record.replySince >= limit) {
            // Where the system cannot tell, nothing is cut.
            if (const auto delivered = platform::SocketBytesDelivered(record.socket)) {
                stalled = *delivered - record.replyDelivered <
                          impl_->config.minReplyBytesPerSecond * impl_->config.requestStartSeconds;
                record.replyDelivered = *delivered;
            }
            record.replySince = now;
        }
        if (stalled) {
            // The library sees the connection end and closes it itself.
            platform::ShutdownSocket(record.socket);
            record.cut = true;
        }
    }
}

std::uint16_t HttpServer::Port() const {
    if (!impl_->daemon) {
        return 0;
    }
    const MHD_DaemonInfo* info =
        MHD_get_daemon_info(impl_->daemon.get(), MHD_DAEMON_INFO_BIND_PORT);
    return info != nullptr ? info->port : 0;
}

} // namespace engine
