// The splash without a display: where the image goes, what a built launcher
// carries in its resources, which images give no splash at all, and how a
// launcher with a splash ends when no window can be made.
#include "launcher.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <set>

static void expect_position(const RECT &work_area, LONG width, LONG height, LONG x, LONG y)
{
    POINT p = centre_in_work_area(work_area, width, height);
    EXPECT_EQ(p.x, x) << "work area " << work_area.left << "," << work_area.top << " - " << work_area.right << ","
                      << work_area.bottom << ", image " << width << "x" << height;
    EXPECT_EQ(p.y, y) << "work area " << work_area.left << "," << work_area.top << " - " << work_area.right << ","
                      << work_area.bottom << ", image " << width << "x" << height;
}

TEST(CentreInWorkArea, ImageCentredOnWorkAreaFromOrigin)
{
    expect_position(RECT{0, 0, 1920, 1040}, 640, 360, 640, 340);
    expect_position(RECT{0, 0, 1365, 768}, 640, 360, 362, 204);  // odd leftover: truncated
    expect_position(RECT{0, 0, 1280, 1024}, 201, 121, 539, 451);
}

TEST(CentreInWorkArea, LargerImageTruncatesTowardZero)
{
    expect_position(RECT{0, 0, 100, 100}, 103, 103, -1, -1);  // -3 / 2 is -1, not -2
    expect_position(RECT{0, 0, 100, 100}, 106, 100, -3, 0);
}

TEST(CentreInWorkArea, WorkAreaNotAtOrigin)
{
    expect_position(RECT{62, 0, 1920, 1080}, 640, 360, 671, 360);       // taskbar on the left
    expect_position(RECT{0, 40, 1920, 1080}, 640, 360, 640, 380);       // taskbar at the top
    expect_position(RECT{-1280, -200, 0, 824}, 201, 121, -741, 251);    // left of and above (0, 0)
    expect_position(RECT{10, 20, 110, 120}, 103, 105, 9, 18);           // larger than a shifted area
}

// Launchers and images are built beside this program.
static std::wstring built(const std::wstring &name)
{
    return test_binary_directory() + L"\\" + name;
}

// The bytes of one resource of a launcher, or nullopt when it has none.
static std::optional<std::string> resource_bytes(HMODULE module, LPCWSTR type, LPCWSTR id)
{
    HRSRC resource = FindResourceW(module, id, type);
    if (resource == nullptr)
        return std::nullopt;
    HGLOBAL loaded = LoadResource(module, resource);
    const char *bytes = loaded ? static_cast<const char *>(LockResource(loaded)) : nullptr;
    if (bytes == nullptr)
        return std::nullopt;
    return std::string(bytes, SizeofResource(module, resource));
}

struct LauncherResources {
    HMODULE module;
    explicit LauncherResources(const std::wstring &path)
        : module(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
    ~LauncherResources() { if (module) FreeLibrary(module); }
};

static uint32_t big_endian_32(const std::string &bytes, size_t offset)
{
    uint32_t value = 0;
    for (size_t i = 0; i < 4; i++)
        value = value << 8 | static_cast<unsigned char>(bytes.at(offset + i));
    return value;
}

static uint16_t little_endian_16(const std::string &bytes, size_t offset)
{
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes.at(offset)) |
                                 static_cast<unsigned char>(bytes.at(offset + 1)) << 8);
}

static uint32_t little_endian_32(const std::string &bytes, size_t offset)
{
    return little_endian_16(bytes, offset) | static_cast<uint32_t>(little_endian_16(bytes, offset + 2)) << 16;
}

static void expect_manifest(HMODULE module)
{
    std::optional<std::string> manifest = resource_bytes(module, RT_MANIFEST, MAKEINTRESOURCEW(1));
    ASSERT_TRUE(manifest.has_value()) << "no manifest with id 1";
    const std::string &m = *manifest;
    EXPECT_NE(m.find("<requestedExecutionLevel level=\"asInvoker\""), std::string::npos) << m;
    EXPECT_NE(m.find(">true</longPathAware>"), std::string::npos) << m;
    size_t controls = m.find("name=\"Microsoft.Windows.Common-Controls\"");
    ASSERT_NE(controls, std::string::npos) << m;
    size_t identity_end = m.find("/>", controls);
    EXPECT_NE(m.substr(controls, identity_end - controls).find("version=\"6.0.0.0\""), std::string::npos) << m;
    // Vista, 7, 8, 8.1 and 10 (which 11 shares).
    for (const char *id : {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                           "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        EXPECT_NE(m.find(std::string("<supportedOS Id=\"") + id + "\"/>"), std::string::npos) << id;
}

// The icon group with id 1: six images of different sizes, each a PNG whose
// own header agrees with the size the group gives.
static void expect_icon_group(HMODULE module)
{
    std::optional<std::string> group = resource_bytes(module, RT_GROUP_ICON, MAKEINTRESOURCEW(1));
    ASSERT_TRUE(group.has_value()) << "no icon group with id 1";
    const std::string &g = *group;
    ASSERT_GE(g.size(), 6u);
    EXPECT_EQ(little_endian_16(g, 0), 0);
    EXPECT_EQ(little_endian_16(g, 2), 1);  // icons, not cursors
    uint16_t count = little_endian_16(g, 4);
    ASSERT_EQ(count, 6);
    ASSERT_EQ(g.size(), 6u + 14u * count);
    std::set<unsigned> sizes;
    for (uint16_t i = 0; i < count; i++) {
        size_t entry = 6 + 14 * i;
        unsigned width = static_cast<unsigned char>(g[entry]) ? static_cast<unsigned char>(g[entry]) : 256;
        unsigned height = static_cast<unsigned char>(g[entry + 1]) ? static_cast<unsigned char>(g[entry + 1]) : 256;
        uint32_t bytes_in_resource = little_endian_32(g, entry + 8);
        uint16_t id = little_endian_16(g, entry + 12);
        std::optional<std::string> image = resource_bytes(module, RT_ICON, MAKEINTRESOURCEW(id));
        ASSERT_TRUE(image.has_value()) << "icon image " << id << " missing";
        EXPECT_EQ(image->size(), bytes_in_resource) << "icon image " << id;
        ASSERT_GE(image->size(), 24u);
        EXPECT_EQ(image->substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8)) << "icon image " << id << " is not a PNG";
        EXPECT_EQ(image->substr(12, 4), "IHDR");
        EXPECT_EQ(big_endian_32(*image, 16), width) << "icon image " << id;
        EXPECT_EQ(big_endian_32(*image, 20), height) << "icon image " << id;
        sizes.insert(width);
    }
    EXPECT_EQ(sizes.size(), 6u) << "the six images should have six sizes";
}

TEST(LauncherResources, ManifestAndIconGroupInEveryLauncher)
{
    for (const wchar_t *name : {L"splash_none.exe", L"splash_shown.exe"}) {
        SCOPED_TRACE(narrow(name));
        LauncherResources launcher(built(name));
        ASSERT_NE(launcher.module, nullptr) << GetLastError();
        expect_manifest(launcher.module);
        expect_icon_group(launcher.module);
    }
}

TEST(LauncherResources, SplashImageOnlyWhenBuiltWithOne)
{
    {
        LauncherResources launcher(built(L"splash_shown.exe"));
        ASSERT_NE(launcher.module, nullptr);
        std::optional<std::string> splash = resource_bytes(launcher.module, RT_RCDATA, MAKEINTRESOURCEW(28));
        ASSERT_TRUE(splash.has_value());
        EXPECT_EQ(*splash, read_file(built(L"images\\pattern.png")));
    }
    LauncherResources launcher(built(L"splash_none.exe"));
    ASSERT_NE(launcher.module, nullptr);
    EXPECT_FALSE(resource_bytes(launcher.module, RT_RCDATA, MAKEINTRESOURCEW(28)).has_value());
}

// The tests below run the launchers the way a user would, with TMP and TEMP
// pointing at a fresh folder so that everything they leave there is seen.
struct LauncherRun {
    std::wstring temp = make_scratch_directory(L"splash_temp");
    std::wstring control = make_scratch_directory(L"splash_control");
    ProcessResult result;

    explicit LauncherRun(const std::wstring &launcher)
    {
        ProcessOptions options;
        options.environment[L"TMP"] = temp;
        options.environment[L"TEMP"] = temp;
        options.timeout_ms = scaled_timeout(60000);
        std::wstring path = built(launcher);
        result = run_process(path, quote_for_test(path) + L" " + quote_for_test(control) + L" report", options);
    }
    ~LauncherRun()
    {
        remove_tree(temp);
        remove_tree(control);
    }
};

static bool windows_can_be_created()
{
    HWND window = CreateWindowExA(0, "STATIC", nullptr, WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (window == nullptr)
        return false;
    DestroyWindow(window);
    return true;
}

// A launcher that cannot keep its promise of a splash stops before it has
// unpacked anything: nothing in the temporary folder, the application never
// ran, and the C runtime's assertion report on standard error, no dialog.
TEST(SplashWindow, CreationFailureEndsBeforeUnpacking)
{
    ASSERT_FALSE(windows_can_be_created()) << "run this test where no window can be created: ctest runs it as "
                                              "splash_no_display.creation_failure, in a prefix without a display";
    for (const wchar_t *launcher : {L"splash_shown.exe", L"splash_example.exe"}) {
        SCOPED_TRACE(narrow(launcher));
        LauncherRun run(launcher);
        ASSERT_FALSE(run.result.timed_out) << "the launcher did not end (a dialog waiting?)";
        EXPECT_EQ(run.result.exit_code, 3u);
        // The report's wording is the C runtime's own; what it names is ours.
        std::string report = run.result.err.substr(0, run.result.err.find('\n'));
        EXPECT_EQ(report.rfind("Assertion failed: ", 0), 0u) << run.result.err;
        EXPECT_NE(report.find("splash_window != NULL"), std::string::npos) << run.result.err;
        EXPECT_NE(report.find("file static_src\\OnefileSplashScreen,"), std::string::npos) << run.result.err;
        EXPECT_NE(report.find("line 147"), std::string::npos) << run.result.err;
        EXPECT_EQ(run.result.out, "");
        EXPECT_TRUE(list_directory(run.temp).empty()) << narrow(list_directory(run.temp).front());
        EXPECT_TRUE(list_directory(run.control).empty()) << "the application ran";
    }
}

// Without a usable image there is no splash: the launcher never tries to make
// a window (here, without a display, trying would end it through the
// assertion), creates no feedback file, and the application runs as usual.
TEST(SplashWindow, NoUsableImageMeansNoSplash)
{
    for (const wchar_t *launcher : {L"splash_none.exe", L"splash_not_png.exe", L"splash_zero_width.exe",
                                    L"splash_zero_height.exe", L"splash_truncated.exe"}) {
        SCOPED_TRACE(narrow(launcher));
        LauncherRun run(launcher);
        ASSERT_FALSE(run.result.timed_out);
        EXPECT_EQ(run.result.exit_code, 42u) << run.result.err;
        EXPECT_EQ(run.result.out, "");
        EXPECT_EQ(run.result.err, "");
        EXPECT_EQ(read_file(run.control + L"\\start.txt"),
                  "splash_window: none\nfeedback_file: absent\nprogress_window: none\nmultithreaded_apartment: yes\n");
        for (const std::wstring &name : list_directory(run.temp))
            EXPECT_EQ(name.find(L"_splash_feedback.tmp"), std::wstring::npos) << narrow(name);
    }
}
