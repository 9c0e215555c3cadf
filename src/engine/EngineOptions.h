#pragma once

// The engine's command line: PageKey, the web root relative to the working
// folder, then optionally --port N and --bind ADDRESS.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace engine {

inline constexpr std::uint16_t DefaultPort = 8016;

struct EngineOptions {
    std::string pageKey;
    std::string webRoot; // as given, relative to the working folder
    std::uint16_t port = DefaultPort;
    std::uint32_t bindAddress = 0; // IPv4, host byte order; 0 = every interface
    // Overrides both connection timeouts (seconds), for tests.
    std::optional<unsigned> timeoutSeconds;
    // Overrides the rate a reply must be taken in at (bytes a second), for
    // tests: on loopback a slow reader is only told apart at high rates.
    std::optional<unsigned> minReplyRate;
    // Overrides how many wrong keys all addresses together may send a
    // minute, for tests: a small budget refills slowly enough that a test
    // finds it still spent on a loaded machine.
    std::optional<unsigned> keyBudget;
};

struct OptionsResult {
    std::optional<EngineOptions> options;
    std::string error; // set when options is empty
};

// Parses the arguments after the program name.
OptionsResult ParseEngineOptions(const std::vector<std::string>& args);

// Parses a dotted IPv4 address ("127.0.0.1") into host byte order.
std::optional<std::uint32_t> ParseIpv4(const std::string& text);

// The usage text printed with an argument error.
std::string EngineUsage();

} // namespace engine
