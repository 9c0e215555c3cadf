#pragma once

// One HTTP(S) GET of one URL into one file, on the calling thread, through
// libcurl (curl.h stays inside UrlDownload.cpp). Only a 200 answer creates
// the target file (replacing one of that name); a transfer stopped by the
// termination check removes what it wrote; a connection lost part-way keeps
// what arrived, with the status 200 and Run false. Certificates are checked
// against the system's store or a CA file of the caller's; the system's proxy
// setting for the URL is used. No Qt: the same code runs on Linux and on
// Windows (Schannel).

#include <cstdint>
#include <functional>
#include <string>

namespace net {

class UrlDownload {
  public:
    // Called after each block has been written, with the bytes received so
    // far and the answer's Content-Length (0 when it gave none or no number).
    using ProgressHandler = std::function<void(std::int64_t received, std::int64_t length)>;
    // Asked after each block and about once a second while nothing arrives;
    // true stops the transfer.
    using TerminationCheck = std::function<bool()>;

    UrlDownload(std::string url, std::string targetFile);

    // A CA certificate file (PEM) trusted instead of the system's store;
    // empty (the program's case) uses the system's store.
    void SetCaBundle(std::string caBundle) { caBundle_ = std::move(caBundle); }
    void SetProgressHandler(ProgressHandler handler) { onProgress_ = std::move(handler); }
    void SetTerminationCheck(TerminationCheck check) { terminate_ = std::move(check); }

    // Runs the whole transfer. True when the answer was 200 and its body was
    // written to the target file to its end without a termination request.
    bool Run();

    // The final answer's HTTP status; 0 when none was read (no connection,
    // a host name that does not resolve, a refused certificate).
    int Status() const { return status_; }
    // True when a final answer's header was read in full.
    bool GotResponse() const { return gotResponse_; }
    // True when the termination check stopped the transfer; the target file
    // was then removed.
    bool Terminated() const { return terminated_; }
    // The 200 answer's Content-Length (0 when missing or not a number).
    std::int64_t ContentLength() const { return contentLength_; }
    // Bytes written to the target file.
    std::int64_t BytesReceived() const { return bytesReceived_; }

  private:
    class Transfer;

    bool TerminationRequested() const { return terminate_ && terminate_(); }

    const std::string url_;
    const std::string targetFile_;
    std::string caBundle_;
    ProgressHandler onProgress_;
    TerminationCheck terminate_;
    int status_ = 0;
    bool gotResponse_ = false;
    bool terminated_ = false;
    std::int64_t contentLength_ = 0;
    std::int64_t bytesReceived_ = 0;
};

} // namespace net
