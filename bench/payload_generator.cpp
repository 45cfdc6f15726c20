// Writes the benchmark's payloads: by default an application tree of about
// 2,000 files and 230 MB that resembles a large desktop application (native
// libraries and plug-ins, a bundled scripting runtime with its sources,
// headers, translations, documentation, images and packed resources). The
// same seed always gives the same bytes, so runs on different days compare.
// --megabytes scales the number of files with the size.
//
//   payload_generator --seed N --out DIR [--megabytes M]
//
// Each kind of file comes from a small model whose output compresses about
// as well as the real thing: code-like token streams with addresses for
// binaries, word streams for text and sources, incompressible bytes for
// images and packed archives, and a few files present twice.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Random {
    uint64_t state;
    uint64_t next()  // splitmix64: fixed output for a seed on every platform
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t n) { return next() % n; }
    double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
    // Log-uniform between low and high: many small files, few large ones.
    uint64_t log_uniform(double low, double high)
    {
        return static_cast<uint64_t>(std::exp(std::log(low) + unit() * (std::log(high) - std::log(low))));
    }
};

// Tokens drawn with Zipf-like weights, as words and instruction patterns are.
struct Vocabulary {
    std::vector<std::string> tokens;
    std::vector<double> cumulative;
    const std::string &draw(Random &r) const
    {
        double x = r.unit() * cumulative.back();
        size_t i = static_cast<size_t>(std::lower_bound(cumulative.begin(), cumulative.end(), x) - cumulative.begin());
        return tokens[std::min(i, tokens.size() - 1)];
    }
};

Vocabulary make_vocabulary(Random &r, size_t count, double exponent, bool textual, size_t min_length,
                           size_t max_length)
{
    static const char *syllables[] = {"ka", "lo", "mer", "ti", "on", "sa", "ver", "de", "in", "ul", "ra", "pe",
                                      "ex", "st", "ent", "ba", "qu", "an", "is", "co", "re", "fu", "ni", "th",
                                      "ar", "get", "set", "buf", "len", "ptr", "cfg", "io", "win", "str"};
    Vocabulary v;
    double total = 0;
    for (size_t i = 0; i < count; i++) {
        std::string token;
        size_t length = min_length + r.below(max_length - min_length + 1);
        if (textual) {
            while (token.size() < length)
                token += syllables[r.below(sizeof syllables / sizeof syllables[0])];
        } else {
            // Opcode-like bytes: a few common leading bytes, then operands.
            static const unsigned char leads[] = {0x48, 0x89, 0x8B, 0xE8, 0x0F, 0x41, 0x4C, 0xFF, 0x83, 0xC3, 0x74,
                                                  0x75, 0x85, 0x31, 0x66, 0xC7};
            token.push_back(static_cast<char>(leads[r.below(sizeof leads)]));
            while (token.size() < length)
                token.push_back(static_cast<char>(r.below(4) == 0 ? r.below(256) : r.below(32)));
        }
        v.tokens.push_back(token);
        total += 1.0 / std::pow(static_cast<double>(i + 1), exponent);
        v.cumulative.push_back(total);
    }
    return v;
}

// Frequent sequences of tokens: idioms in code, phrases and markup in text.
Vocabulary make_phrases(Random &r, const Vocabulary &base, size_t count, size_t min_parts, size_t max_parts,
                        double exponent, const char *separator)
{
    Vocabulary v;
    double total = 0;
    for (size_t i = 0; i < count; i++) {
        std::string phrase;
        for (size_t k = 0, n = min_parts + r.below(max_parts - min_parts + 1); k < n; k++)
            phrase += base.draw(r) + separator;
        v.tokens.push_back(phrase);
        total += 1.0 / std::pow(static_cast<double>(i + 1), exponent);
        v.cumulative.push_back(total);
    }
    return v;
}

struct Models {
    Vocabulary words, code, identifiers, idioms, phrases;
};

void append_random(std::string &out, Random &r, size_t n)
{
    for (size_t i = 0; i < n; i += 8) {
        uint64_t x = r.next();
        out.append(reinterpret_cast<const char *>(&x), std::min<size_t>(8, n - i));
    }
}

// Machine code with call targets and constants, then string and pointer
// tables, with section padding.
std::string make_binary(Random &r, const Models &m, size_t size)
{
    std::string out;
    out.reserve(size + 64);
    out.append("MZ\x90\0\3\0\0\0\4\0\0\0\xff\xff\0\0", 16);
    out.append(496, '\0');
    size_t code_end = size * 7 / 10;
    uint32_t base = static_cast<uint32_t>(r.next());
    while (out.size() < code_end) {
        out += r.below(2) == 0 ? m.code.draw(r) : m.idioms.draw(r);
        uint64_t choice = r.below(16);
        if (choice == 0) {  // a relative call or jump: near targets, so the high bytes repeat
            uint32_t target = base + static_cast<uint32_t>(r.below(1 << 16));
            out.append(reinterpret_cast<const char *>(&target), 4);
        } else if (choice == 1) {
            out.push_back(static_cast<char>(r.below(256)));
        } else if (choice == 2 && r.below(64) == 0) {
            out.append(16 - out.size() % 16, '\xCC');  // padding between functions
        }
    }
    while (out.size() < size * 9 / 10) {
        out += m.identifiers.draw(r);
        out.push_back(r.below(4) == 0 ? '\0' : '_');
    }
    uint64_t pointer = 0x180000000ull + r.below(1 << 20);
    while (out.size() < size) {
        pointer += 8 + 8 * r.below(64);
        out.append(reinterpret_cast<const char *>(&pointer), 8);
    }
    out.resize(size);
    return out;
}

std::string make_text(Random &r, const Models &m, size_t size, bool source)
{
    static const char *keywords[] = {"def ", "return ", "if ", "else:", "for ", " in ", "import ", "class ",
                                     "self.", "None", "const ", "int ", "void ", "struct ", "#include ", "{", "}",
                                     "(", ")", " = ", ", ", "; ", ".", "::"};
    std::string out;
    out.reserve(size + 256);
    int indent = 0;
    while (out.size() < size) {
        if (source) {
            out.append(static_cast<size_t>(indent) * 4, ' ');
            size_t n = 2 + r.below(9);
            for (size_t i = 0; i < n; i++) {
                if (r.below(3) == 0)
                    out += keywords[r.below(sizeof keywords / sizeof keywords[0])];
                else
                    out += m.identifiers.draw(r);
            }
            if (r.below(20) == 0) {
                out += "  # ";
                for (size_t i = 0, k = 3 + r.below(8); i < k; i++)
                    out += m.words.draw(r) + " ";
            }
            indent = std::max(0, std::min(5, indent + static_cast<int>(r.below(3)) - 1));
        } else {
            for (size_t i = 0, n = 3 + r.below(8); i < n; i++) {
                out += r.below(3) == 0 ? m.words.draw(r) + " " : m.phrases.draw(r);
                if (r.below(12) == 0)
                    out += ", ";
            }
            out += ".";
        }
        out.push_back('\n');
    }
    out.resize(size);
    return out;
}

// Lookup tables and catalogues: records with counters and repeated fields.
std::string make_data(Random &r, const Models &m, size_t size)
{
    std::string out;
    out.reserve(size + 64);
    uint32_t key = 0;
    while (out.size() < size) {
        key += 1 + static_cast<uint32_t>(r.below(3));
        out.append(reinterpret_cast<const char *>(&key), 4);
        uint16_t flags = static_cast<uint16_t>(r.below(8));
        out.append(reinterpret_cast<const char *>(&flags), 2);
        out += m.phrases.draw(r);
        out.push_back('\0');
    }
    out.resize(size);
    return out;
}

std::string make_compressed(Random &r, size_t size, const char *magic)
{
    std::string out(magic);
    append_random(out, r, size > out.size() ? size - out.size() : 0);
    out.resize(size);
    return out;
}

enum Kind { binary, source, text, data, compressed };

struct Planned {
    std::string path;
    Kind kind;
    double weight;  // relative size within its kind
    std::string copy_of;  // non-empty: the same bytes as that file
};

std::string name_from(Random &r, const Models &m)
{
    std::string name = m.identifiers.draw(r);
    if (r.below(3) == 0)
        name += "_" + m.identifiers.draw(r);
    return name;
}

// The counts of each kind of file are scaled with the total size, so a
// larger payload has proportionally more files of the same sizes rather than
// the same files made larger; at scale 1 the plan is the reference tree.
std::vector<Planned> plan_tree(Random &r, const Models &m, double scale)
{
    std::vector<Planned> files;
    auto add = [&](const std::string &path, Kind kind, double low, double high) {
        files.push_back({path, kind, static_cast<double>(r.log_uniform(low, high)), ""});
    };
    auto n = [scale](int count) { return std::max(1, static_cast<int>(std::lround(count * scale))); };
    add("app.exe", binary, 1000, 2000);
    for (int i = 0; i < n(3); i++)  // the few very large engine libraries
        add("bin/" + name_from(r, m) + "_core" + std::to_string(i) + ".dll", binary, 20000, 40000);
    add("bin/icudata.dll", data, 40000, 50000);
    for (int i = 0; i < n(40); i++)
        add("bin/" + name_from(r, m) + std::to_string(i) + ".dll", binary, 50, 6000);
    for (int p = 0; p < n(80); p++) {
        std::string package = "lib/site-packages/" + name_from(r, m) + std::to_string(p) + "/";
        add(package + "__init__.py", source, 1, 20);
        for (int i = 0, n = 3 + static_cast<int>(r.below(14)); i < n; i++)
            add(package + name_from(r, m) + std::to_string(i) + ".py", source, 2, 60);
        for (int i = 0, n = static_cast<int>(r.below(4)); i < n; i++)
            add(package + "_" + name_from(r, m) + std::to_string(i) + ".pyd", binary, 50, 3000);
        if (r.below(3) == 0)
            for (int i = 0, n = 1 + static_cast<int>(r.below(6)); i < n; i++)
                add(package + "tests/test_" + name_from(r, m) + std::to_string(i) + ".py", source, 2, 30);
        if (r.below(4) == 0)
            add(package + "data/" + name_from(r, m) + ".json", text, 5, 200);
    }
    for (int i = 0; i < n(280); i++)
        add("include/" + name_from(r, m) + "/" + name_from(r, m) + std::to_string(i) + ".h", source, 1, 60);
    for (int i = 0; i < n(40); i++)
        add("share/locale/l" + std::to_string(i) + "/LC_MESSAGES/app.mo", data, 100, 400);
    for (int i = 0; i < n(260); i++)
        add("resources/icons/" + name_from(r, m) + std::to_string(i) + ".png", compressed, 1, 40);
    for (int i = 0; i < n(4); i++)
        add("resources/" + name_from(r, m) + std::to_string(i) + ".pak", compressed, 500, 2000);
    for (int i = 0; i < n(150); i++)
        add("doc/html/" + name_from(r, m) + std::to_string(i) + ".html", text, 5, 80);
    for (int i = 0; i < n(60); i++)
        add("plugins/" + name_from(r, m) + "/" + name_from(r, m) + std::to_string(i) + ".dll", binary, 30, 1500);
    for (int i = 0; i < n(40); i++)
        add("licenses/" + name_from(r, m) + std::to_string(i) + ".txt", text, 2, 30);
    // The same licence and runtime library shipped in several places.
    size_t first_licence = files.size() - static_cast<size_t>(n(40));
    for (int i = 0; i < n(30); i++) {
        std::string package = "lib/site-packages/" + name_from(r, m) + "_vendored" + std::to_string(i) + "/";
        files.push_back({package + "LICENSE.txt", text, 0, files[first_licence + r.below(static_cast<uint64_t>(n(40)))].path});
        files.push_back({package + "msvcrt_runtime.dll", binary, 0, "bin/runtime_copy_source.dll"});
        add(package + "__init__.py", source, 1, 20);
    }
    add("bin/runtime_copy_source.dll", binary, 400, 600);
    return files;
}

}  // namespace

int main(int argc, char **argv)
{
    uint64_t seed = 1;
    double megabytes = 222;
    std::string out_dir;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seed") == 0)
            seed = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--out") == 0)
            out_dir = argv[i + 1];
        else if (std::strcmp(argv[i], "--megabytes") == 0)
            megabytes = std::strtod(argv[i + 1], nullptr);
    }
    if (out_dir.empty() || megabytes <= 0) {
        std::fprintf(stderr, "usage: payload_generator --seed N --out DIR [--megabytes M]\n");
        return 2;
    }
    Random r{seed};
    Models m;
    m.words = make_vocabulary(r, 6000, 1.05, true, 2, 9);
    m.code = make_vocabulary(r, 3000, 1.1, false, 1, 7);
    m.identifiers = make_vocabulary(r, 2500, 0.9, true, 4, 14);
    m.idioms = make_phrases(r, m.code, 4000, 2, 6, 1.1, "");
    m.phrases = make_phrases(r, m.words, 8000, 2, 5, 1.0, " ");
    std::vector<Planned> files = plan_tree(r, m, megabytes / 222);

    // Shares of the total by kind: most of a large application is native
    // code; packed media are a small part.
    const double share[] = {0.56, 0.12, 0.16, 0.11, 0.05};
    double kind_weight[5] = {};
    for (const Planned &f : files)
        kind_weight[f.kind] += f.weight;
    const double total_bytes = megabytes * 1000 * 1000;

    uint64_t written = 0;
    size_t count = 0;
    std::vector<std::pair<std::string, std::string>> kept;  // sources of copies
    for (const Planned &f : files) {
        std::string content;
        if (!f.copy_of.empty()) {
            fs::path source = fs::path(out_dir) / f.copy_of;
            if (!fs::exists(source))
                continue;  // its source comes later in the plan; written below
            std::ifstream in(source, std::ios::binary);
            content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } else {
            size_t size = std::max<size_t>(
                64, static_cast<size_t>(f.weight / kind_weight[f.kind] * share[f.kind] * total_bytes));
            switch (f.kind) {
            case binary: content = make_binary(r, m, size); break;
            case source: content = make_text(r, m, size, true); break;
            case text: content = make_text(r, m, size, false); break;
            case data: content = make_data(r, m, size); break;
            case compressed:
                content = make_compressed(r, size, f.path.size() > 4 && f.path.substr(f.path.size() - 4) == ".png"
                                                       ? "\x89PNG\r\n\x1a\n"
                                                       : "PK\3\4");
                break;
            }
        }
        fs::path path = fs::path(out_dir) / f.path;
        fs::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!out) {
            std::fprintf(stderr, "payload_generator: cannot write %s\n", path.c_str());
            return 1;
        }
        written += content.size();
        count++;
    }
    // Copies whose source was planned after them.
    for (const Planned &f : files) {
        fs::path path = fs::path(out_dir) / f.path;
        if (f.copy_of.empty() || fs::exists(path))
            continue;
        fs::copy_file(fs::path(out_dir) / f.copy_of, path);
        written += fs::file_size(path);
        count++;
    }
    std::printf("files=%zu bytes=%llu\n", count, static_cast<unsigned long long>(written));
    return 0;
}
