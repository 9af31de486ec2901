// Final boxes and, in a build with reports, the one failure report of a run. See failure_report.h.
#include "shell/failure_report.h"

#include "shell/sequence.h"

#ifdef QUILLMARSH_FAILURE_REPORTS

#include <windows.h>

#include <atomic>
#include <mutex>
#include <new>
#include <thread>

#include "base/log.h"
#include "base/system.h"
#include "base/text.h"
#include "deployment_values.h"
#include "shell/server_address.h"

namespace {

// What the sending thread owns. Allocated once per run and never freed: a sender still running when the
// process ends must not find it gone, and the run sends at most one.
struct report_job {
    failure_report report;
    std::wstring outcome;  // why it was not sent; written by the sender before it sets `done`
    HANDLE done = nullptr;  // manual-reset event, never closed (it lives as long as the process)
};

// Set by the first final box with a code (any thread); later boxes send nothing.
std::atomic<bool> g_report_started{false};
// The run's job, published after its thread started; read by await_failure_report (any thread).
std::atomic<report_job*> g_report_job{nullptr};
// Set by the first await_failure_report that wrote the report's outcome.
std::atomic<bool> g_report_logged{false};
// Written by the worker after the fingerprint (remember_report_identity), read by the box's thread.
std::mutex g_identity_lock;
DeviceIdentity g_identity;

std::wstring account_name() {
    wchar_t name[257] = {};  // UNLEN + 1
    DWORD size = 257;
    if (!GetUserNameW(name, &size)) return {};
    return name;
}

void send_report(report_job* job) {
    std::wstring error;
    if (job->report.hwid.empty()) {
        // A box before the device check (the worker could not start, an early unexpected error, the
        // watchdog during the fingerprint): the report is signed with a fingerprint made here.
        const DeviceIdentity identity = collect_device_identity();
        job->report.hwid = identity.hwid;
        job->report.sig = identity.sig;
    }
    if (job->report.hwid.empty()) {
        job->outcome = L"нет HWID";
    } else if (!send_failure_report(job->report, error)) {
        job->outcome = error;
    }
    // The key's copy is not kept past its use (the job itself is never freed).
    SecureZeroMemory(job->report.key.data(), job->report.key.size());
    SetEvent(job->done);
}

void start_report(final_box box, const std::wstring& text) {
    const std::optional<std::string_view> code = failure_code(box);
    if (!code || g_report_started.exchange(true)) return;
    report_job* job = new (std::nothrow) report_job;
    if (job == nullptr) return;
    try {
        job->report.url = server_base_url() + from_utf8(unscramble(deployment::report_path,
                                                                   sizeof deployment::report_path));
        job->report.key = hwid_signing_key();
        {
            std::lock_guard<std::mutex> lock(g_identity_lock);
            job->report.hwid = g_identity.hwid;
            job->report.sig = g_identity.sig;
        }
        job->report.code = std::string(*code);
        job->report.text = text;
        job->report.log_path = log_file();
        job->report.profile = read_env(L"USERPROFILE");
        job->report.user_names = {account_name(), read_env(L"USERNAME")};
    } catch (...) {  // out of memory: no report
        delete job;
        return;
    }
    job->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (job->done == nullptr) {
        delete job;
        return;
    }
    try {
        std::thread(send_report, job).detach();
    } catch (...) {  // std::system_error: no thread, no report
        CloseHandle(job->done);
        delete job;
        log_line(L"Отчёт об ошибке не отправлен: не удалось создать поток.");
        return;
    }
    g_report_job.store(job);
}

}  // namespace

void show_final_box(final_box box, const std::wstring& text) {
    start_report(box, text);
    show_error_box(text);
    await_failure_report(kReportGraceMs);
}

bool await_failure_report(std::uint32_t bound_ms) {
    report_job* job = g_report_job.load();
    if (job == nullptr) return true;
    const bool ended = WaitForSingleObject(job->done, bound_ms) == WAIT_OBJECT_0;
    if (!g_report_logged.exchange(true)) {
        if (!ended) {
            log_line(L"Отчёт об ошибке не отправлен: сервер не ответил вовремя.");
        } else if (!job->outcome.empty()) {
            log_line(L"Отчёт об ошибке не отправлен: " + job->outcome + L".");
        }
    }
    return ended;
}

void remember_report_identity(const DeviceIdentity& identity) {
    std::lock_guard<std::mutex> lock(g_identity_lock);
    g_identity = identity;
}

#else  // reports not built in: the boxes alone

void show_final_box(final_box, const std::wstring& text) {
    show_error_box(text);
}

bool await_failure_report(std::uint32_t) {
    return true;
}

void remember_report_identity(const DeviceIdentity&) {}

#endif
