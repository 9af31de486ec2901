// Stage 3: the built-in Java 17. Only the runtime the shell provisions itself counts here; installed
// runtimes are the client start stage's fall-backs.
#include <vector>

#include "base/log.h"
#include "base/text.h"
#include "java/java.h"
#include "shell/panel.h"
#include "shell/release_flow.h"
#include "shell/server_address.h"
#include "shell/stages.h"

namespace {

void fill_java_failure(const launch_context& launch, const std::wstring& error, stage_failure& failure) {
    failure.kind = final_box::java17_failed;
    failure.log = L"ОШИБКА: не удалось подготовить Java 17: " + error;
    failure.box = L"Не удалось скачать и распаковать Java 17.\n\n" + error +
                  L"\n\nПроверьте интернет-соединение и перезапустите лаунчер.\n\nПодробности: " +
                  launcher_file(launch, L"launcher.log");
}

// A build with a publisher key: the archive is fetched only when the release's digest is not the one
// the built-in Java 17 was unpacked from, with the release's exact size and digest; without a trusted
// release only a Java 17 recorded as verified is used.
std::optional<std::wstring> release_java17(launch_context& launch, std::wstring& error, stage_failure& failure) {
    std::vector<std::wstring> homes;
    search_java_homes(launch.launcher_dir + L"\\Java17", 2, homes);
    const java_plan plan = plan_java(launch.release, !homes.empty());
    if (plan == java_plan::missing) {
        fill_java_failure(launch, untrusted_release_text(launch), failure);
        return std::nullopt;
    }
    const std::wstring archive_url = server_base_url() + builtin_java_archive_path();
    const release_file& archive = launch.release.manifest.java;
    const bool fetch = plan == java_plan::download || plan == java_plan::replace;
    if (!launch.release.trusted) log_line(L"ВНИМАНИЕ: использую проверенную ранее Java 17 без обновления.");
    // Kept: an existing home is returned as it is, nothing is fetched.
    std::optional<std::wstring> home = ensure_builtin_java17(
        launch.launcher_dir, archive_url, fetch ? from_utf8(archive.sha256_hex) : L"", plan == java_plan::replace,
        error, make_status_progress(), download_limits{max_archive_bytes(), archive.size});
    post_status_progress(-1);
    if (!home) {
        fill_java_failure(launch, error, failure);
        return std::nullopt;
    }
    if (fetch && error.empty()) {
        save_verified_record(launch, record_java_archive(launch.release.verified, launch.key_fingerprint,
                                                         archive.sha256_hex));
    } else if (fetch && !(launch.release.verified && launch.release.verified->java_archive_sha256_hex)) {
        // The replacement failed and what is left was never verified here: it does not run.
        fill_java_failure(launch, error, failure);
        return std::nullopt;
    }
    return home;
}

}  // namespace

bool run_java17_stage(launch_context& launch, stage_failure& failure) {
    post_status_text(L"Подготовка Java 17...");
    log_line(L"Подготовка встроенной Java 17...");

    // What a run killed while provisioning left (a partial archive, a half-unpacked folder) goes first,
    // whether or not this run provisions.
    remove_java17_leftovers(launch.launcher_dir);

    std::wstring error;
    std::optional<std::wstring> home;
    if (launch.release_build) {
        home = release_java17(launch, error, failure);
        if (!home) return false;
    } else {
        const std::wstring archive_url = server_base_url() + builtin_java_archive_path();
        home = ensure_builtin_java17(launch.launcher_dir, archive_url, L"", false, error, make_status_progress(),
                                     download_limits{max_archive_bytes(), std::nullopt});
        // The bar belongs to the download only; the failure box must not show a stale one either.
        post_status_progress(-1);
        if (!home) {
            fill_java_failure(launch, error, failure);
            return false;
        }
    }
    if (!error.empty()) {
        log_line(L"ВНИМАНИЕ: " + error + L". Использую текущую Java.");
    } else {
        log_line(L"Встроенная Java 17 готова.");
    }
    launch.java_home = *home;
    return true;
}
