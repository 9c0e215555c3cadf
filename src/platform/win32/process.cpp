// Starting programs through the shell, and the process table.

#include "platform/platform.h"
#include "platform/win32/WideText.h"

#include <algorithm>
#include <memory>
// Winsock first; the IP Helper header needs its types.
#include <winsock2.h>
// (kept apart so the order stays)
#include <iphlpapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <utility>

namespace platform {
namespace {

using win32::Narrow;
using win32::UniqueHandle;
using win32::Wide;

// The account a process runs as: its whole SID as text.
std::optional<UserId> AccountOf(HANDLE process) {
    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &rawToken))
        return std::nullopt;
    UniqueHandle token(rawToken);
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    if (size == 0)
        return std::nullopt;
    auto buffer = std::make_unique<unsigned char[]>(size);
    if (!::GetTokenInformation(token.Get(), TokenUser, buffer.get(), size, &size))
        return std::nullopt;
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid;
    LPWSTR text = nullptr;
    if (!::IsValidSid(sid) || !::ConvertSidToStringSidW(sid, &text))
        return std::nullopt;
    UserId account = Narrow(text);
    ::LocalFree(text);
    return account;
}

std::string ImagePath(HANDLE process) {
    std::wstring buffer(32768, L'\0');
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!::QueryFullProcessImageNameW(process, 0, buffer.data(), &length))
        return {};
    return Narrow(std::wstring_view(buffer.data(), length));
}

bool ShellOpen(const std::wstring& file, const std::wstring& parameters, const std::wstring& folder,
               int show) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
    info.nShow = show;
    return ::ShellExecuteExW(&info) != FALSE;
}

// Windows compares paths without regard to case, in either delimiter.
std::wstring PathKey(const std::string& path) {
    std::wstring key = Wide(path);
    if (key.empty())
        return key;
    ::CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    std::replace(key.begin(), key.end(), L'/', L'\\');
    return key;
}

// When the process was created, in FILETIME ticks; nullopt when it cannot
// be told. Process ids are reused, so an id alone names no process for long.
std::optional<std::uint64_t> CreationTime(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user))
        return std::nullopt;
    return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// The id of the process that started pid, from the process snapshot; 0
// when it is not listed.
DWORD ParentOf(DWORD pid) {
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more;
         more = ::Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ProcessID == pid)
            return entry.th32ParentProcessID;
    }
    return 0;
}

// Owners of the listening sockets on port in one of the owner-aware TCP
// tables (IPv4 or IPv6); false when the table cannot be read.
template <typename Table>
bool AddListenerOwners(ULONG family, std::uint16_t port, std::vector<int>& owners) {
    ULONG size = 0;
    std::unique_ptr<unsigned char[]> buffer;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer = std::make_unique<unsigned char[]>(std::max<ULONG>(size, 1));
        result = ::GetExtendedTcpTable(buffer.get(), &size, FALSE, family,
                                       TCP_TABLE_OWNER_PID_LISTENER, 0);
    }
    if (result != NO_ERROR)
        return false;
    const auto* table = reinterpret_cast<const Table*>(buffer.get());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const auto& row = table->table[i];
        if (::ntohs(static_cast<u_short>(row.dwLocalPort)) != port)
            continue;
        const int pid = static_cast<int>(row.dwOwningPid);
        if (std::find(owners.begin(), owners.end(), pid) == owners.end())
            owners.push_back(pid);
    }
    return true;
}

} // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr)
        return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i)
        arguments.push_back(Narrow(wide[i]));
    ::LocalFree(wide);
    return arguments;
}

bool RunHidden(const std::string& file, std::string_view parameters) {
    if (file.empty())
        return false;
    // The program runs in its own folder, as an installed tool expects.
    std::wstring program = Wide(file);
    std::wstring full(32768, L'\0');
    const DWORD length =
        ::GetFullPathNameW(program.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size())
        return false;
    full.resize(length);
    const DWORD attributes = ::GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    const std::wstring folder = full.substr(0, full.find_last_of(L"\\/") + 1);
    return ShellOpen(full, Wide(parameters), folder, SW_HIDE);
}

bool OpenWithDefaultApp(const std::string& target) {
    if (target.empty())
        return false;
    return ShellOpen(Wide(target), {}, {}, SW_SHOWNORMAL);
}

std::vector<ProcessInfo> ListProcesses() {
    std::vector<ProcessInfo> processes;
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return processes;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more;
         more = ::Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ProcessID == 0)
            continue;
        // Processes this user may not look into are not listed.
        UniqueHandle process(
            ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process)
            continue;
        const auto account = AccountOf(process.Get());
        if (!account)
            continue;
        ProcessInfo info;
        info.pid = static_cast<int>(entry.th32ProcessID);
        info.user = *account;
        info.executable = ImagePath(process.Get());
        processes.push_back(std::move(info));
    }
    return processes;
}

UserId CurrentUserId() {
    return AccountOf(::GetCurrentProcess()).value_or(UserId());
}

int CurrentProcessId() {
    return static_cast<int>(::GetCurrentProcessId());
}

bool ProcessExists(int pid) {
    if (pid <= 0)
        return false;
    UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)));
    if (!process)
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    return ::WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
}

std::vector<RunningProcess> FindProcessesOfProgram(const std::string& programPath,
                                                   const UserId& user) {
    std::vector<RunningProcess> found;
    const std::wstring program = PathKey(programPath);
    if (program.empty() || user.empty())
        return found;
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return found;
    const DWORD me = ::GetCurrentProcessId();
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more;
         more = ::Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ProcessID == 0 || entry.th32ProcessID == me)
            continue;
        // Held from here on, and judged by the handle, never by the id again.
        UniqueHandle process(
            ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE,
                          FALSE, entry.th32ProcessID));
        if (!process || AccountOf(process.Get()) != user)
            continue;
        // The system may report the image in another form (a short name, a
        // different case) than the path the caller holds.
        const std::string image = ImagePath(process.Get());
        if (image.empty() || (PathKey(image) != program &&
                              PathKey(CanonicalPath(image).value_or(std::string())) != program))
            continue;
        found.emplace_back(static_cast<int>(entry.th32ProcessID),
                           reinterpret_cast<std::intptr_t>(process.Release()));
    }
    return found;
}

RunningProcess::RunningProcess(int pid, std::intptr_t handle) : pid_(pid), handle_(handle) {}

RunningProcess::~RunningProcess() {
    if (handle_ != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

RunningProcess::RunningProcess(RunningProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, 0)), handle_(std::exchange(other.handle_, -1)) {}

RunningProcess& RunningProcess::operator=(RunningProcess&& other) noexcept {
    if (this != &other) {
        if (handle_ != -1)
            ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
        pid_ = std::exchange(other.pid_, 0);
        handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
}

bool RunningProcess::HasEnded() const {
    if (handle_ == -1)
        return !ProcessExists(pid_);
    return ::WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), 0) != WAIT_TIMEOUT;
}

std::optional<std::vector<int>> ListeningSocketOwners(std::uint16_t port) {
    std::vector<int> owners;
    if (!AddListenerOwners<MIB_TCPTABLE_OWNER_PID>(AF_INET, port, owners) ||
        !AddListenerOwners<MIB_TCP6TABLE_OWNER_PID>(AF_INET6, port, owners))
        return std::nullopt;
    // Id 0 is the system's idle process: the owner could not be told.
    if (std::find(owners.begin(), owners.end(), 0) != owners.end())
        return std::nullopt;
    return owners;
}

ParentProcessWatch::ParentProcessWatch() {
    // The parent is held only while it still runs and is older than this
    // process; otherwise its id may already name another process.
    const DWORD parent = ParentOf(::GetCurrentProcessId());
    UniqueHandle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, parent));
    const auto parentStart = process ? CreationTime(process.Get()) : std::nullopt;
    const auto ownStart = CreationTime(::GetCurrentProcess());
    if (parentStart && ownStart && *parentStart <= *ownStart &&
        ::WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT) {
        parent_ = static_cast<int>(parent);
        held_ = reinterpret_cast<std::intptr_t>(process.Release());
    }
}

ParentProcessWatch::~ParentProcessWatch() {
    if (held_ != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(held_));
}

bool ParentProcessWatch::ParentHasEnded() const {
    // The handle taken at start keeps naming the parent whatever later
    // process gets its id.
    return held_ != -1 && ::WaitForSingleObject(reinterpret_cast<HANDLE>(held_), 0) != WAIT_TIMEOUT;
}

} // namespace platform
