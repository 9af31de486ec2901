#include "tests/e2e/driver.h"

#include <algorithm>
#include <cwctype>

namespace e2e {

namespace {

const wchar_t kInstanceMutex[] = L"QuillmarshLauncher.Shell.Instance";

wchar_t fold(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

std::wstring windows_dir() {
    wchar_t buffer[MAX_PATH] = {};
    const UINT n = GetWindowsDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer, n < MAX_PATH ? n : 0);
}

std::wstring system_dir() {
    wchar_t buffer[MAX_PATH] = {};
    const UINT n = GetSystemDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer, n < MAX_PATH ? n : 0);
}

// The pixels of a screen rectangle, 32 bpp top-down.
std::vector<std::uint32_t> grab(HDC source, int x, int y, int w, int h) {
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    HDC mem = CreateCompatibleDC(source);
    HBITMAP bitmap = CreateCompatibleBitmap(source, w, h);
    HGDIOBJ old = SelectObject(mem, bitmap);
    BitBlt(mem, 0, 0, w, h, source, x, y, SRCCOPY);
    SelectObject(mem, old);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    if (GetDIBits(mem, bitmap, 0, static_cast<UINT>(h), pixels.data(), &bi, DIB_RGB_COLORS) == 0) pixels.clear();
    for (std::uint32_t& p : pixels) p &= 0x00FFFFFFu;
    DeleteObject(bitmap);
    DeleteDC(mem);
    return pixels;
}

// A stock icon drawn the way a message box draws it: at the control's size, on the box's background.
std::vector<std::uint32_t> render_icon(const wchar_t* id, int w, int h, std::uint32_t background) {
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(mem, bitmap);
    const RECT all{0, 0, w, h};
    HBRUSH brush = CreateSolidBrush(RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF));
    FillRect(mem, &all, brush);
    DeleteObject(brush);
    DrawIconEx(mem, 0, 0, LoadIconW(nullptr, id), w, h, 0, nullptr, DI_NORMAL);
    std::vector<std::uint32_t> pixels = grab(mem, 0, 0, w, h);
    SelectObject(mem, old);
    DeleteObject(bitmap);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// Another process's icon handle cannot be read here, so the icon is told from the screen: the box's
// icon control is compared with each stock icon drawn locally on the same background.
box_icon identify_icon(HWND box) {
    // The icon's static control: 0x14 in Windows' message box template, stc1 (0x440) in Wine's.
    HWND control = nullptr;
    for (int id : {0x14, 0x440}) {
        control = GetDlgItem(box, id);
        if (control != nullptr) break;
    }
    if (control == nullptr || !IsWindowVisible(control)) return box_icon::none;
    const struct {
        const wchar_t* id;
        box_icon kind;
    } stock[] = {{IDI_HAND, box_icon::error},
                 {IDI_EXCLAMATION, box_icon::warning},
                 {IDI_ASTERISK, box_icon::information},
                 {IDI_QUESTION, box_icon::question}};
    // The box may not have painted itself yet (a busy machine can take seconds): poll with a generous
    // bound that only a box without a stock icon ever reaches.
    const ULONGLONG deadline = GetTickCount64() + 15000;
    while (GetTickCount64() < deadline) {
        RECT r{};
        GetWindowRect(control, &r);
        const int w = r.right - r.left;
        const int h = r.bottom - r.top;
        if (w <= 0 || h <= 0) return box_icon::unknown;
        HDC screen = GetDC(nullptr);
        const std::vector<std::uint32_t> seen = grab(screen, r.left, r.top, w, h);
        ReleaseDC(nullptr, screen);
        if (seen.empty()) return box_icon::unknown;
        for (const auto& s : stock) {
            if (render_icon(s.id, w, h, seen[0]) == seen) return s.kind;
        }
        Sleep(30);
    }
    return box_icon::unknown;
}

struct enum_state {
    DWORD pid;
    std::vector<HWND>* out;
};

BOOL CALLBACK collect(HWND window, LPARAM param) {
    auto* state = reinterpret_cast<enum_state*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == state->pid) state->out->push_back(window);
    return TRUE;
}

std::optional<HWND> find_panel(DWORD pid) {
    for (HWND w : process_windows(pid)) {
        if (class_of(w) == L"QuillmarshStatusWnd") return w;
    }
    return std::nullopt;
}

std::vector<HWND> find_boxes(DWORD pid) {
    std::vector<HWND> out;
    for (HWND w : process_windows(pid)) {
        if (class_of(w) == L"#32770" && IsWindowVisible(w)) out.push_back(w);
    }
    return out;
}

}  // namespace

// ---- Environment ---------------------------------------------------------------------------------

bool name_less::operator()(const std::wstring& a, const std::wstring& b) const {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const wchar_t x = fold(a[i]);
        const wchar_t y = fold(b[i]);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

std::optional<std::wstring> environment::get(const std::wstring& name) const {
    const auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
}

std::wstring environment::block() const {
    std::wstring out;
    for (const auto& [name, value] : vars) {
        out += name;
        out += L'=';
        out += value;
        out += L'\0';
    }
    if (out.empty()) out += L'\0';
    out += L'\0';
    return out;
}

environment minimal_environment() {
    static const wchar_t* const kept[] = {
        L"SystemRoot", L"windir", L"SystemDrive", L"ComSpec", L"PATHEXT", L"OS", L"USERPROFILE", L"USERNAME",
        L"USERDOMAIN", L"HOMEDRIVE", L"HOMEPATH", L"PUBLIC", L"ALLUSERSPROFILE", L"ProgramData", L"COMPUTERNAME",
        L"NUMBER_OF_PROCESSORS", L"PROCESSOR_ARCHITECTURE", L"PROCESSOR_IDENTIFIER", L"PROCESSOR_LEVEL",
        L"PROCESSOR_REVISION", L"WINEPREFIX", L"WINEDEBUG", L"WINEDLLOVERRIDES", L"WINELOADER",
        L"WINESERVER", L"WINEDLLPATH", L"DISPLAY", L"HOME", L"XAUTHORITY"};
    environment env;
    for (const wchar_t* name : kept) {
        const std::wstring value = own_env(name);
        if (!value.empty()) env.set(name, value);
    }
    env.set(L"PATH", system_dir() + L";" + windows_dir());
    return env;
}

std::wstring shell_exe() {
    return windows_path(own_env(L"QUILLMARSH_EXE"));
}

sandbox::sandbox()
    : roaming(dir.sub(L"roaming")), local(dir.sub(L"local")), temp(dir.sub(L"temp")), profile(roaming, local) {}

launch sandbox::shell() const {
    launch l = shell_launch();
    l.env.set(L"TEMP", temp);
    l.env.set(L"TMP", temp);
    l.env.set(L"QUILLMARSH_BASE_URL", L"http://127.0.0.1:9");
    l.working_dir = dir.path;
    return l;
}

instance_mutex_holder::instance_mutex_holder() {
    mutex_.reset(CreateMutexW(nullptr, TRUE, kInstanceMutex));
    created_new_ = mutex_ && GetLastError() != ERROR_ALREADY_EXISTS;
}

instance_mutex_holder::~instance_mutex_holder() {
    if (mutex_) ReleaseMutex(mutex_.get());
}

// ---- Windows ---------------------------------------------------------------------------------------

std::vector<HWND> process_windows(DWORD pid) {
    std::vector<HWND> out;
    enum_state state{pid, &out};
    EnumWindows(collect, reinterpret_cast<LPARAM>(&state));
    return out;
}

std::wstring class_of(HWND window) {
    wchar_t buffer[256] = {};
    const int n = GetClassNameW(window, buffer, 256);
    return std::wstring(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::wstring text_of(HWND window) {
    wchar_t buffer[1024] = {};
    const int n = GetWindowTextW(window, buffer, 1024);
    return std::wstring(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

bool read_box(HWND window, box_seen& out) {
    if (class_of(window) != L"#32770") return false;
    out.window = window;
    out.title = text_of(window);
    std::wstring buffer(8192, L'\0');
    const UINT n = GetDlgItemTextW(window, 0xFFFF, buffer.data(), static_cast<int>(buffer.size()));
    buffer.resize(n);
    out.text = buffer;
    out.icon = identify_icon(window);
    return true;
}

panel_seen read_panel(HWND window) {
    panel_seen p;
    p.window = window;
    p.class_name = class_of(window);
    p.title = text_of(window);
    GetWindowRect(window, &p.rect);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &p.work_area, 0);
    p.style = GetWindowLongW(window, GWL_STYLE);
    p.ex_style = GetWindowLongW(window, GWL_EXSTYLE);
    p.visible = IsWindowVisible(window) != 0;
    p.alpha_read = GetLayeredWindowAttributes(window, &p.colour_key, &p.alpha, &p.layered_flags) != 0;
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    const int kind = GetWindowRgn(window, region);
    if (kind == SIMPLEREGION || kind == COMPLEXREGION) {
        p.has_region = true;
        GetRgnBox(region, &p.region_box);
    }
    DeleteObject(region);
    return p;
}

void dismiss_box(HWND window) {
    PostMessageW(window, WM_COMMAND, IDOK, 0);
}

// ---- Running ---------------------------------------------------------------------------------------

launch shell_launch() {
    launch l;
    l.exe = shell_exe();
    return l;
}

process::~process() {
    if (running()) kill();
}

bool process::start(const launch& l, std::wstring& error) {
    if (l.exe.empty()) {
        error = L"no program path (is QUILLMARSH_EXE set?)";
        return false;
    }
    std::wstring command = L"\"" + l.exe + L"\"";
    if (!l.arguments.empty()) command += L" " + l.arguments;
    std::wstring block = l.env.block();
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(l.exe.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        block.data(), l.working_dir.empty() ? nullptr : l.working_dir.c_str(), &si, &pi)) {
        error = L"CreateProcessW failed with " + std::to_wstring(GetLastError()) + L" for " + l.exe;
        return false;
    }
    process_ = std::move(process_handles(pi).process);
    pid_ = pi.dwProcessId;
    return true;
}

bool process::running() const {
    return static_cast<bool>(process_) && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

bool process::wait(DWORD ms, DWORD& exit_code) {
    if (!process_) return false;
    if (WaitForSingleObject(process_.get(), ms) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(process_.get(), &exit_code);
    return true;
}

void process::kill() {
    if (!process_) return;
    TerminateProcess(process_.get(), 0xDEAD);
    WaitForSingleObject(process_.get(), 10000);
}

std::optional<box_seen> process::wait_for_box(DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    do {
        for (HWND w : find_boxes(pid_)) {
            box_seen b;
            if (read_box(w, b)) return b;
        }
        if (!running()) return std::nullopt;
        Sleep(15);
    } while (GetTickCount64() < deadline);
    return std::nullopt;
}

std::optional<panel_seen> process::wait_for_panel(DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    do {
        if (auto p = panel()) return p;
        if (!running()) return std::nullopt;
        Sleep(5);
    } while (GetTickCount64() < deadline);
    return std::nullopt;
}

std::optional<panel_seen> process::panel() const {
    const std::optional<HWND> w = find_panel(pid_);
    if (!w) return std::nullopt;
    return read_panel(*w);
}

run_result process::finish(const watch_options& options) {
    run_result r;
    r.started = static_cast<bool>(process_);
    if (!r.started) return r;
    std::vector<HWND> recorded;  // boxes already recorded (and answered or left open)
    const ULONGLONG deadline = GetTickCount64() + options.time_limit_ms;
    for (;;) {
        const bool alive = running();
        for (HWND w : process_windows(pid_)) {
            const std::wstring cls = class_of(w);
            if (cls == L"QuillmarshStatusWnd") {
                const panel_seen p = read_panel(w);
                if (!r.panel) r.panel = p;
                if (options.on_panel) options.on_panel(p);
            } else if (cls == L"#32770") {
                if (!IsWindowVisible(w)) continue;
                // A box is read once (its icon is told from the screen, which takes a moment); a box left
                // open is offered again from that record.
                const auto known = std::find(recorded.begin(), recorded.end(), w);
                if (known == recorded.end()) {
                    box_seen b;
                    if (!read_box(w, b)) continue;
                    recorded.push_back(w);
                    r.boxes.push_back(b);
                }
                const std::size_t index = static_cast<std::size_t>(
                    std::find(recorded.begin(), recorded.end(), w) - recorded.begin());
                const bool answer = options.on_box ? options.on_box(r.boxes[index]) : true;
                if (answer) dismiss_box(w);
            } else if (IsWindowVisible(w)) {
                if (std::find(r.other_windows.begin(), r.other_windows.end(), cls) == r.other_windows.end()) {
                    r.other_windows.push_back(cls);
                }
            }
        }
        if (!alive) break;
        if (GetTickCount64() >= deadline) {
            kill();
            r.killed = true;
            return r;
        }
        WaitForSingleObject(process_.get(), options.poll_ms);
    }
    r.exited = true;
    GetExitCodeProcess(process_.get(), &r.exit_code);
    return r;
}

watch_options time_limit(DWORD ms) {
    watch_options o;
    o.time_limit_ms = ms;
    return o;
}

run_result run(const launch& l, const watch_options& options) {
    process p;
    run_result r;
    if (!p.start(l, r.start_error)) return r;
    return p.finish(options);
}

}  // namespace e2e
