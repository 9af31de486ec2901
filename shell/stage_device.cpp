// Stage 2: device check. The fingerprint is published in the environment before the server is asked,
// so the launcher jar started later inherits it; only an explicit "not banned" lets the run go on.
#include <windows.h>

#include "base/log.h"
#include "device/device.h"
#include "net/net.h"
#include "shell/failure_report.h"
#include "shell/panel.h"
#include "shell/server_address.h"
#include "shell/stages.h"

bool run_device_check_stage(launch_context& launch, stage_failure& failure) {
    post_status_text(L"Проверка устройства...");
    log_line(L"Сбор HWID устройства...");
    const DeviceIdentity identity = take_or_compute(launch.identity, collect_device_identity);
    if (identity.hwid.empty()) {
        failure.kind = final_box::no_fingerprint;
        failure.log = L"ОШИБКА: не удалось собрать HWID. Запуск запрещён.";
        failure.box = L"Не удалось проверить устройство.\n\nПроверьте интернет-соединение и перезапустите лаунчер.";
        return false;
    }
    log_line(L"HWID устройства собран.");
    remember_report_identity(identity);

    // A variable that cannot be set only costs the launcher jar its input; the check still runs.
    SetEnvironmentVariableW(L"QUILLMARSH_HWID", identity.hwid.c_str());
    SetEnvironmentVariableW(L"QUILLMARSH_HWID_SIG", identity.sig.c_str());

    std::wstring error;
    const ban_check_result result = check_hwid_ban(server_base_url(), identity.hwid, identity.sig, error);
    if (!result.answered) {
        failure.kind = final_box::ban_check_failed;
        failure.log = L"Не удалось проверить HWID: " + error + L". Сервер недоступен — блокирую запуск.";
        failure.box = L"Не удалось проверить устройство.\n\nСервер проверки недоступен. Попробуйте позже.";
        return false;
    }
    if (result.banned) {
        failure.kind = final_box::banned;
        failure.log = L"HWID ЗАБЛОКИРОВАН. Запуск лаунчера запрещён.";
        failure.box =
            L"Ваше железо заблокированно! Обратитесь в службу поддержки если вы считаете что это ошибка!";
        return false;
    }
    log_line(L"HWID не значится в бан-листе — продолжаем.");
    return true;
}
