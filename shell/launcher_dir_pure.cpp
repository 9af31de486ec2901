#include "shell/launcher_dir_pure.h"

namespace {

// Account strings compare without regard to case ("s-1-5-18" is SYSTEM too); ASCII only.
bool same_sid(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

bool trusted_account(std::string_view user_sid, std::string_view sid) {
    return !sid.empty() && (same_sid(sid, user_sid) || same_sid(sid, kSystemSid) ||
                            same_sid(sid, kAdministratorsSid));
}

// Whether an entry's account stands for a trusted one. CREATOR OWNER only ever acts through
// inheritance and becomes whoever creates a child, which needs a changing right of its own (judged
// by that right's entry). OWNER RIGHTS is the current owner, checked before the entries.
bool trusted_entry_account(std::string_view user_sid, const access_entry& entry) {
    if (trusted_account(user_sid, entry.sid)) return true;
    if (same_sid(entry.sid, kOwnerRightsSid)) return true;
    return entry.inherit_only && same_sid(entry.sid, kCreatorOwnerSid);
}

std::wstring ascii_wide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (char c : text) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

trust_verdict judge_folder(std::string_view user_sid, const folder_security& security) {
    if (!trusted_account(user_sid, security.owner)) return {folder_trust::foreign_owner, security.owner};
    if (!security.has_access_list) return {folder_trust::writable_by_others, "S-1-1-0"};  // no list: Everyone
    for (const access_entry& entry : security.entries) {
        if (entry.kind == access_kind::deny) continue;
        if ((entry.mask & kChangingAccessMask) == 0) continue;
        if (entry.kind == access_kind::allow && trusted_entry_account(user_sid, entry)) continue;
        return {folder_trust::writable_by_others, entry.kind == access_kind::allow ? entry.sid : std::string{}};
    }
    return {};
}

std::wstring trust_reason(const trust_verdict& verdict) {
    const std::wstring sid = verdict.sid.empty() ? L"?" : ascii_wide(verdict.sid);
    switch (verdict.trust) {
    case folder_trust::foreign_owner:
        return L"чужой владелец каталога: " + sid;
    case folder_trust::writable_by_others:
        return L"каталог доступен для записи другим: " + sid;
    case folder_trust::trusted:
        break;
    }
    return {};
}
