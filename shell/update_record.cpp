// The update record: last.sha256 names the launcher jar the shell installed last, and when.
// The shell never reads it back; it is there for the player's support and the server's operators.
#include "shell/update_record.h"

#include "base/handle.h"
#include "base/log.h"
#include "base/system.h"
#include "base/text.h"

void save_last_sha256(const std::wstring& path, const std::wstring& digest) {
    std::wstring content = digest;
    content += L"\r\nlast_check=";
    content += format_time_stamp(current_local_time());
    content += L"\r\n";
    const std::string bytes = to_utf8(content);

    // The record is replaced whole, never written through a link planted at its name; when the open
    // fails the old record stays untouched.
    bool created = false;
    DWORD code = 0;
    kernel_handle file = open_plain_file(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, true, nullptr,
                                         created, code);
    if (!file) {
        log_line(with_code(L"ОШИБКА: не удалось сохранить ключ: " + path, code));
        return;
    }
    // The record is informational only; a short write is not worth stopping the launch for.
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
