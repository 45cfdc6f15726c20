// The splash screen: a PNG from the launcher's resources, shown centred on
// the primary monitor's work area as a borderless per-pixel-alpha window
// until the application deletes the splash feedback file. Best effort: every
// failure before the window means no splash.
#include "launcher.h"

#include <assert.h>
#include <objbase.h>
#include <shlwapi.h>
#include <wincodec.h>

enum : WORD { splash_resource_id = 28 };

POINT centre_in_work_area(const RECT &work_area, LONG width, LONG height)
{
    // Signed 32-bit arithmetic, division truncating toward zero.
    return POINT{work_area.left + (work_area.right - work_area.left - width) / 2,
                 work_area.top + (work_area.bottom - work_area.top - height) / 2};
}

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
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, &stream))) {
        GlobalFree(block);
        return nullptr;
    }
    if (stream == nullptr)
        return nullptr;

    IWICBitmapDecoder *decoder = nullptr;
    if (FAILED(CoCreateInstance(CLSID_WICPngDecoder1, nullptr, CLSCTX_INPROC_SERVER, IID_IWICBitmapDecoder,
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
    WICConvertBitmapSource(GUID_WICPixelFormat32bppPBGRA, frame, &converted);
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
    HDC screen = GetDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (bitmap == nullptr) {
        converted->Release();
        return nullptr;
    }
    UINT stride = width * 4;
    HRESULT copied = converted->CopyPixels(nullptr, stride, stride * height, static_cast<BYTE *>(pixels));
    converted->Release();
    if (FAILED(copied)) {
        DeleteObject(bitmap);
        return nullptr;
    }
    return bitmap;
}

void show_splash_screen()
{
    LauncherState &s = launcher_state;
    HBITMAP bitmap = decode_splash_image();
    if (bitmap == nullptr)
        return;

    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = DefWindowProcA;
    window_class.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));
    window_class.lpszClassName = "Splash";
    RegisterClassA(&window_class);
    HWND splash_window = CreateWindowExA(WS_EX_LAYERED, "Splash", nullptr, WS_POPUP | WS_VISIBLE, 0, 0, 0, 0, nullptr,
                                         nullptr, nullptr, nullptr);
    // Without a window the launcher cannot keep its promise of a splash:
    // it stops here, before anything is unpacked, through the C runtime's
    // assertion report (on standard error, never a dialog).
    if (splash_window == nullptr)
        _assert("splash_window != NULL", "static_src\\OnefileSplashScreen", 147);

    BITMAP dimensions = {};
    GetObjectA(bitmap, sizeof dimensions, &dimensions);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoA(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor);
    POINT position = centre_in_work_area(monitor.rcWork, dimensions.bmWidth, dimensions.bmHeight);
    SIZE size = {dimensions.bmWidth, dimensions.bmHeight};
    POINT source = {0, 0};
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};

    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    UpdateLayeredWindow(splash_window, screen, &position, &size, memory, &source, 0, &blend, ULW_ALPHA);
    SelectObject(memory, previous);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    s.splash_window = splash_window;

    if (!expand_path_spec(s.splash_feedback_file_path, L"{TEMP}\\onefile_{PID}_splash_feedback.tmp",
                          array_count(s.splash_feedback_file_path)))
        return;
    HANDLE file = CreateFileW(s.splash_feedback_file_path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0,
                              nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    s.splash_feedback_pending = true;
}

bool check_splash_feedback()
{
    LauncherState &s = launcher_state;
    if (!s.splash_feedback_pending)
        return false;
    if (PathFileExistsW(s.splash_feedback_file_path))
        return true;
    if (s.splash_window != nullptr) {
        DestroyWindow(s.splash_window);
        s.splash_window = nullptr;
    }
    s.splash_feedback_pending = false;
    return false;
}
