// The launcher directory: the first writable candidate of a fixed list, chosen once per process.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <optional>

#include "base/handle.h"
#include "base/system.h"
#include "base/text.h"
#include "base/text_pure.h"
#include "shell/launcher_dir_internal.h"
#include "shell/launcher_dir_pure.h"

namespace {

constexpr DWORD kBufferChars = 32768;

bool shell_folder(int csidl, std::wstring& out) {
    std::wstring buffer(kBufferChars, L'\0');
    // SHGetFolderPathW writes at most MAX_PATH characters; the larger buffer costs nothing.
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer.data()))) return false;
    buffer.resize(wcslen(buffer.c_str()));
    out = buffer;
    return true;
}

std::wstring module_directory() {
    std::wstring buffer(kBufferChars, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), kBufferChars);
    if (n == 0 || n >= kBufferChars) return {};  // unreadable, or cut short: no directory
    buffer.resize(n);
    const std::size_t cut = buffer.find_last_of(L"\\/");
    return cut == std::wstring::npos ? buffer : buffer.substr(0, cut);
}

std::wstring probe_log_path() {
    std::wstring temp = read_env(L"TEMP");
    if (temp.empty()) temp = L".";
    return temp + L"\\quillmarsh_probe.log";
}

void append_probe_line(const std::wstring& probe_log, const std::wstring& candidate, const std::wstring& outcome) {
    bool created = false;
    DWORD code = 0;
    kernel_handle file = open_plain_file(probe_log, FILE_APPEND_DATA, FILE_SHARE_READ, false, nullptr, created, code);
    if (!file) return;
    const std::wstring line = L"[probe] " + candidate + L" -> " + outcome + L"\r\n";
    // UTF-16 little-endian without a byte order mark: the program's own wide characters as they are.
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
}

std::wstring access_failure(DWORD code) {
    return L"права доступа: код " + decimal(code);
}

// The string form of an account ("S-1-5-18"); empty when it cannot be converted.
std::string sid_text(PSID sid) {
    if (sid == nullptr || !IsValidSid(sid)) return {};
    wchar_t* raw = nullptr;
    if (!ConvertSidToStringSidW(sid, &raw)) return {};
    const local_memory owner{raw};
    return to_utf8(raw);
}

// A well-known account in a buffer of its own.
struct well_known_sid {
    explicit well_known_sid(WELL_KNOWN_SID_TYPE type) {
        DWORD size = sizeof bytes;
        if (!CreateWellKnownSid(type, nullptr, bytes, &size)) ok = false;
    }
    PSID get() { return ok ? static_cast<PSID>(bytes) : nullptr; }
    alignas(DWORD) BYTE bytes[SECURITY_MAX_SID_SIZE] = {};
    bool ok = true;
};

// The access list entries of an open object, as the trust judgement reads them.
folder_security describe_security(PSID owner, PACL dacl) {
    folder_security security;
    security.owner = sid_text(owner);
    security.has_access_list = dacl != nullptr;
    if (dacl == nullptr) return security;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) {
            // An entry that cannot be read might grant anything to anyone.
            security.entries.push_back({access_kind::other, kChangingAccessMask, false, {}});
            continue;
        }
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        // Every entry type of an access list keeps its mask right after the header; only the plain
        // and callback forms keep the account right after the mask.
        const auto* plain = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        access_entry entry;
        entry.mask = plain->Mask;
        entry.inherit_only = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
        switch (header->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
            entry.kind = access_kind::allow;
            entry.sid = sid_text(const_cast<DWORD*>(&plain->SidStart));
            break;
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            entry.kind = access_kind::deny;
            break;
        default:
            entry.kind = access_kind::other;
            break;
        }
        security.entries.push_back(std::move(entry));
    }
    return security;
}

// The owner and access list of an open object; nothing (and `code`) when they cannot be read.
std::optional<folder_security> read_security(HANDLE object, DWORD& code) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    local_memory descriptor;
    // GetSecurityInfo returns its code rather than setting the last error.
    const DWORD status = GetSecurityInfo(object, SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                         &dacl, nullptr, descriptor.put());
    if (status != ERROR_SUCCESS) {
        code = status;
        return std::nullopt;
    }
    return describe_security(owner, dacl);
}

// Nothing when the object behind `object` is trusted for `user_sid`, else the reason.
std::optional<std::wstring> check_trust(HANDLE object, const std::string& user_sid) {
    DWORD code = 0;
    const std::optional<folder_security> security = read_security(object, code);
    if (!security) return access_failure(code);
    const trust_verdict verdict = judge_folder(user_sid, *security);
    if (verdict.trust == folder_trust::trusted) return std::nullopt;
    return trust_reason(verdict);
}

// Nothing when the candidate (and, for a link, what it leads to) is owned by the user, SYSTEM or
// Administrators and no other account may change it, else the reason. The link itself counts: its
// owner could point it elsewhere later.
std::optional<std::wstring> check_candidate_trust(const std::wstring& candidate, const std::string& user_sid) {
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    kernel_handle itself{CreateFileW(candidate.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, share, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                     nullptr)};
    if (!itself) return access_failure(GetLastError());
    if (std::optional<std::wstring> reason = check_trust(itself.get(), user_sid)) return reason;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(itself.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
        return access_failure(GetLastError());
    }
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return std::nullopt;
    kernel_handle target{CreateFileW(candidate.c_str(), READ_CONTROL, share, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    if (!target) return access_failure(GetLastError());
    return check_trust(target.get(), user_sid);
}

// Creates the last element of `path` readable and changeable only by the user, SYSTEM and
// Administrators: a protected list (nothing inherited from the parent) whose entries pass on to
// everything created inside. The owner is the token's default (the user, or Administrators for an
// elevated administrator). Same result and last error as CreateDirectoryW.
bool create_owner_only_directory(const std::wstring& path, PSID user) {
    well_known_sid system_sid(WinLocalSystemSid);
    well_known_sid admins_sid(WinBuiltinAdministratorsSid);
    PSID accounts[] = {user, system_sid.get(), admins_sid.get()};
    DWORD acl_size = sizeof(ACL);
    for (PSID account : accounts) {
        if (account == nullptr) {
            SetLastError(ERROR_INVALID_SID);
            return false;
        }
        acl_size += static_cast<DWORD>(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) + GetLengthSid(account);
    }
    std::vector<DWORD> acl_buffer((acl_size + sizeof(DWORD) - 1) / sizeof(DWORD));  // DWORD-aligned
    auto* acl = reinterpret_cast<ACL*>(acl_buffer.data());
    if (!InitializeAcl(acl, acl_size, ACL_REVISION)) return false;
    for (PSID account : accounts) {
        if (!AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS,
                                   account)) {
            return false;
        }
    }
    SECURITY_DESCRIPTOR descriptor{};
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    return CreateDirectoryW(path.c_str(), &attributes) != FALSE;
}

// Creates the directory (last element only, owner-only when new), refuses one that another account
// owns or may change, and creates a test file in it; nothing when the candidate is usable, else the
// reason.
std::optional<std::wstring> try_candidate(const std::wstring& candidate, const current_user& user) {
    if (candidate.empty()) return L"пустой путь";
    if (user.sid_text.empty()) return access_failure(user.code);
    if (!create_owner_only_directory(candidate, user.sid())) {
        const DWORD code = GetLastError();
        if (code != ERROR_ALREADY_EXISTS) return L"создание каталога: код " + decimal(code);
    }
    if (std::optional<std::wstring> reason = check_candidate_trust(candidate, user.sid_text)) return reason;
    const std::wstring test_file = candidate + L"\\.quillmarsh_write_test";
    kernel_handle file{CreateFileW(test_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) {
        // A stale file from an earlier run must not block the candidate: delete it and try once more.
        DeleteFileW(test_file.c_str());
        file.reset(CreateFileW(test_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
        if (!file) {
            const DWORD code = GetLastError();
            return L"тестовый файл: код " + decimal(code);
        }
    }
    file.reset();
    DeleteFileW(test_file.c_str());
    return std::nullopt;
}

}  // namespace

std::vector<std::wstring> launcher_dir_candidates() {
    std::vector<std::wstring> list;
    std::wstring folder;
    if (shell_folder(CSIDL_APPDATA, folder)) list.push_back(folder + L"\\.quillmarsh\\launcher");
    if (shell_folder(CSIDL_LOCAL_APPDATA, folder)) list.push_back(folder + L"\\.quillmarsh\\launcher");
    list.push_back(module_directory() + L"\\launcher_data");
    const std::wstring temp = read_env(L"TEMP");
    if (!temp.empty()) list.push_back(temp + L"\\.quillmarsh\\launcher");
    return list;
}

current_user read_current_user() {
    current_user user;
    kernel_handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        user.code = GetLastError();
        return user;
    }
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);  // fails by design: asks for the size
    user.token_user.resize((size + sizeof(DWORD) - 1) / sizeof(DWORD) + 1);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.token_user.data(),
                                          static_cast<DWORD>(user.token_user.size() * sizeof(DWORD)), &size)) {
        user.code = GetLastError();
        user.token_user.clear();
        return user;
    }
    user.sid_text = sid_text(user.sid());
    if (user.sid_text.empty()) user.code = GetLastError();
    return user;
}

launcher_location resolve_launcher_dir(const std::vector<std::wstring>& candidates,
                                       const std::wstring& probe_log_path) {
    const current_user user = read_current_user();
    std::vector<std::wstring> without_parent;
    for (const std::wstring& candidate : candidates) {
        const std::optional<std::wstring> reason = try_candidate(candidate, user);
        append_probe_line(probe_log_path, candidate, reason.value_or(L"OK"));
        if (!reason) return {candidate, true};
        if (*reason == L"создание каталога: код " + decimal(ERROR_PATH_NOT_FOUND)) without_parent.push_back(candidate);
    }
    // Nothing passed. On a fresh profile ".quillmarsh" does not exist yet, and the program's folder may be
    // one that other accounts can change (refused above): rather than ending the run, make the missing
    // parent (owner-only, one level) of those candidates and try each once more, in the same order. A
    // run that found a usable candidate never gets here, so the choice is the same as before everywhere
    // else.
    for (const std::wstring& candidate : without_parent) {
        const std::size_t cut = candidate.find_last_of(L"\\/");
        if (cut != std::wstring::npos && cut > 0) create_owner_only_directory(candidate.substr(0, cut), user.sid());
        const std::optional<std::wstring> reason = try_candidate(candidate, user);
        append_probe_line(probe_log_path, candidate, reason.value_or(L"OK"));
        if (!reason) return {candidate, true};
    }
    return {candidates.empty() ? std::wstring{} : candidates.front(), false};
}

const launcher_location& process_launcher_dir() {
    // A function-local static: initialised once, and a second thread that asks meanwhile waits.
    static const launcher_location location = resolve_launcher_dir(launcher_dir_candidates(), probe_log_path());
    return location;
}
