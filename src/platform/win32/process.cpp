// Starting programs through the shell, and the process table.

#include "platform/platform.h"
#include "platform/win32/WideText.h"

#include <memory>
#include <shellapi.h>
#include <tlhelp32.h>

namespace platform {
namespace {

using win32::Narrow;
using win32::UniqueHandle;
using win32::Wide;

// The relative id of the account a process runs as (1000 and up for people
// on a workstation), which stands for the user id of other systems.
std::optional<unsigned> AccountOf(HANDLE process) {
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
    if (!::IsValidSid(sid) || *::GetSidSubAuthorityCount(sid) == 0)
        return std::nullopt;
    return static_cast<unsigned>(*::GetSidSubAuthority(sid, *::GetSidSubAuthorityCount(sid) - 1));
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

} // namespace

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
        info.uid = *account;
        info.executable = ImagePath(process.Get());
        processes.push_back(std::move(info));
    }
    return processes;
}

unsigned CurrentUserId() {
    return AccountOf(::GetCurrentProcess()).value_or(0);
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

} // namespace platform
