#pragma once

// Slows down guessing of the page key. Every address may send a few wrong
// or missing keys; past that it is turned away for a while without its key
// being looked at, so a right guess then tells it nothing. Wrong keys from
// all addresses together share one budget, so many addresses cannot share
// the work: while it is spent, only addresses that sent no wrong key lately
// are looked at, one key each from a small budget of their own, so every
// key looked at fits within the two budgets whatever the number of
// addresses. A browser that proved it holds the key never reaches the guard.

#include <chrono>
#include <cstdint>
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
        // While it is spent, addresses with no recent wrong key share this
        // many checks per window.
        unsigned newcomers = 30;
        // Addresses remembered at most (about 80 bytes each): bounds the
        // memory an attacker with many addresses can make the engine use.
        std::size_t addresses = 16384;
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
    // Fixed-size, so the table's memory is its entry count times a constant.
    struct Record {
        Clock::time_point windowStart{};
        Clock::time_point blockedUntil{};
        Clock::time_point lastWrong{};
        std::uint32_t inWindow = 0; // wrong keys since windowStart
    };

    void Refill(Clock::time_point now);
    bool NetworkSpent() const { return tokens_ < 1.0; }
    // Makes room in a full table by dropping forgotten addresses; at most
    // once a second, so a flood of new addresses cannot make every request
    // walk the table. True when there is room.
    bool HasRoom(Clock::time_point now);

    Limits limits_;
    std::mutex mutex_;
    std::unordered_map<std::uint32_t, Record> records_;
    double tokens_;
    double newcomerTokens_;
    Clock::time_point refilled_{};
    Clock::time_point swept_{};
};

} // namespace engine
