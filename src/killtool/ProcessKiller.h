#pragma once

// What the kill tool does, apart from its command line: find the processes
// of one user that run one program file, and end them.

#include <chrono>
#include <string>
#include <vector>

namespace killtool {

// The program file a name stands for: a name with a "/" is a path of its
// own; a bare name is that program in the user's work folder
// (<data folder>/Tessary/<name>). Symbolic links resolved; empty when no
// such file exists.
std::string ResolveProgram(const std::string& name);

// Processes of the given user whose executable is exactly programPath (also
// when the file was replaced since they started). Never the calling process.
std::vector<int> FindProcesses(const std::string& programPath, unsigned user);

// SIGTERM to each, then SIGKILL to those still there after grace. The ids
// that are gone afterwards.
std::vector<int> EndProcesses(const std::vector<int>& pids, std::chrono::milliseconds grace);

} // namespace killtool
