#pragma once

// What the kill tool does apart from its command line: tell which program
// file a name stands for. Finding and ending its processes is the platform's.

#include <string>

namespace killtool {

// The program file a name stands for: a name with a "/" is a path of its
// own; a bare name is that program in the user's work folder
// (<data folder>/Tessary/<name>), with the program suffix (".exe" on
// Windows) added unless the name has it. Symbolic links resolved; empty when no
// such file exists.
std::string ResolveProgram(const std::string& name);

} // namespace killtool
