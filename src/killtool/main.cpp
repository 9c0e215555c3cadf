// pskl: ends the running engine of the current user.

#include "killtool/ProcessKiller.h"
#include "platform/platform.h"

#include <iostream>
#include <string>
#include <vector>

namespace {

// The engine stops within 2 s of SIGTERM; a little more before SIGKILL.
constexpr std::chrono::seconds Grace{3};

const char* const Usage =
    "usage: pskl PROGRAM c\n"
    "Ends every running process of PROGRAM that belongs to the calling user.\n"
    "  PROGRAM  a bare name (\"TessaryEngine\") means that program file in the\n"
    "           user's work folder, $XDG_DATA_HOME/Tessary/ (else\n"
    "           ~/.local/share/Tessary/); a name with a \"/\" is a path to the\n"
    "           program file. Only processes whose executable is exactly that\n"
    "           file are ended, never another program of the same name.\n"
    "  c        current user only: processes of other users are never touched.\n"
    "Each process gets SIGTERM, and SIGKILL if it is still there after 3 s.\n"
    "Exit status: 0 when every such process ended, 1 when none was running or\n"
    "one could not be ended, 2 for a wrong command line.\n";

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args = platform::ProgramArguments(argc, argv);
    if (args.size() != 2 || args[1] != "c" || args[0].empty()) {
        std::cerr << Usage;
        return 2;
    }
    const std::string& name = args[0];
    const std::string program = killtool::ResolveProgram(name);
    if (program.empty()) {
        std::cerr << "pskl: no program file for " << name << "\n";
        return 1;
    }
    const auto processes = platform::FindProcessesOfProgram(program, platform::CurrentUserId());
    if (processes.empty()) {
        std::cerr << "pskl: " << program << " is not running for this user\n";
        return 1;
    }
    const auto ended = platform::EndProcesses(processes, Grace);
    if (ended.size() != processes.size()) {
        std::cerr << "pskl: " << (processes.size() - ended.size()) << " of " << processes.size()
                  << " processes of " << program << " could not be ended\n";
        return 1;
    }
    return 0;
}
