#pragma once

// Helpers for tests that read the platform's tables in a network namespace
// of their own, where the links, addresses and routes are the test's.

#include <functional>
#include <string>

namespace testns {

// Runs report in a forked child inside new network, mount and UTS
// namespaces, with sysfs mounted for the new network namespace and the ip
// tool at hand. Returns what report returned; "SKIP <reason>" when the
// namespaces cannot be made here (they need root); "FAIL <reason>" when the
// child ended abnormally.
std::string RunInOwnNamespace(const std::function<std::string()>& report);

// Runs a shell command quietly; true when it succeeded.
bool Run(const std::string& command);

// Adds a link that carries addresses: a dummy where the kernel has the
// driver, else one end of a veth pair whose other end is up.
bool AddLink(const std::string& name);

} // namespace testns
