// Java discovery: the installed runtimes named by the environment, the registry and the usual
// installation folders. Nothing here reports an error; a source that cannot be read adds nothing.
#include <cwchar>

#include "base/handle.h"
#include "base/system.h"
#include "java/java_internal.h"

namespace {

const wchar_t* const kJavaSoftKeys[] = {
    L"SOFTWARE\\JavaSoft\\Java Runtime Environment",
    L"SOFTWARE\\JavaSoft\\Java Development Kit",
    L"SOFTWARE\\JavaSoft\\JRE",
    L"SOFTWARE\\JavaSoft\\JDK",
    L"SOFTWARE\\Wow6432Node\\JavaSoft\\Java Runtime Environment",
    L"SOFTWARE\\Wow6432Node\\JavaSoft\\Java Development Kit",
    L"SOFTWARE\\Wow6432Node\\JavaSoft\\JRE",
    L"SOFTWARE\\Wow6432Node\\JavaSoft\\JDK",
};

}  // namespace

bool is_java_home(const std::wstring& dir) {
    const DWORD attributes = GetFileAttributesW((dir + L"\\bin\\java.exe").c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
    return !is_excluded_java_path(dir);
}

void search_java_homes(const std::wstring& root, int depth, std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW entry{};
    find_handle listing{FindFirstFileW((root + L"\\*").c_str(), &entry)};
    if (!listing) return;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
        if (std::wcscmp(entry.cFileName, L".") == 0 || std::wcscmp(entry.cFileName, L"..") == 0) continue;
        const std::wstring child = root + L"\\" + entry.cFileName;
        if (is_java_home(child)) {
            out.push_back(child);
        } else if (depth != 1 && !is_excluded_java_path(child)) {
            search_java_homes(child, depth - 1, out);
        }
    } while (FindNextFileW(listing.get(), &entry));
}

void add_java_candidate(std::vector<std::wstring>& list, const std::wstring& path,
                        const std::wstring& exclusion_home) {
    const std::wstring home = trim_trailing_separators(path);
    if (!is_java_home(home)) return;
    add_unique_home(list, home, exclusion_home);
}

void add_registry_java_homes(HKEY root, std::vector<std::wstring>& list, const std::wstring& exclusion_home) {
    for (const wchar_t* subkey : kJavaSoftKeys) {
        if (const auto home = read_registry_string(root, subkey, L"JavaHome")) {
            add_java_candidate(list, *home, exclusion_home);
        }
        if (const auto version = read_registry_string(root, subkey, L"CurrentVersion")) {
            const std::wstring version_key = std::wstring(subkey) + L"\\" + *version;
            if (const auto home = read_registry_string(root, version_key, L"JavaHome")) {
                add_java_candidate(list, *home, exclusion_home);
            }
        }
    }
}

void find_java_candidates(std::vector<std::wstring>& list, const std::wstring& exclusion_home,
                          const std::wstring& launcher_dir) {
    const std::wstring java_home = read_env(L"JAVA_HOME");
    if (!java_home.empty()) add_java_candidate(list, java_home, exclusion_home);

    for (const std::wstring& piece : split_path_list(read_env(L"PATH"))) {
        add_java_candidate(list, home_from_path_piece(piece), exclusion_home);
    }

    add_registry_java_homes(HKEY_LOCAL_MACHINE, list, exclusion_home);
    add_registry_java_homes(HKEY_CURRENT_USER, list, exclusion_home);

    for (const wchar_t* variable : {L"ProgramFiles", L"ProgramFiles(x86)"}) {
        const std::wstring base = read_env(variable);
        if (base.empty()) continue;
        for (const wchar_t* suffix : {L"\\Java", L"\\Eclipse Adoptium", L"\\Microsoft"}) {
            std::vector<std::wstring> found;
            search_java_homes(base + suffix, 2, found);
            for (const std::wstring& home : found) add_java_candidate(list, home, exclusion_home);
        }
    }

    add_java_candidate(list, launcher_dir + L"\\jre", exclusion_home);
}
