// The progress window of a GUI launcher without a splash: a small window
// centred on the primary monitor's work area, titled with the application's
// name, with "Preparing <name>…", a bar and Cancel, shown once unpacking has
// taken a second. Like the splash it has a thread of its own, which makes
// the window, pumps its messages, follows the published progress (also on
// the taskbar button) and takes the window down when the unpacking is over,
// before the application starts. Cancel, or closing the window, stops the
// start as an interrupt does: nothing is left, the application never runs,
// and the launcher ends with 0xC000013A. Best effort: a window that cannot
// be made means no window.
#include "launcher.h"

#include <commctrl.h>
#include <objbase.h>
#include <shobjidl.h>
#include <wchar.h>

// Resolved from System32 like the splash's, only when a window is shown.
static struct {
    decltype(&CoInitializeEx) co_initialize;
    decltype(&CoCreateInstance) co_create_instance;
    decltype(&InitCommonControlsEx) init_common_controls;
    decltype(&RegisterClassW) register_class;
    decltype(&CreateWindowExW) create_window;
    decltype(&DefWindowProcW) default_window_procedure;
    decltype(&SendMessageW) send_message;
    decltype(&ShowWindow) show_window;
    decltype(&SetFocus) set_focus;
    decltype(&DestroyWindow) destroy_window;
    decltype(&AdjustWindowRectEx) adjust_window_rect;
    decltype(&SystemParametersInfoW) system_parameters_info;
    decltype(&LoadCursorW) load_cursor;
    decltype(&CreateFontIndirectW) create_font;
    bool loaded;
} window_api;

template <typename Function>
static bool resolve(Function &function, const wchar_t *library, const char *name)
{
    function = system_function<Function>(library, name);
    return function != nullptr;
}

static bool load_com_functions()
{
    auto &f = window_api;
    return (f.co_initialize != nullptr && f.co_create_instance != nullptr) ||
           (resolve(f.co_initialize, L"ole32.dll", "CoInitializeEx") &&
            resolve(f.co_create_instance, L"ole32.dll", "CoCreateInstance"));
}

static bool load_progress_window_functions()
{
    auto &f = window_api;
    return load_window_functions() && load_com_functions() &&
           resolve(f.init_common_controls, L"comctl32.dll", "InitCommonControlsEx") &&
           resolve(f.register_class, L"user32.dll", "RegisterClassW") &&
           resolve(f.create_window, L"user32.dll", "CreateWindowExW") &&
           resolve(f.default_window_procedure, L"user32.dll", "DefWindowProcW") &&
           resolve(f.send_message, L"user32.dll", "SendMessageW") &&
           resolve(f.show_window, L"user32.dll", "ShowWindow") &&
           resolve(f.set_focus, L"user32.dll", "SetFocus") &&
           resolve(f.destroy_window, L"user32.dll", "DestroyWindow") &&
           resolve(f.adjust_window_rect, L"user32.dll", "AdjustWindowRectEx") &&
           resolve(f.system_parameters_info, L"user32.dll", "SystemParametersInfoW") &&
           resolve(f.load_cursor, L"user32.dll", "LoadCursorW") &&
           resolve(f.create_font, L"gdi32.dll", "CreateFontIndirectW");
}

void show_taskbar_progress(HWND window)
{
    LauncherState &s = launcher_state;
    // Only one thread shows progress in a window: the splash's or this one's.
    if (!s.taskbar_list_tried) {
        s.taskbar_list_tried = true;
        static const CLSID taskbar_class = {0x56FDF344, 0xFD6D, 0x11D0, {0x95, 0x8A, 0x00, 0x60, 0x97, 0xC9, 0xA0, 0x90}};
        static const IID taskbar_interface = {0xEA1AFB91, 0x9E28, 0x4B86, {0x90, 0xE9, 0x9E, 0x9F, 0x8A, 0x5E, 0xEF, 0xAF}};
        if (!load_com_functions())
            return;
        // Apartment-threaded on this thread, unless it already has COM.
        window_api.co_initialize(nullptr, COINIT_APARTMENTTHREADED);
        if (FAILED(window_api.co_create_instance(taskbar_class, nullptr, CLSCTX_INPROC_SERVER, taskbar_interface,
                                                 reinterpret_cast<void **>(&s.taskbar_list))) ||
            s.taskbar_list == nullptr)
            s.taskbar_list = nullptr;
        else if (FAILED(s.taskbar_list->HrInit())) {
            s.taskbar_list->Release();
            s.taskbar_list = nullptr;
        }
    }
    if (s.taskbar_list == nullptr)
        return;
    // Until the shell has made the window's button these calls fail; the next one succeeds.
    if (InterlockedOr(&s.progress_ended, 0) != 0)
        s.taskbar_list->SetProgressState(window, TBPF_NOPROGRESS);
    else
        s.taskbar_list->SetProgressValue(window, static_cast<ULONGLONG>(InterlockedOr64(&s.progress_shown, 0)),
                                       s.progress_total);
}

enum : int {
    client_width = 380,
    client_height = 118,
    margin = 16,
    button_width = 88,
    button_height = 26,
    bar_steps = 10000,
};

static LRESULT CALLBACK progress_window_procedure(HWND window, UINT message, WPARAM w, LPARAM l)
{
    if ((message == WM_COMMAND && LOWORD(w) == IDCANCEL) || message == WM_CLOSE) {
        InterlockedExchange(&launcher_state.progress_cancelled, 1);
        return 0;
    }
    return window_api.default_window_procedure(window, message, w, l);
}

// The stop protocol's way for a user's interrupt, on a thread of its own:
// this one leaves at once, so that a thread waiting for the window to go
// is never held up by it.
static DWORD WINAPI stop_as_interrupted(void *)
{
    console_control_handler(CTRL_C_EVENT);
    return 0;
}

static HWND make_child(const wchar_t *window_class, const wchar_t *text, DWORD style, int x, int y, int width,
                       int height, HWND parent, int id, HFONT font)
{
    const auto &f = window_api;
    HWND child = f.create_window(0, window_class, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height, parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    if (child != nullptr && font != nullptr)
        f.send_message(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return child;
}

static DWORD WINAPI run_progress_window(void *)
{
    LauncherState &s = launcher_state;
    if (!load_progress_window_functions())
        return 0;
    const auto &f = window_api;
    f.co_initialize(nullptr, COINIT_APARTMENTTHREADED);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    f.init_common_controls(&controls);

    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = progress_window_procedure;
    window_class.hCursor = f.load_cursor(nullptr, MAKEINTRESOURCEW(32512));
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    window_class.lpszClassName = L"VeskarProgress";
    f.register_class(&window_class);
    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
    RECT frame = {0, 0, client_width, client_height};
    f.adjust_window_rect(&frame, style, FALSE, 0);
    LONG width = frame.right - frame.left, height = frame.bottom - frame.top;
    POINT position = centre_on_primary_monitor(width, height);
    HWND window = f.create_window(0, L"VeskarProgress", s.application_name, style, position.x, position.y, width,
                                  height, nullptr, nullptr, nullptr, nullptr);
    if (window == nullptr)
        return 0;

    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    HFONT font = f.system_parameters_info(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)
                     ? f.create_font(&metrics.lfMessageFont)
                     : nullptr;
    wchar_t text[160];
    swprintf(text, array_count(text), L"Preparing %ls\u2026", s.application_name);
    int inner = client_width - 2 * margin;
    make_child(L"STATIC", text, SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, margin, margin, inner, 20, window, 1, font);
    HWND bar = make_child(PROGRESS_CLASSW, nullptr, 0, margin, margin + 26, inner, 18, window, 2, font);
    HWND button = make_child(L"BUTTON", L"Cancel", WS_TABSTOP | BS_PUSHBUTTON, client_width - margin - button_width,
                             client_height - margin - button_height, button_width, button_height, window, IDCANCEL,
                             font);
    f.send_message(bar, PBM_SETRANGE32, 0, bar_steps);
    f.show_window(window, SW_SHOWNORMAL);
    f.set_focus(button);

    LONG64 drawn = -1;
    for (;;) {
        pump_window_messages(50);
        if (InterlockedOr(&s.progress_cancelled, 0) != 0) {
            HANDLE stop = CreateThread(nullptr, 0, stop_as_interrupted, nullptr, 0, nullptr);
            if (stop != nullptr)
                CloseHandle(stop);
            break;
        }
        if (InterlockedOr(&s.progress_ended, 0) != 0)
            break;
        LONG64 shown = InterlockedOr64(&s.progress_shown, 0);
        if (shown != drawn) {
            double share = static_cast<double>(shown) / static_cast<double>(s.progress_total);
            f.send_message(bar, PBM_SETPOS, static_cast<WPARAM>(share * bar_steps), 0);
            show_taskbar_progress(window);
            drawn = shown;
        }
    }
    f.destroy_window(window);
    return 0;
}

// The decoding thread, at the first publication.
void start_progress_window()
{
    launcher_state.progress_window_thread = CreateThread(nullptr, 0, run_progress_window, nullptr, 0, nullptr);
}
