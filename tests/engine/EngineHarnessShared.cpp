// The parts of the engine harness that are the same on every system: files,
// and HTTP over a connection (the systems differ only in ReadSome).

#include "EngineHarness.h"
#include "EngineHarnessSocket.h"
#include "Eventually.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace enginetest {

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    return testsupport::Eventually(condition, limit);
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string Pattern(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& c : bytes) {
        c = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

std::vector<std::string> FileNames(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.is_regular_file()) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

Reply Connection::Receive(bool headRequest, int timeoutMs) {
    Reply reply;
    std::string data = std::move(pending_);
    pending_.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto readMore = [&] {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || fd_ < 0) {
            return false;
        }
        char buffer[65536];
        const int n = detail::ReadSome(fd_, buffer, sizeof buffer, static_cast<int>(left));
        if (n <= 0) {
            return false;
        }
        data.append(buffer, static_cast<std::size_t>(n));
        return true;
    };
    std::size_t headerEnd;
    while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
        if (!readMore()) {
            return reply;
        }
    }
    std::istringstream head(data.substr(0, headerEnd));
    std::string line;
    std::getline(head, line);
    if (line.size() < 12) {
        return reply;
    }
    reply.status = std::stoi(line.substr(9, 3));
    reply.received = true;
    while (std::getline(head, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        reply.headers[name] = value;
    }
    std::string rest = data.substr(headerEnd + 4);
    const auto length = reply.headers.find("content-length");
    if (headRequest || reply.status == 204 || reply.status == 304) {
        pending_ = rest;
        return reply;
    }
    if (length != reply.headers.end()) {
        const std::size_t want = std::stoull(length->second);
        data = std::move(rest);
        while (data.size() < want && readMore()) {
        }
        reply.body = data.substr(0, std::min(want, data.size()));
        if (data.size() > want) {
            pending_ = data.substr(want);
        }
        return reply;
    }
    data = std::move(rest);
    while (readMore()) {
    }
    reply.body = data;
    return reply;
}

bool Connection::ClosedByPeer(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        char buffer[4096];
        const int n = detail::ReadSome(fd_, buffer, sizeof buffer, 50);
        if (n != detail::ReadTimedOut && n <= 0) {
            return true;
        }
    }
    return false;
}

int Connection::Drop(int most, int timeoutMs) {
    std::vector<char> buffer(static_cast<std::size_t>(most));
    const int n = detail::ReadSome(fd_, buffer.data(), most, timeoutMs);
    return n == detail::ReadTimedOut ? 0 : n > 0 ? n : -1;
}

Reply Request(std::uint16_t port, const std::string& method, const std::string& target,
              const std::string& body, const std::vector<std::string>& headers) {
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const auto& header : headers) {
        request += header + "\r\n";
    }
    if (!body.empty() || method == "POST") {
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    request += "Connection: close\r\n\r\n" + body;
    return RawRequest(port, request, method == "HEAD");
}

Reply RawRequest(std::uint16_t port, const std::string& bytes, bool headRequest,
                 const char* source) {
    Connection connection(port, source != nullptr ? std::string(source) : std::string());
    if (!connection.IsOpen()) {
        return {};
    }
    // A server may answer and close before taking all of an oversized request.
    connection.Send(bytes);
    return connection.Receive(headRequest);
}

std::string MultipartBody(const std::vector<FilePart>& parts, const std::string& boundary) {
    std::string body;
    for (const auto& part : parts) {
        if (!part.modified.empty()) {
            body += "--" + boundary +
                    "\r\nContent-Disposition: form-data; name=\"modified\"\r\n\r\n" +
                    part.modified + "\r\n";
        }
        body += "--" + boundary + "\r\n";
        body += "Content-Disposition: form-data; name=\"file\"; filename=\"" + part.name + "\"\r\n";
        body += "Content-Type: application/octet-stream\r\n\r\n";
        body += part.content + "\r\n";
    }
    body += "--" + boundary + "--\r\n";
    return body;
}

std::string SetCookieOf(const Reply& reply) {
    const auto found = reply.headers.find("set-cookie");
    if (found == reply.headers.end()) {
        return {};
    }
    return found->second.substr(0, found->second.find(';'));
}

} // namespace enginetest
