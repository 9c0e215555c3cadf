#include "OwnNamespace.h"

#include <cstdlib>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testns {

namespace {

// In the forked child: the namespaces, then the report.
std::string ReportInNamespace(const std::function<std::string()>& report) {
    if (unshare(CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWUTS) != 0) {
        return "SKIP network namespaces cannot be made here (needs root)";
    }
    // sysfs shows the links of the namespace that mounts it.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
        return "SKIP sysfs cannot be mounted in the namespace";
    }
    if (!Run("command -v ip")) {
        return "SKIP the ip tool (iproute2) is not installed";
    }
    return report();
}

} // namespace

bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool AddLink(const std::string& name) {
    if (Run("ip link add " + name + " type dummy")) {
        return true;
    }
    return Run("ip link add " + name + " type veth peer name " + name + "p") &&
           Run("ip link set " + name + "p up");
}

std::string RunInOwnNamespace(const std::function<std::string()>& report) {
    int fds[2];
    if (pipe(fds) != 0) {
        return "SKIP no pipe";
    }
    const pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return "SKIP cannot fork";
    }
    if (child == 0) {
        close(fds[0]);
        const std::string text = ReportInNamespace(report);
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = write(fds[1], text.data() + done, text.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return "FAIL child ended abnormally";
    }
    return text;
}

} // namespace testns
