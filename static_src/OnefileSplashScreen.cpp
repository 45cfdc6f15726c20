// The splash screen: a PNG from the launcher's resources, shown centred on
// the primary monitor's work area as a borderless per-pixel-alpha window
// until the application deletes the splash feedback file (an entry program
// also by showing its first visible top-level window). A start that takes
// over a second to unpack draws its progress as a bar along the image's
// bottom edge, and on the taskbar button. A thread of its own
// makes the window, pumps its messages and takes it down, so that neither
// the launcher's main thread nor an application running in the launcher's
// process is ever needed for it. Best effort: every failure before the
// window means no splash.
#include "launcher.h"

#include <assert.h>
#include <objbase.h>
#include <wincodec.h>

enum : WORD { splash_resource_id = 28 };

// The window, graphics, imaging, COM and shell functions the splash uses,
// resolved from System32 only when a launcher has a splash image: they are
// not imported, so a launcher without one never loads their libraries.
static struct {
    decltype(&CoInitialize) co_initialize;
    decltype(&CoUninitialize) co_uninitialize;
    decltype(&CreateStreamOnHGlobal) create_stream_on_hglobal;
    decltype(&CoCreateInstance) co_create_instance;
    decltype(&WICConvertBitmapSource) wic_convert_bitmap_source;
    decltype(&CreateDIBSection) create_dib_section;
    decltype(&CreateCompatibleDC) create_compatible_dc;
    decltype(&SelectObject) select_object;
    decltype(&DeleteDC) delete_dc;
    decltype(&DeleteObject) delete_object;
    decltype(&GetObjectA) get_object;
    decltype(&GetDC) get_dc;
    decltype(&ReleaseDC) release_dc;
    decltype(&LoadCursorA) load_cursor;
    decltype(&RegisterClassA) register_class;
    decltype(&CreateWindowExA) create_window;
    decltype(&MonitorFromPoint) monitor_from_point;
    decltype(&GetMonitorInfoA) get_monitor_info;
    decltype(&UpdateLayeredWindow) update_layered_window;
    decltype(&DestroyWindow) destroy_window;
    decltype(&MsgWaitForMultipleObjects) wait_for_messages;
    decltype(&PeekMessageA) peek_message;
    decltype(&DispatchMessageA) dispatch_message;
    decltype(&EnumWindows) enum_windows;
    decltype(&GetWindowThreadProcessId) get_window_thread_process_id;
    decltype(&IsWindowVisible) is_window_visible;
    WNDPROC default_window_procedure;
} splash_api;

template <typename Function>
static bool resolve(Function &function, const wchar_t *library, const char *name)
{
    function = system_function<Function>(library, name);
    return function != nullptr;
}

bool load_window_functions()
{
    auto &f = splash_api;
    return resolve(f.co_initialize, L"ole32.dll", "CoInitialize") &&
           resolve(f.co_uninitialize, L"ole32.dll", "CoUninitialize") &&
           resolve(f.create_stream_on_hglobal, L"ole32.dll", "CreateStreamOnHGlobal") &&
           resolve(f.co_create_instance, L"ole32.dll", "CoCreateInstance") &&
           resolve(f.wic_convert_bitmap_source, L"windowscodecs.dll", "WICConvertBitmapSource") &&
           resolve(f.create_dib_section, L"gdi32.dll", "CreateDIBSection") &&
           resolve(f.create_compatible_dc, L"gdi32.dll", "CreateCompatibleDC") &&
           resolve(f.select_object, L"gdi32.dll", "SelectObject") &&
           resolve(f.delete_dc, L"gdi32.dll", "DeleteDC") &&
           resolve(f.delete_object, L"gdi32.dll", "DeleteObject") &&
           resolve(f.get_object, L"gdi32.dll", "GetObjectA") &&
           resolve(f.get_dc, L"user32.dll", "GetDC") &&
           resolve(f.release_dc, L"user32.dll", "ReleaseDC") &&
           resolve(f.load_cursor, L"user32.dll", "LoadCursorA") &&
           resolve(f.register_class, L"user32.dll", "RegisterClassA") &&
           resolve(f.create_window, L"user32.dll", "CreateWindowExA") &&
           resolve(f.monitor_from_point, L"user32.dll", "MonitorFromPoint") &&
           resolve(f.get_monitor_info, L"user32.dll", "GetMonitorInfoA") &&
           resolve(f.update_layered_window, L"user32.dll", "UpdateLayeredWindow") &&
           resolve(f.destroy_window, L"user32.dll", "DestroyWindow") &&
           resolve(f.wait_for_messages, L"user32.dll", "MsgWaitForMultipleObjects") &&
           resolve(f.peek_message, L"user32.dll", "PeekMessageA") &&
           resolve(f.dispatch_message, L"user32.dll", "DispatchMessageA") &&
           resolve(f.enum_windows, L"user32.dll", "EnumWindows") &&
           resolve(f.get_window_thread_process_id, L"user32.dll", "GetWindowThreadProcessId") &&
           resolve(f.is_window_visible, L"user32.dll", "IsWindowVisible") &&
           resolve(f.default_window_procedure, L"user32.dll", "DefWindowProcA");
}

POINT centre_in_work_area(const RECT &work_area, LONG width, LONG height)
{
    // Signed 32-bit arithmetic, division truncating toward zero.
    return POINT{work_area.left + (work_area.right - work_area.left - width) / 2,
                 work_area.top + (work_area.bottom - work_area.top - height) / 2};
}

POINT centre_on_primary_monitor(LONG width, LONG height)
{
    const auto &f = splash_api;
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    f.get_monitor_info(f.monitor_from_point(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor);
    return centre_in_work_area(monitor.rcWork, width, height);
}

void pump_window_messages(DWORD timeout_ms)
{
    const auto &f = splash_api;
    f.wait_for_messages(0, nullptr, FALSE, timeout_ms, QS_ALLINPUT);
    MSG message;
    while (f.peek_message(&message, nullptr, 0, 0, PM_REMOVE))
        f.dispatch_message(&message);
}

static HBITMAP decode_with_imaging(const void *bytes, DWORD size);

// The decoded image as a top-down premultiplied BGRA DIB section, or null.
static HBITMAP decode_splash_image()
{
    HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(splash_resource_id), MAKEINTRESOURCEA(10));
    if (resource == nullptr)
        return nullptr;
    DWORD size = SizeofResource(nullptr, resource);
    HGLOBAL loaded = LoadResource(nullptr, resource);
    if (loaded == nullptr)
        return nullptr;
    const void *bytes = LockResource(loaded);
    if (bytes == nullptr)
        return nullptr;
    // Only a launcher with an image needs COM, for the imaging component.
    if (!load_window_functions())
        return nullptr;
    // COM is left as it was found: an application run in this process
    // later, on this thread, finds it uninitialised, as a child's would be,
    // and may choose its own apartment. The bitmap is GDI's, not COM's.
    const auto &f = splash_api;
    HRESULT com = f.co_initialize(nullptr);
    HBITMAP bitmap = decode_with_imaging(bytes, size);
    if (SUCCEEDED(com))
        f.co_uninitialize();
    return bitmap;
}

static HBITMAP decode_with_imaging(const void *bytes, DWORD size)
{
    const auto &f = splash_api;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (block == nullptr)
        return nullptr;
    void *copy = GlobalLock(block);
    if (copy == nullptr) {
        GlobalFree(block);
        return nullptr;
    }
    memcpy(copy, bytes, size);
    GlobalUnlock(block);
    IStream *stream = nullptr;
    if (FAILED(f.create_stream_on_hglobal(block, TRUE, &stream))) {
        GlobalFree(block);
        return nullptr;
    }
    if (stream == nullptr)
        return nullptr;

    IWICBitmapDecoder *decoder = nullptr;
    if (FAILED(f.co_create_instance(CLSID_WICPngDecoder1, nullptr, CLSCTX_INPROC_SERVER, IID_IWICBitmapDecoder,
                                reinterpret_cast<void **>(&decoder)))) {
        stream->Release();
        return nullptr;
    }
    UINT frames = 0;
    IWICBitmapFrameDecode *frame = nullptr;
    if (FAILED(decoder->Initialize(stream, WICDecodeMetadataCacheOnLoad)) || FAILED(decoder->GetFrameCount(&frames)) ||
        frames != 1 || FAILED(decoder->GetFrame(0, &frame))) {
        decoder->Release();
        stream->Release();
        return nullptr;
    }
    IWICBitmapSource *converted = nullptr;
    f.wic_convert_bitmap_source(GUID_WICPixelFormat32bppPBGRA, frame, &converted);
    frame->Release();
    decoder->Release();
    stream->Release();  // the memory block goes with the stream's last reference
    if (converted == nullptr)
        return nullptr;

    UINT width = 0, height = 0;
    if (FAILED(converted->GetSize(&width, &height)) || width == 0 || height == 0 ||
        static_cast<uint64_t>(width) * 4 * height > 0xFFFFFFFFu || width > 0x7FFFFFFF || height > 0x7FFFFFFF) {
        converted->Release();
        return nullptr;
    }
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = -static_cast<LONG>(height);  // rows top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void *pixels = nullptr;
    HDC screen = f.get_dc(nullptr);
    HBITMAP bitmap = f.create_dib_section(screen, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    f.release_dc(nullptr, screen);
    if (bitmap == nullptr) {
        converted->Release();
        return nullptr;
    }
    UINT stride = width * 4;
    HRESULT copied = converted->CopyPixels(nullptr, stride, stride * height, static_cast<BYTE *>(pixels));
    converted->Release();
    if (FAILED(copied)) {
        f.delete_object(bitmap);
        return nullptr;
    }
    return bitmap;
}

// The bitmap as the window's whole content, at `position`.
static void show_splash_bitmap(HWND window, HBITMAP bitmap, POINT position)
{
    const auto &f = splash_api;
    BITMAP dimensions = {};
    f.get_object(bitmap, sizeof dimensions, &dimensions);
    SIZE size = {dimensions.bmWidth, dimensions.bmHeight};
    POINT source = {0, 0};
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    HDC screen = f.get_dc(nullptr);
    HDC memory = f.create_compatible_dc(screen);
    HGDIOBJ previous = f.select_object(memory, bitmap);
    f.update_layered_window(window, screen, &position, &size, memory, &source, 0, &blend, ULW_ALPHA);
    f.select_object(memory, previous);
    f.delete_dc(memory);
    f.release_dc(nullptr, screen);
}

static bool has_opaque_pixel(const uint32_t *row, size_t width)
{
    for (size_t x = 0; x < width; x++) {
        if (row[x] >> 24 == 0xFF)
            return true;
    }
    return false;
}

// The share of `done` in the bytes to write as a bar along the image's own
// bottom edge (its lowest row with an opaque pixel, above any transparent
// margin), drawn from the left over the image's pixels with their alpha, so
// that it keeps the image's shape; the rest of the image stays as it is.
// False when nothing could be drawn.
static bool draw_progress_bar(HBITMAP bitmap, LONG64 done)
{
    enum : LONG { bar_height = 4 };
    enum : uint32_t { bar_red = 0x00, bar_green = 0x78, bar_blue = 0xD4 };
    DIBSECTION section = {};
    if (splash_api.get_object(bitmap, sizeof section, &section) != sizeof section || section.dsBm.bmBits == nullptr)
        return false;
    size_t width = static_cast<size_t>(section.dsBm.bmWidth);
    LONG height = section.dsBm.bmHeight;
    uint32_t *pixels = static_cast<uint32_t *>(section.dsBm.bmBits);  // premultiplied BGRA, rows top-down
    LONG bottom = height;
    while (bottom > 0 && !has_opaque_pixel(pixels + static_cast<size_t>(bottom - 1) * width, width))
        bottom--;
    if (bottom == 0)
        return false;
    size_t filled = static_cast<size_t>(static_cast<double>(done) / static_cast<double>(launcher_state.progress_total) *
                                        static_cast<double>(width));
    for (LONG y = bottom > bar_height ? bottom - bar_height : 0; y < bottom; y++) {
        uint32_t *row = pixels + static_cast<size_t>(y) * width;
        for (size_t x = 0; x < filled && x < width; x++) {
            uint32_t alpha = row[x] >> 24;
            row[x] = alpha << 24 | (bar_red * alpha / 255) << 16 | (bar_green * alpha / 255) << 8 |
                     bar_blue * alpha / 255;
        }
    }
    return true;
}

// Stops the enumeration at a visible top-level window of the process
// whose ID `process` points to, and clears that ID.
static BOOL CALLBACK find_visible_window(HWND window, LPARAM process)
{
    const auto &f = splash_api;
    DWORD *wanted = reinterpret_cast<DWORD *>(process);
    DWORD owner = 0;
    f.get_window_thread_process_id(window, &owner);
    if (owner != *wanted || !f.is_window_visible(window))
        return TRUE;
    *wanted = 0;
    return FALSE;
}

// The splash thread: the window and the feedback file, then messages
// until the file is gone or an entry program (its process number published
// in splash_entry_process) shows a visible top-level window. Without a window the launcher cannot keep its
// promise of a splash: it stops, through the C runtime's assertion report
// (on standard error, never a dialog), while the main thread still waits
// for this one, before anything is unpacked.
static DWORD WINAPI run_splash(void *image)
{
    LauncherState &s = launcher_state;
    HBITMAP bitmap = static_cast<HBITMAP>(image);
    const auto &f = splash_api;

    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = f.default_window_procedure;
    window_class.hCursor = f.load_cursor(nullptr, MAKEINTRESOURCEA(32512));
    window_class.lpszClassName = "Splash";
    f.register_class(&window_class);
    HWND splash_window = f.create_window(WS_EX_LAYERED, "Splash", nullptr, WS_POPUP | WS_VISIBLE, 0, 0, 0, 0, nullptr,
                                         nullptr, nullptr, nullptr);
    if (splash_window == nullptr)
        _assert("splash_window != NULL", "static_src\\OnefileSplashScreen", 147);

    BITMAP dimensions = {};
    f.get_object(bitmap, sizeof dimensions, &dimensions);
    POINT position = centre_on_primary_monitor(dimensions.bmWidth, dimensions.bmHeight);
    show_splash_bitmap(splash_window, bitmap, position);
    s.splash_window = splash_window;

    wchar_t feedback[path_capacity];
    SystemPath system;
    bool made = expand_path_spec(feedback, L"{TEMP}\\onefile_{PID}_splash_feedback.tmp", array_count(feedback));
    if (made) {
        // %TEMP% may be shared: whatever lies at the name (a stale file of
        // an earlier run with this process ID, or a link planted by someone
        // else) is deleted as a name, never followed, and the file is then
        // made new.
        // Its owner is the user, as for the unpack directory, so that a
        // sweep of an elevated run's file knows it as the user's; and its
        // creation time is set, because NTFS gives a name made again within
        // seconds of its deletion the old file's time, and a launcher whose
        // process number was reused would then look gone to the sweep.
        DeleteFileW(system_path(system, feedback));
        HANDLE file = CreateFileW(system_path(system, feedback), GENERIC_WRITE, FILE_SHARE_WRITE,
                                  private_directory_security(), CREATE_NEW, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            SetFileTime(file, &now, nullptr, nullptr);
            CloseHandle(file);
        }
        copy_wide_text(s.splash_feedback_file_path, feedback, array_count(s.splash_feedback_file_path));
    }
    SetEvent(s.splash_ready);
    // Without a feedback file the splash stays until the process ends.
    LONG64 drawn = -1;
    bool progress_over = false;
    for (;;) {
        pump_window_messages(50);
        if (!progress_over && InterlockedOr(&s.progress_visible, 0) != 0) {
            progress_over = InterlockedOr(&s.progress_ended, 0) != 0;
            LONG64 shown = progress_over ? static_cast<LONG64>(s.progress_total) : InterlockedOr64(&s.progress_shown, 0);
            if (shown != drawn && draw_progress_bar(bitmap, shown))
                show_splash_bitmap(splash_window, bitmap, position);
            drawn = shown;
            show_taskbar_progress(splash_window);
        }
        // The shell's existence test stops at MAX_PATH: the attributes tell it as well.
        if (made && GetFileAttributesW(system_path(system, feedback)) == INVALID_FILE_ATTRIBUTES)
            break;
        DWORD window_owner = s.splash_entry_process;
        if (window_owner != 0) {
            f.enum_windows(find_visible_window, reinterpret_cast<LPARAM>(&window_owner));
            if (window_owner == 0)
                break;
        }
    }
    f.destroy_window(splash_window);
    s.splash_window = nullptr;
    return 0;
}

void show_splash_screen()
{
    LauncherState &s = launcher_state;
    HBITMAP bitmap = decode_splash_image();
    if (bitmap == nullptr)
        return;
    s.splash_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = s.splash_ready == nullptr ? nullptr : CreateThread(nullptr, 0, run_splash, bitmap, 0, nullptr);
    if (thread == nullptr)
        return;
    // The thread lives as long as its window; the process's end takes both.
    HANDLE waits[2] = {s.splash_ready, thread};
    WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    CloseHandle(thread);
}
