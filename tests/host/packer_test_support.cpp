#include "packer_test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

extern char **environ;

RunResult run_program(const std::vector<std::string> &arguments, const std::map<std::string, std::string> &environment)
{
    char pattern[] = "/tmp/packer-test-run.XXXXXX";
    const fs::path folder = mkdtemp(pattern);
    const fs::path out = folder / "out", err = folder / "err";
    std::vector<std::string> env_text;
    for (char **e = environ; *e; e++) {
        std::string entry = *e;
        if (environment.count(entry.substr(0, entry.find('='))) == 0)
            env_text.push_back(entry);
    }
    for (const auto &[name, value] : environment)
        env_text.push_back(name + "=" + value);
    std::vector<char *> argv, envp;
    for (const std::string &a : arguments)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string &e : env_text)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int n = open("/dev/null", O_RDONLY);
        if (o < 0 || e < 0 || n < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || dup2(n, 0) < 0)
            _exit(125);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    RunResult result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_file(out), read_file(err)};
    fs::remove_all(folder);
    return result;
}

RunResult run_pack(const std::vector<std::string> &arguments, const fs::path &temp)
{
    std::vector<std::string> full{VESKAR_PACK_PATH};
    full.insert(full.end(), arguments.begin(), arguments.end());
    return run_program(full, {{"TMPDIR", temp.string()}});
}

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path &path, const std::string &bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
        throw std::runtime_error("cannot write " + path.string());
}

std::vector<fs::path> files_below(const fs::path &folder)
{
    std::vector<fs::path> found;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it)
        found.push_back(it->path().lexically_relative(folder));
    std::sort(found.begin(), found.end());
    return found;
}

fs::path real_kit()
{
    fs::path kit = VESKAR_KIT_PATH;
    return fs::is_regular_file(kit / "veskar-launcher.exe") ? kit : fs::path();
}

fs::path make_dummy_kit(const fs::path &folder)
{
    for (const char *name : {"veskar-launcher.exe", "veskar-launcher-console.exe"})
        write_file(folder / name, "not a real kit file\n");
    write_file(folder / "launcher.manifest", "<requestedExecutionLevel level=\"asInvoker\"/>\n");
    write_file(folder / "veskar.ico", make_icon(1));
    return folder;
}

static void put_le(std::string &s, size_t at, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; i++)
        s[at + i] = static_cast<char>(v >> (8 * i));
}

std::string make_dll(const std::string &export_name, uint16_t machine, bool dll)
{
    // Headers in the first 0x200 bytes, one section of 0x200 at RVA 0x1000:
    // the export directory, its three tables, the names and a "ret".
    std::string b(0x400, '\0');
    b[0] = 'M', b[1] = 'Z';
    put_le(b, 0x3C, 0x40, 4);
    b.replace(0x40, 4, std::string("PE\0\0", 4));
    const size_t coff = 0x44, opt = coff + 20, section = opt + 240;
    put_le(b, coff, machine, 2);
    put_le(b, coff + 2, 1, 2);                             // one section
    put_le(b, coff + 16, 240, 2);                          // optional header size
    put_le(b, coff + 18, dll ? 0x2022 : 0x0022, 2);        // executable, large address aware, DLL
    put_le(b, opt, 0x20B, 2);                              // PE32+
    put_le(b, opt + 24, 0x180000000, 8);                   // image base
    put_le(b, opt + 32, 0x1000, 4);                        // section alignment
    put_le(b, opt + 36, 0x200, 4);                         // file alignment
    put_le(b, opt + 40, 6, 2);                             // OS version
    put_le(b, opt + 48, 6, 2);                             // subsystem version
    put_le(b, opt + 56, 0x2000, 4);                        // image size
    put_le(b, opt + 60, 0x200, 4);                         // header size
    put_le(b, opt + 68, 2, 2);                             // GUI subsystem
    put_le(b, opt + 72, 0x100000, 8), put_le(b, opt + 80, 0x1000, 8);  // stack
    put_le(b, opt + 88, 0x100000, 8), put_le(b, opt + 96, 0x1000, 8);  // heap
    put_le(b, opt + 108, 16, 4);                           // data directories
    b.replace(section, 5, ".text");
    put_le(b, section + 8, 0x200, 4), put_le(b, section + 12, 0x1000, 4);
    put_le(b, section + 16, 0x200, 4), put_le(b, section + 20, 0x200, 4);
    put_le(b, section + 36, 0x60000020, 4);                // code, executable, readable
    b[0x200] = '\xC3';                                     // ret, at RVA 0x1000
    if (export_name.empty())
        return b;
    const size_t dir = 0x240;                              // RVA 0x1040
    put_le(b, opt + 112, 0x1040, 4), put_le(b, opt + 116, 0x100, 4);
    put_le(b, dir + 12, 0x10A0, 4);                        // library name
    put_le(b, dir + 16, 1, 4);                             // ordinal base
    put_le(b, dir + 20, 1, 4), put_le(b, dir + 24, 1, 4);  // one function, one name
    put_le(b, dir + 28, 0x1070, 4), put_le(b, dir + 32, 0x1078, 4), put_le(b, dir + 36, 0x1080, 4);
    put_le(b, 0x270, 0x1000, 4);                           // the function: the "ret"
    put_le(b, 0x278, 0x10B0, 4);                           // its name
    put_le(b, 0x280, 0, 2);                                // its ordinal index
    b.replace(0x2A0, 7, "app.dll");
    b.replace(0x2B0, export_name.size(), export_name);
    return b;
}

std::string make_program(uint16_t machine, uint16_t subsystem)
{
    std::string b = make_dll("", machine, false);
    const size_t opt = 0x44 + 20;
    put_le(b, opt + 68, subsystem, 2);
    if (machine != 0x014C)
        return b;
    // PE32: a 4-byte image base after the code's base, 4-byte stack and heap
    // sizes, then 16 directories; the section header moves up behind them.
    const std::string section = b.substr(opt + 240, 40);
    put_le(b, 0x44 + 16, 224, 2);
    put_le(b, opt, 0x10B, 2);
    put_le(b, opt + 24, 0x1000, 4), put_le(b, opt + 28, 0x400000, 4);
    put_le(b, opt + 72, 0x100000, 4), put_le(b, opt + 76, 0x1000, 4);
    put_le(b, opt + 80, 0x100000, 4), put_le(b, opt + 84, 0x1000, 4);
    put_le(b, opt + 88, 0, 4), put_le(b, opt + 92, 16, 4);
    b.replace(opt + 96, 128 + 40 + 16, std::string(128 + 40 + 16, '\0'));
    b.replace(opt + 224, 40, section);
    return b;
}

static void put_big_u32(std::string &s, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        s += static_cast<char>(v >> shift);
}

// A chunk with a zero CRC: the packer checks the chunk structure, and the
// decoder on the Windows side is not involved here.
static void put_chunk(std::string &s, const std::string &type, const std::string &data)
{
    put_big_u32(s, static_cast<uint32_t>(data.size()));
    s += type + data;
    put_big_u32(s, 0);
}

std::string make_png(uint32_t width, uint32_t height, bool animated)
{
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string header;
    put_big_u32(header, width);
    put_big_u32(header, height);
    header += std::string("\x08\x06\x00\x00\x00", 5);
    put_chunk(png, "IHDR", header);
    if (animated)
        put_chunk(png, "acTL", std::string(8, '\0'));
    put_chunk(png, "IDAT", "x");
    put_chunk(png, "IEND", "");
    return png;
}

std::string make_icon(uint8_t shade)
{
    std::string image = make_png(16, 16) + std::string(1, static_cast<char>(shade));
    std::string ico("\0\0\1\0\1\0", 6);
    std::string entry("\x10\x10\0\0\1\0\x20\0", 8);
    for (uint32_t v : {static_cast<uint32_t>(image.size()), 22u})
        for (int i = 0; i < 4; i++)
            entry += static_cast<char>(v >> (8 * i));
    return ico + entry + image;
}

void PackerTest::SetUp()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    scratch = fs::temp_directory_path() / (std::string("packer-test-") + info->test_suite_name() + "-" + info->name() +
                                           "-" + std::to_string(getpid()));
    fs::remove_all(scratch);
    temp = scratch / "tmp";
    fs::create_directories(temp);
}

void PackerTest::TearDown()
{
    // Every run, failed or not, leaves the packer's temporary folder empty.
    EXPECT_TRUE(fs::is_empty(temp)) << "temporary files left behind in " << temp;
    fs::remove_all(scratch);
}

std::string record_stream(const std::vector<TestRecord> &records, const std::string &tail)
{
    std::string s;
    for (const TestRecord &r : records) {
        for (char16_t u : r.name) {
            s += static_cast<char>(u & 0xFF);
            s += static_cast<char>(u >> 8);
        }
        s += std::string(2, '\0');
        for (int i = 0; i < 8; i++)
            s += static_cast<char>(static_cast<uint64_t>(r.content.size()) >> (8 * i));
        s += r.content;
    }
    return s + std::string(2, '\0') + tail;
}

std::string attached_data(const std::string &stream, bool checksum)
{
    ZSTD_CCtx *c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    std::string frame(ZSTD_compressBound(stream.size()), '\0');
    size_t size = ZSTD_compress2(c, frame.data(), frame.size(), stream.data(), stream.size());
    ZSTD_freeCCtx(c);
    if (ZSTD_isError(size))
        throw std::runtime_error("zstd failed");
    frame.resize(size);
    std::string data = "QVY" + frame;
    data += std::string((8 - data.size() % 8) % 8, '\0');
    uint64_t trailer = data.size();
    for (int i = 0; i < 8; i++)
        data += static_cast<char>(trailer >> (8 * i));
    return data;
}
