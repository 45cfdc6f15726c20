// Looks at the launcher's progress window from another process on the same
// desktop, as a user would. "show": waits for it, prints its title, text,
// place and its bar's; "cancel": also presses Cancel with the mouse;
// "watch FILE": whether it came up at any time before FILE existed.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

static void print_window(const char *key, HWND window)
{
    wchar_t wide[256] = L"";
    char text[512] = "";
    RECT r = {};
    GetWindowTextW(window, wide, 256);
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    GetWindowRect(window, &r);
    printf("%s: %s\n%s place: %ld %ld %ld %ld\n", key, text, key, r.left, r.top, r.right, r.bottom);
}

int main(int argc, char **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    const char *until = argc > 2 && strcmp(argv[1], "watch") == 0 ? argv[2] : nullptr;
    printf("watching\n");
    fflush(stdout);
    HWND window = nullptr;
    bool seen = false;
    // Bounded, far above any real wait.
    for (int waited = 0; waited < 600000 && (until != nullptr || window == nullptr || !IsWindowVisible(window));
         waited += 10, Sleep(10)) {
        window = FindWindowA("VeskarProgress", nullptr);
        seen = seen || window != nullptr;
        if (until != nullptr && GetFileAttributesA(until) != INVALID_FILE_ATTRIBUTES)
            return printf(seen ? "progress_window: seen\n" : "progress_window: never\n") < 0;
    }
    if (until != nullptr || window == nullptr)
        return 1;
    print_window("title", window);
    print_window("text", FindWindowExA(window, nullptr, "Static", nullptr));
    print_window("bar", FindWindowExA(window, nullptr, "msctls_progress32", nullptr));
    RECT r = {};
    GetWindowRect(FindWindowExA(window, nullptr, "Button", nullptr), &r);
    if (argc > 1 && strcmp(argv[1], "cancel") == 0 && SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2)) {
        INPUT click[2] = {};
        click[0].type = click[1].type = INPUT_MOUSE;
        click[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
        click[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
        SendInput(2, click, sizeof(INPUT));
    }
    return 0;
}
