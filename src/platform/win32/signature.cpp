// The program-file signature check through Authenticode (WinVerifyTrust):
// the signature embedded in the file and its certificate chain, judged by
// the system's trust policy. The vendor key the other systems check against
// is not needed here; the certificate names the signer.

#include "platform/platform.h"
#include "platform/win32/WideText.h"

#include <softpub.h>
#include <wintrust.h>

namespace platform {

SignatureResult VerifyDetachedSignature(const std::string& file, std::span<const unsigned char>) {
    const std::wstring path = win32::Wide(file);
    if (path.empty())
        return SignatureResult::Error;
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = path.c_str();

    GUID policy = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    // No network: revocation lists are not fetched during a check at start-up.
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;

    const LONG status = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &policy, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &policy, &data);

    switch (static_cast<HRESULT>(status)) {
    case ERROR_SUCCESS:
        return SignatureResult::Valid;
    // No signature, or one that does not hold: the answer is "no".
    case TRUST_E_NOSIGNATURE:
    case TRUST_E_SUBJECT_FORM_UNKNOWN:
    case TRUST_E_PROVIDER_UNKNOWN:
    case TRUST_E_BAD_DIGEST:
    case TRUST_E_EXPLICIT_DISTRUST:
    case TRUST_E_SUBJECT_NOT_TRUSTED:
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
    case CERT_E_EXPIRED:
    case CERT_E_REVOKED:
        return SignatureResult::Invalid;
    default:
        return SignatureResult::Error;
    }
}

} // namespace platform
