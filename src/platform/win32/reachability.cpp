// What keeps phones out: the network category Windows gave the current
// network (Network List Manager) and the firewall's inbound rules (the
// firewall's COM policy object), both asked through COM.

#include "platform/platform.h"
#include "platform/win32/WideText.h"

#include <vector>
// Winsock first; the IP Helper header needs its types.
#include <winsock2.h>
// (kept apart so the order stays)
#include <iphlpapi.h>
#include <netfw.h>
#include <netlistmgr.h>
#include <oleauto.h>
#include <ws2tcpip.h>

namespace platform {
namespace {

// The class ids, written here: the import library has them for neither.
constexpr CLSID NetworkListManagerClass = {
    0xdcb00c01, 0x570f, 0x4a9b, {0x8d, 0x69, 0x19, 0x9f, 0xdb, 0xa5, 0x72, 0x3b}};
constexpr CLSID FirewallPolicyClass = {
    0xe2b3c97f, 0x6ae1, 0x41ac, {0x81, 0x7a, 0xf6, 0xf9, 0x21, 0x66, 0xd7, 0xdd}};

// COM on this thread for the object's lifetime; a thread that already has it
// (the GUI thread, which Qt set up) keeps its own.
class ComScope {
  public:
    ComScope() {
        const HRESULT result = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        owned_ = SUCCEEDED(result);
        usable_ = owned_ || result == RPC_E_CHANGED_MODE;
    }
    ~ComScope() {
        if (owned_)
            ::CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    bool Usable() const { return usable_; }

  private:
    bool owned_ = false;
    bool usable_ = false;
};

// Releases one COM interface.
template <typename T> class ComRef {
  public:
    ComRef() = default;
    ~ComRef() { Reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T** Out() {
        Reset();
        return &p_;
    }
    void Reset() {
        if (p_ != nullptr)
            p_->Release();
        p_ = nullptr;
    }

  private:
    T* p_ = nullptr;
};

// Frees a BSTR.
class Bstr {
  public:
    Bstr() = default;
    ~Bstr() { ::SysFreeString(b_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR* Out() { return &b_; }
    std::wstring_view View() const { return b_ ? std::wstring_view(b_, ::SysStringLen(b_)) : L""; }

  private:
    BSTR b_ = nullptr;
};

// The id of the adapter that carries the IPv4 address; nullopt when none does.
std::optional<GUID> AdapterOf(const std::string& address) {
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result = ::GetAdaptersAddresses(
            AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
            nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR)
        return std::nullopt;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
         adapter = adapter->Next) {
        for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
             unicast = unicast->Next) {
            char text[INET_ADDRSTRLEN] = {};
            const auto* in = reinterpret_cast<const sockaddr_in*>(unicast->Address.lpSockaddr);
            if (in == nullptr || in->sin_family != AF_INET ||
                ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr ||
                address != text)
                continue;
            GUID id{};
            if (::CLSIDFromString(win32::Wide(adapter->AdapterName).c_str(), &id) != NOERROR)
                return std::nullopt;
            return id;
        }
    }
    return std::nullopt;
}

// True when the network the address lies on is marked Public; nullopt when
// that cannot be told. Only that network counts: a VPN or a virtual switch
// marked Public does not keep phones on the Wi-Fi out.
std::optional<bool> OnPublicNetwork(const std::string& address) {
    const std::optional<GUID> adapter = AdapterOf(address);
    if (!adapter)
        return std::nullopt;
    ComRef<INetworkListManager> manager;
    if (FAILED(::CoCreateInstance(NetworkListManagerClass, nullptr, CLSCTX_ALL,
                                  __uuidof(INetworkListManager),
                                  reinterpret_cast<void**>(manager.Out()))))
        return std::nullopt;
    ComRef<IEnumNetworkConnections> connections;
    if (FAILED(manager->GetNetworkConnections(connections.Out())) || !connections)
        return std::nullopt;
    for (;;) {
        ComRef<INetworkConnection> connection;
        ULONG fetched = 0;
        if (connections->Next(1, connection.Out(), &fetched) != S_OK || fetched != 1)
            return std::nullopt;
        GUID id{};
        if (FAILED(connection->GetAdapterId(&id)) || !::IsEqualGUID(id, *adapter))
            continue;
        ComRef<INetwork> network;
        NLM_NETWORK_CATEGORY category = NLM_NETWORK_CATEGORY_PRIVATE;
        if (FAILED(connection->GetNetwork(network.Out())) || !network ||
            FAILED(network->GetCategory(&category)))
            return std::nullopt;
        return category == NLM_NETWORK_CATEGORY_PUBLIC;
    }
}

bool SamePath(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() &&
           ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// False when the firewall is on for a current profile and no enabled inbound
// rule lets the program in on it; nullopt when that cannot be told.
std::optional<bool> FirewallLetsIn(const std::wstring& program) {
    ComRef<INetFwPolicy2> policy;
    if (FAILED(::CoCreateInstance(FirewallPolicyClass, nullptr, CLSCTX_INPROC_SERVER,
                                  __uuidof(INetFwPolicy2), reinterpret_cast<void**>(policy.Out()))))
        return std::nullopt;
    long profiles = 0;
    if (FAILED(policy->get_CurrentProfileTypes(&profiles)))
        return std::nullopt;
    long guarded = 0;
    for (const long profile :
         {NET_FW_PROFILE2_DOMAIN, NET_FW_PROFILE2_PRIVATE, NET_FW_PROFILE2_PUBLIC}) {
        VARIANT_BOOL enabled = VARIANT_FALSE;
        if ((profiles & profile) != 0 &&
            SUCCEEDED(policy->get_FirewallEnabled(static_cast<NET_FW_PROFILE_TYPE2>(profile),
                                                  &enabled)) &&
            enabled != VARIANT_FALSE)
            guarded |= profile;
    }
    if (guarded == 0)
        return true;

    ComRef<INetFwRules> rules;
    ComRef<IUnknown> enumerator;
    ComRef<IEnumVARIANT> items;
    if (FAILED(policy->get_Rules(rules.Out())) || !rules ||
        FAILED(rules->get__NewEnum(enumerator.Out())) || !enumerator ||
        FAILED(enumerator->QueryInterface(__uuidof(IEnumVARIANT),
                                          reinterpret_cast<void**>(items.Out()))))
        return std::nullopt;
    for (;;) {
        VARIANT item;
        ::VariantInit(&item);
        ULONG fetched = 0;
        if (items->Next(1, &item, &fetched) != S_OK || fetched != 1)
            return false;
        ComRef<INetFwRule> rule;
        const bool isRule = item.vt == VT_DISPATCH && item.pdispVal != nullptr &&
                            SUCCEEDED(item.pdispVal->QueryInterface(
                                __uuidof(INetFwRule), reinterpret_cast<void**>(rule.Out())));
        ::VariantClear(&item);
        if (!isRule)
            continue;
        Bstr application;
        VARIANT_BOOL enabled = VARIANT_FALSE;
        NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_OUT;
        NET_FW_ACTION action = NET_FW_ACTION_BLOCK;
        long ruleProfiles = 0;
        if (SUCCEEDED(rule->get_ApplicationName(application.Out())) &&
            SamePath(application.View(), program) && SUCCEEDED(rule->get_Enabled(&enabled)) &&
            enabled != VARIANT_FALSE && SUCCEEDED(rule->get_Direction(&direction)) &&
            direction == NET_FW_RULE_DIR_IN && SUCCEEDED(rule->get_Action(&action)) &&
            action == NET_FW_ACTION_ALLOW && SUCCEEDED(rule->get_Profiles(&ruleProfiles)) &&
            (ruleProfiles & guarded) == guarded)
            return true;
    }
}

} // namespace

std::optional<std::string> PhoneBlockedNotice(const std::string& enginePath,
                                              const std::string& address) {
    const ComScope com;
    if (!com.Usable())
        return std::nullopt;
    if (OnPublicNetwork(address).value_or(false))
        return "Windows treats this network as public: phones cannot connect. Make it private in "
               "Settings > Network & Internet > your network > Network profile type.";
    if (!FirewallLetsIn(win32::Wide(enginePath)).value_or(true))
        return "Windows Firewall has no rule for Tessary's engine: phones cannot connect. Run "
               "the Tessary setup again and choose \"Allow phones on private networks\".";
    return std::nullopt;
}

} // namespace platform
