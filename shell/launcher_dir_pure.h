// Whether a candidate launcher directory can be trusted, judged from its owner and access list.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Well-known accounts besides the user that may own or change a launcher directory.
inline constexpr std::string_view kSystemSid = "S-1-5-18";
inline constexpr std::string_view kAdministratorsSid = "S-1-5-32-544";
// Placeholders in inheritable entries: replaced by the creator of each new child (its account, or its
// primary group), or by the current owner of the object.
inline constexpr std::string_view kCreatorOwnerSid = "S-1-3-0";
inline constexpr std::string_view kOwnerRightsSid = "S-1-3-4";

// Access bits that let their holder change a folder or what lies in it: write data / add file,
// append data / add subfolder, write extended attributes, delete child, write attributes, delete,
// write the access list, take ownership, and the generic write and all rights.
inline constexpr std::uint32_t kChangingAccessMask = 0x00000002u | 0x00000004u | 0x00000010u | 0x00000040u |
                                                     0x00000100u | 0x00010000u | 0x00040000u | 0x00080000u |
                                                     0x40000000u | 0x10000000u;

enum class access_kind { allow, deny, other };

// One entry of an access list as the platform reports it. `sid` is the string form ("S-1-1-0"),
// empty when the entry's account could not be read.
struct access_entry {
    access_kind kind = access_kind::allow;
    std::uint32_t mask = 0;
    bool inherit_only = false;  // applies only to children created later, not to the folder itself
    std::string sid;
};

struct folder_security {
    std::string owner;                   // string form of the owner's account, empty when unreadable
    bool has_access_list = true;         // false: no list at all, which lets everyone do anything
    std::vector<access_entry> entries;
};

enum class folder_trust { trusted, foreign_owner, writable_by_others };

struct trust_verdict {
    folder_trust trust = folder_trust::trusted;
    std::string sid;  // the foreign owner, or the account that may change the folder ("" when unknown)
};

// Judges a folder for the user `user_sid`. It is trusted when its owner is the user, SYSTEM or
// Administrators, and no entry lets any other account change it or, through inheritance, what is
// later created in it. Deny entries never make a folder safer here: order and scope make their
// effect hard to see, so only allow entries are weighed, and entries of another kind (object,
// conditional) count as allowing whatever their mask says to someone unknown.
trust_verdict judge_folder(std::string_view user_sid, const folder_security& security);

// The probe log's reason for a folder that is not trusted (empty for a trusted one).
std::wstring trust_reason(const trust_verdict& verdict);
