// Hostile clients on a shared network, against an engine on a loopback port.
//
//   engine_hostile_bench guess PORT SECONDS HOSTS
//     HOSTS addresses (127.0.5.1 ...) each send wrong keys as fast as the
//     engine answers, one keep-alive connection each. Prints the wrong keys
//     the engine looked at (answered 403) per second over the whole run and
//     over its second half, and the expected time to find a 26^6 key at the
//     second half's rate.
//
//   engine_hostile_bench spread PORT HOSTS
//     HOSTS addresses (127.8.0.1 ...) send one wrong key each, 300 at a
//     time (a refusal waits about a second; near the engine's crowding mark
//     of 448, counting connections still closing, it would close waiting
//     ones to make room), as an attacker filling the engine's table of
//     addresses would. Prints how long it took and how the engine answered.
//
//   engine_hostile_bench hold PORT SECONDS
//     600 connections from 20 addresses (127.0.7.1 ...), 30 each, ask for
//     /big.bin and read nothing, each reopened once the engine cuts it.
//     Before and after SECONDS of that, 127.0.0.1 loads /index.html eleven
//     times from a fresh connection and downloads /d/dfiles/phone.bin with
//     the proof in COOKIE (environment). Prints the medians, quiet and held.
//
//   engine_hostile_bench crowd PORT SECONDS
//     400 connections from 127.0.0.2 and 127.0.0.3 (a third idle, a third
//     trickling a request's headers, a third trickling a body the engine
//     does not want or a stalled upload), each reopened as soon as the engine
//     cuts it, while 127.0.0.1 measures the median GET latency. Prints the
//     quiet median, the median under load and how many hostile connections
//     were cut.

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int Connect(std::uint16_t port, const std::string& source) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads one reply with a Content-Length; its status, or 0 when the
// connection ended first.
int ReadReply(int fd, std::string& pending) {
    char buffer[8192];
    while (true) {
        const std::size_t end = pending.find("\r\n\r\n");
        if (end != std::string::npos) {
            std::size_t length = 0;
            const std::size_t at = pending.find("Content-Length: ");
            if (at != std::string::npos && at < end) {
                length = std::strtoul(pending.c_str() + at + 16, nullptr, 10);
            }
            if (pending.size() >= end + 4 + length) {
                const int status = std::atoi(pending.c_str() + 9);
                pending.erase(0, end + 4 + length);
                return status;
            }
        }
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return 0;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
    }
}

int Guess(std::uint16_t port, double seconds, int hosts) {
    std::atomic<long> checked{0};
    std::atomic<long> checkedLate{0};
    std::atomic<long> refused{0};
    const auto start = Clock::now();
    const auto half = start + std::chrono::duration<double>(seconds / 2);
    const auto end = start + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (int h = 0; h < hosts; ++h) {
        threads.emplace_back([&, h] {
            const std::string source =
                "127.0." + std::to_string(5 + h / 250) + "." + std::to_string(h % 250 + 1);
            unsigned long counter = static_cast<unsigned long>(h) * 1000003UL;
            int fd = -1;
            std::string pending;
            while (Clock::now() < end) {
                if (fd < 0) {
                    fd = Connect(port, source);
                    pending.clear();
                    if (fd < 0) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                        continue;
                    }
                }
                std::string key(6, 'a');
                unsigned long n = ++counter;
                for (char& c : key) {
                    c = static_cast<char>('a' + n % 26);
                    n /= 26;
                }
                if (!SendAll(fd, "GET /api/upload?key=" + key +
                                     "&id=a HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) {
                    close(fd);
                    fd = -1;
                    continue;
                }
                const int status = ReadReply(fd, pending);
                if (status == 0) {
                    close(fd);
                    fd = -1;
                } else if (status == 429) {
                    ++refused;
                } else {
                    ++checked;
                    if (Clock::now() >= half) {
                        ++checkedLate;
                    }
                }
            }
            if (fd >= 0) {
                close(fd);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const double lateRate = checkedLate.load() / (seconds / 2);
    const double keys = std::pow(26.0, 6);
    std::printf("hosts %d, %.0f s: wrong keys looked at %.1f/s over the run, %.2f/s in its "
                "second half; 429 answers %.0f/s\n",
                hosts, seconds, checked.load() / seconds, lateRate, refused.load() / seconds);
    if (lateRate > 0) {
        const double years = keys / 2 / lateRate / (365.25 * 24 * 3600);
        std::printf("expected time to find a 26^6 key at that rate: %.3g years (%.3g hours)\n",
                    years, years * 365.25 * 24);
    } else {
        std::printf("expected time to find a 26^6 key: no key looked at in the second half\n");
    }
    if (checked.load() + refused.load() == 0) {
        std::fprintf(stderr, "guess: the engine answered no key at all\n");
        return 1;
    }
    return 0;
}

int Spread(std::uint16_t port, int hosts) {
    std::atomic<int> next{0};
    std::atomic<long> lookedAt{0};
    std::atomic<long> refused{0};
    std::atomic<long> failed{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < 300; ++t) {
        threads.emplace_back([&] {
            for (int h = next++; h < hosts; h = next++) {
                in_addr address{};
                address.s_addr = htonl(0x7F080001U + static_cast<std::uint32_t>(h));
                char source[INET_ADDRSTRLEN] = {};
                inet_ntop(AF_INET, &address, source, sizeof source);
                const int fd = Connect(port, source);
                std::string pending;
                const int status =
                    fd >= 0 && SendAll(fd, "GET /api/upload?key=zzzzzz&id=a HTTP/1.1\r\nHost: "
                                           "127.0.0.1\r\nConnection: close\r\n\r\n")
                        ? ReadReply(fd, pending)
                        : 0;
                if (fd >= 0) {
                    close(fd);
                }
                ++(status == 429 ? refused : status == 0 ? failed : lookedAt);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%d addresses in %.0f s: %ld looked at, %ld answered 429, %ld failed\n", hosts,
                seconds, lookedAt.load(), refused.load(), failed.load());
    return failed.load() > hosts / 100 ? 1 : 0;
}

// ------------------------------------------------------------------- hold --

// Milliseconds to fetch target whole on a fresh connection (1e9 when it
// failed), reading the body by its Content-Length.
double FetchMs(std::uint16_t port, const std::string& target, const std::string& cookie) {
    const auto start = Clock::now();
    const int fd = Connect(port, "127.0.0.1");
    bool whole = false;
    if (fd >= 0 && SendAll(fd, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                   (cookie.empty() ? "" : "Cookie: " + cookie + "\r\n") +
                                   "Connection: close\r\n\r\n")) {
        std::string head;
        char buffer[65536];
        std::size_t body = 0;
        std::size_t length = 0;
        bool haveHead = false;
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            if (haveHead) {
                body += static_cast<std::size_t>(n);
                continue;
            }
            head.append(buffer, static_cast<std::size_t>(n));
            const std::size_t end = head.find("\r\n\r\n");
            if (end != std::string::npos) {
                haveHead = head.compare(0, 12, "HTTP/1.1 200") == 0;
                const std::size_t at = head.find("Content-Length: ");
                length = at < end ? std::strtoul(head.c_str() + at + 16, nullptr, 10) : 0;
                body = head.size() - end - 4;
                if (!haveHead) {
                    break;
                }
            }
        }
        whole = haveHead && body == length;
    }
    if (fd >= 0) {
        close(fd);
    }
    return whole ? std::chrono::duration<double, std::milli>(Clock::now() - start).count() : 1e9;
}

// A median of fetches most of which failed: the figure is no time.
bool Failed(double ms) {
    if (ms < 1e9) {
        return false;
    }
    std::fprintf(stderr, "most fetches failed: no figure\n");
    return true;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int Hold(std::uint16_t port, double seconds) {
    const char* proof = std::getenv("COOKIE");
    const std::string cookie = proof != nullptr ? proof : "";
    const auto measure = [&](std::vector<double>& pages, std::vector<double>& downloads) {
        for (int i = 0; i < 11; ++i) {
            pages.push_back(FetchMs(port, "/index.html", {}));
        }
        for (int i = 0; i < 3; ++i) {
            downloads.push_back(FetchMs(port, "/d/dfiles/phone.bin", cookie));
        }
    };
    std::vector<double> quietPages, quietDownloads, heldPages, heldDownloads;
    measure(quietPages, quietDownloads);
    std::atomic<bool> stop{false};
    std::atomic<long> cuts{0};
    std::thread holder([&] {
        std::vector<int> fds(600, -1);
        while (!stop) {
            for (std::size_t i = 0; i < fds.size() && !stop; ++i) {
                if (fds[i] >= 0) {
                    pollfd p{fds[i], POLLRDHUP, 0};
                    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
                        close(fds[i]);
                        fds[i] = -1;
                        ++cuts;
                    }
                }
                if (fds[i] < 0) {
                    fds[i] = Connect(port, "127.0.7." + std::to_string(i % 20 + 1));
                    if (fds[i] >= 0) {
                        SendAll(fds[i], "GET /big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        for (const int fd : fds) {
            if (fd >= 0) {
                close(fd);
            }
        }
    });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    measure(heldPages, heldDownloads);
    stop = true;
    holder.join();
    std::printf("page load quiet %.2f ms, held %.2f ms; download quiet %.0f ms, held %.0f ms; "
                "held connections cut %ld\n",
                Median(quietPages), Median(heldPages), Median(quietDownloads),
                Median(heldDownloads), cuts.load());
    std::printf("RESULT %.3f %.3f %.1f %.1f\n", Median(quietPages), Median(heldPages),
                Median(quietDownloads), Median(heldDownloads));
    return Failed(Median(quietPages)) || Failed(Median(heldPages)) ||
                   Failed(Median(quietDownloads)) || Failed(Median(heldDownloads))
               ? 1
               : 0;
}

// ------------------------------------------------------------------ crowd --

struct Hostile {
    int fd = -1;
    int kind = 0; // 0 idle, 1 trickling headers, 2 GET with a body, 3 stalled upload
    std::string source;
};

void Open(Hostile& h, std::uint16_t port, int serial) {
    h.fd = Connect(port, h.source);
    if (h.fd < 0) {
        return;
    }
    switch (h.kind) {
    case 1:
        SendAll(h.fd, "GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
        break;
    case 2:
        SendAll(h.fd, "GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
                      "1000000\r\n\r\n");
        break;
    case 3:
        SendAll(h.fd, "POST /api/upload?key=benchk&id=h" + std::to_string(serial) +
                          "&name=h.bin&size=1000000&offset=0 HTTP/1.1\r\nHost: "
                          "127.0.0.1\r\nContent-Length: 1000000\r\n\r\n");
        break;
    default:
        break;
    }
}

double MedianGetMs(std::uint16_t port, int count) {
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        const int fd = Connect(port, "127.0.0.1");
        std::string pending;
        int status = 0;
        if (fd >= 0 && SendAll(fd, "GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: "
                                   "close\r\n\r\n")) {
            status = ReadReply(fd, pending);
        }
        if (fd >= 0) {
            close(fd);
        }
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        times.push_back(status == 200 ? ms : 1e9);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

int Crowd(std::uint16_t port, double seconds) {
    const double quiet = MedianGetMs(port, 41);
    std::vector<Hostile> hostile(400);
    for (std::size_t i = 0; i < hostile.size(); ++i) {
        hostile[i].source = i < 200 ? "127.0.0.2" : "127.0.0.3";
        // One host idles and trickles headers, the other trickles bodies.
        hostile[i].kind = static_cast<int>(i % 2 + (i < 200 ? 0 : 2));
    }
    std::atomic<bool> stop{false};
    std::atomic<long> cuts{0};
    std::thread attacker([&] {
        int serial = 0;
        for (auto& h : hostile) {
            Open(h, port, ++serial);
        }
        while (!stop) {
            // A byte every 200 ms on every trickling one; a closed one is
            // reopened at once, as an attacker would.
            for (auto& h : hostile) {
                if (h.fd >= 0) {
                    pollfd p{h.fd, POLLIN, 0};
                    if (poll(&p, 1, 0) > 0) {
                        char buffer[4096];
                        const ssize_t n = recv(h.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                        if (n <= 0) {
                            close(h.fd);
                            h.fd = -1;
                            ++cuts;
                        }
                    }
                }
                if (h.fd < 0) {
                    Open(h, port, ++serial);
                } else if (h.kind != 0) {
                    SendAll(h.fd, h.kind == 1 ? "a" : "x");
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        for (auto& h : hostile) {
            if (h.fd >= 0) {
                close(h.fd);
            }
        }
    });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double loaded = MedianGetMs(port, 41);
    stop = true;
    attacker.join();
    std::printf("quiet %.3f ms, loaded %.3f ms, ratio %.2f, hostile connections cut %ld\n", quiet,
                loaded, loaded / quiet, cuts.load());
    std::printf("RESULT %.3f %.3f\n", quiet, loaded);
    return Failed(quiet) || Failed(loaded) ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "guess" && argc == 5) {
        return Guess(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atof(argv[3]),
                     std::atoi(argv[4]));
    }
    if (mode == "spread" && argc == 4) {
        return Spread(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]));
    }
    if (mode == "hold" && argc == 4) {
        return Hold(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atof(argv[3]));
    }
    if (mode == "crowd" && argc == 4) {
        return Crowd(static_cast<std::uint16_t>(std::atoi(argv[2])), std::atof(argv[3]));
    }
    std::fprintf(
        stderr,
        "usage: %s guess PORT SECONDS HOSTS | spread PORT HOSTS | hold PORT SECONDS | crowd PORT "
        "SECONDS\n",
        argv[0]);
    return 2;
}
