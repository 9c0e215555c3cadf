#pragma once

// Slows down guessing of the page key. Every address may send a few wrong
// or missing keys; past that it is turned away for a while without its key
// being looked at, so a right guess then tells it nothing. Wrong keys from
// all addresses together share one budget, so many addresses cannot share
// the work. An address that never sent a wrong key is never turned away.

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>

namespace engine {

class KeyGuard {
  public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        // This many wrong keys from one address within window block it.
        unsigned perAddress = 20;
        std::chrono::seconds window{60};
        std::chrono::seconds block{600};
        // Wrong keys from all addresses together, per window.
        unsigned network = 120;
        // While that budget is spent, an address that sent a wrong key this
        // recently is turned away as well.
        std::chrono::seconds suspectFor{600};
        // Addresses remembered at most (bounds the memory an attacker with
        // many addresses can make the engine use).
        std::size_t addresses = 65536;
    };

    KeyGuard() : KeyGuard(Limits{}) {}
    explicit KeyGuard(Limits limits);

    // False when a key from this address must not be checked now: the
    // request is answered 429 instead.
    bool MayCheck(std::uint32_t address, Clock::time_point now);
    // Counts a wrong or missing key from this address.
    void RecordWrong(std::uint32_t address, Clock::time_point now);
    // Whole seconds after which the address may try again (at least 1).
    unsigned RetryAfterSeconds(std::uint32_t address, Clock::time_point now);

  private:
    struct Record {
        std::deque<Clock::time_point> recent; // wrong keys within the window
        Clock::time_point blockedUntil{};
        Clock::time_point lastWrong{};
    };

    void Refill(Clock::time_point now);
    bool NetworkSpent() const { return tokens_ < 1.0; }
    void Forget(Clock::time_point now);

    Limits limits_;
    std::mutex mutex_;
    std::unordered_map<std::uint32_t, Record> records_;
    double tokens_;
    Clock::time_point refilled_{};
};

} // namespace engine
