#include "support.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "native.h"
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace testing_support {

gafbuild::Frame frame(int width, int height, Bytes pixels, std::uint8_t transparency, bool compressed) {
    gafbuild::Frame f;
    f.Width = static_cast<std::int16_t>(width);
    f.Height = static_cast<std::int16_t>(height);
    f.pixels = std::move(pixels);
    f.transparencyIndex = transparency;
    f.compressed = compressed;
    return f;
}

Bytes archive_of(const std::string& name, const gafbuild::Frame& f) {
    const std::vector<gafbuild::Entry> entries = {{name, {f}, {}}};
    return gafbuild::build_gaf(entries);
}

Bytes image_of(zeftil::OutputFormat format, const gafbuild::Frame& f) {
    return zeftil::encode_image(format, {static_cast<std::uint16_t>(f.Width), static_cast<std::uint16_t>(f.Height), f.pixels});
}

std::string extension(zeftil::OutputFormat format) { return format == zeftil::OutputFormat::tga ? ".tga" : ".bmp"; }

std::vector<std::string> args_for(zeftil::OutputFormat format, const std::string& path) {
    if (format == zeftil::OutputFormat::bmp) return {"-b", path};
    return {path};
}

Bytes read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::filesystem::path& path, const Bytes& bytes) {
    if (!gafbuild::save(path.string(), bytes)) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> list_dir(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(dir)) {
        const std::u8string name = item.path().filename().u8string();
        names.emplace_back(name.begin(), name.end());
    }
    std::sort(names.begin(), names.end());
    return names;
}

#ifdef _WIN32

ScratchDir::ScratchDir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = std::filesystem::temp_directory_path() / ("zeftil-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(path)) return;
    }
    throw std::runtime_error("cannot make a scratch directory");
}

#else

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zeftil-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

#endif

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

#ifdef _WIN32

namespace {

// One argument as the C runtime splits the command line: quoted when it
// has to be, backslashes doubled only where they come before a quote.
std::string quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + '"';
}

// Standard output and error are text: every line ends in CR LF. Each CR LF
// becomes LF; a LF without its CR is marked, so it cannot pass unseen.
std::string from_text_mode(const std::string& text) {
    std::string lines;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) lines += "<LF without CR>";
        lines += text[i];
    }
    return lines;
}

// A file the child inherits as its standard output or error.
struct Capture {
    HANDLE handle;
    explicit Capture(const std::filesystem::path& path) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (handle == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + path.string());
    }
    ~Capture() { CloseHandle(handle); }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    std::string text() const {
        std::string all;
        SetFilePointer(handle, 0, nullptr, FILE_BEGIN);
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(handle, buffer, sizeof buffer, &n, nullptr) && n > 0) all.append(buffer, n);
        return from_text_mode(all);
    }
};

}  // namespace

RunResult run_zeftil(const std::vector<std::string>& args, const std::filesystem::path& cwd, Limits limits) {
    // No resource limits to set for a child process here.
    if (limits.file_size >= 0 || limits.address_space >= 0) throw std::logic_error("Limits work on POSIX only");
    const ScratchDir captures;
    const Capture out(captures.path / "out"), err(captures.path / "err");

    // The wide call, so that arguments outside the ANSI code page reach the
    // child whole.
    const std::filesystem::path program = std::filesystem::absolute(ZEFTIL_BINARY);
    std::string command = quote(program.string());
    for (const std::string& a : args) command += ' ' + quote(a);
    std::wstring wide_command = zeftil::utf8_to_wide(command);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = INVALID_HANDLE_VALUE;
    startup.hStdOutput = out.handle;
    startup.hStdError = err.handle;
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(program.c_str(), wide_command.data(), nullptr, nullptr, TRUE, 0, nullptr, cwd.c_str(), &startup,
                        &child))
        throw std::runtime_error("cannot start " + program.string());
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);

    RunResult run;
    run.exit_status = static_cast<int>(code);
    run.out = out.text();
    run.err = err.text();
    return run;
}

#else

namespace {

std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return text;
}

}  // namespace

RunResult run_zeftil(const std::vector<std::string>& args, const std::filesystem::path& cwd, Limits limits) {
    // Standard output and error go to files, so neither pipe can fill up.
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    if (!out || !err) throw std::runtime_error("tmpfile failed");
    std::vector<char*> argv;
    std::string program = ZEFTIL_BINARY;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(120);
        dup2(fileno(out), 1);
        dup2(fileno(err), 2);
        if (limits.file_size >= 0) {
            const rlimit r{static_cast<rlim_t>(limits.file_size), static_cast<rlim_t>(limits.file_size)};
            setrlimit(RLIMIT_FSIZE, &r);
        }
        if (limits.address_space >= 0) {
            const rlimit r{static_cast<rlim_t>(limits.address_space), static_cast<rlim_t>(limits.address_space)};
            setrlimit(RLIMIT_AS, &r);
        }
        execv(argv[0], argv.data());
        _exit(121);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    RunResult run;
    if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    for (auto [file, text] : {std::pair{out, &run.out}, std::pair{err, &run.err}}) {
        std::rewind(file);
        *text = drain(dup(fileno(file)));
        std::fclose(file);
    }
    return run;
}

#endif

}  // namespace testing_support
