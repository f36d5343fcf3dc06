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
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
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

gafbuild::Frame pattern(int width, int height) {
    Bytes pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return frame(width, height, std::move(pixels));
}

Bytes archive_of(const std::string& name, const gafbuild::Frame& f) {
    const std::vector<gafbuild::Entry> entries = {{name, {f}, {}}};
    return gafbuild::build_gaf(entries);
}

Bytes image_of(zeftil::OutputFormat format, const gafbuild::Frame& f) {
    const zeftil::ImageSize size{static_cast<std::uint16_t>(f.Width), static_cast<std::uint16_t>(f.Height)};
    Bytes out(zeftil::file_size(format, size));
    zeftil::encode_header(format, size, out);
    const std::size_t row = zeftil::row_size(format, size.Width), rows_at = zeftil::header_size(format);
    for (std::size_t y = 0; y < size.Height; ++y)  // stored bottom row first
        zeftil::encode_row(format, std::span(f.pixels).subspan(y * size.Width, size.Width),
                           std::span(out).subspan(rows_at + (size.Height - 1 - y) * row, row));
    return out;
}

namespace {
long allocations_before_failure = -1;
bool allocation_failed = false;
}  // namespace

bool fail_allocation_after(long n) {
    const bool failed = allocation_failed;
    allocations_before_failure = n;
    allocation_failed = false;
    return failed;
}

Bytes pixels_of(zeftil::GafArchive& archive, const zeftil::GafFrame& frame) {
    const auto width = static_cast<std::size_t>(std::max<int>(frame.Width, 0));
    Bytes all(width * static_cast<std::size_t>(std::max<int>(frame.Height, 0)));
    for (std::size_t y = static_cast<std::size_t>(frame.Height); width > 0 && y-- > 0;) {
        const std::span<std::uint8_t> row(all.data() + y * width, width);
        if (zeftil::read_row(archive, frame, y, row).error != zeftil::EntryError::none) return {};
    }
    return all;
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

ScratchDir::ScratchDir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = std::filesystem::temp_directory_path() / ("zeftil-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(path)) return;
    }
    throw std::runtime_error("cannot make a scratch directory");
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

namespace {

// Standard output and error as the parent reads them back from their files.
// On Windows they are text, every line ending in CR LF: each CR LF becomes
// LF, and a LF without its CR is marked, so it cannot pass unseen.
std::string captured(const std::filesystem::path& path) {
    const Bytes bytes = read_file(path);
    std::string text(bytes.begin(), bytes.end());
#ifdef _WIN32
    std::string lines;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) lines += "<LF without CR>";
        lines += text[i];
    }
    text = lines;
#endif
    return text;
}

#ifdef _WIN32

// One argument for the command line, in quotes; what the C runtime would
// split differently (a quote, a backslash before the closing quote) is
// refused rather than escaped.
std::string quote(const std::string& arg) {
    if (arg.find('"') != std::string::npos || arg.ends_with('\\'))
        throw std::invalid_argument("cannot quote " + arg);
    return '"' + arg + '"';
}

// A file the child inherits as its standard output or error.
HANDLE inheritable_file(const std::filesystem::path& path) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
}

int start_and_wait(const std::vector<std::string>& args, const std::filesystem::path& cwd, const Limits& limits,
                   const std::filesystem::path& out_path, const std::filesystem::path& err_path, RunResult&) {
    // No resource limits to set for a child process here.
    if (limits.file_size >= 0 || limits.address_space >= 0 || limits.cpu_seconds >= 0 || limits.out_file ||
        limits.disk_bytes >= 0 || limits.in_bytes)
        throw std::logic_error("Limits work on POSIX only");
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
    startup.hStdOutput = inheritable_file(out_path);
    startup.hStdError = inheritable_file(err_path);
    PROCESS_INFORMATION child{};
    // Wine on a loaded machine now and then fails a start: a few more tries.
    bool started = false;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        if (attempt > 0) Sleep(500);
        started = CreateProcessW(program.c_str(), wide_command.data(), nullptr, nullptr, TRUE, 0, nullptr, cwd.c_str(),
                                 &startup, &child);
    }
    CloseHandle(startup.hStdOutput);
    CloseHandle(startup.hStdError);
    if (!started) throw std::runtime_error("cannot start " + program.string());
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    // A crash ends a process with an exception code (0xC0000005 and the
    // like): negative, as a signal would be, never an exit code.
    if ((code & 0xF0000000u) == 0xC0000000u) return -1;
    return static_cast<int>(code & 0xFF);
}

}  // namespace

std::optional<unsigned> permission_bits(const std::filesystem::path&) { return std::nullopt; }
std::optional<unsigned> new_file_permission_bits() { return std::nullopt; }
unsigned active_code_page() { return GetACP(); }

namespace {

#else

// Starts the program in the child process: never returns.
[[noreturn]] void exec_zeftil(std::vector<char*>& argv, const std::filesystem::path& cwd, const Limits& limits, int out,
                              int err, int in) {
    if (chdir(cwd.c_str()) != 0) _exit(120);
    if (in >= 0) dup2(in, 0);
    if (limits.out_file) out = open(limits.out_file, O_WRONLY);
    dup2(out, 1);
    dup2(err, 2);
    for (auto [resource, value] : {std::pair{RLIMIT_FSIZE, limits.file_size}, std::pair{RLIMIT_AS, limits.address_space},
                                   std::pair{RLIMIT_CPU, limits.cpu_seconds}}) {
        const rlimit r{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
        if (value >= 0) setrlimit(resource, &r);
    }
    execv(argv[0], argv.data());
    _exit(121);
}

// In the child: mounts the small file system over `cwd`, runs the program
// there and copies back what it leaves; never returns.
[[noreturn]] void exec_on_small_disk(std::vector<char*>& argv, const std::filesystem::path& cwd, const Limits& limits,
                                     int out, int err, int in) {
    namespace fs = std::filesystem;
    const int real = open(cwd.c_str(), O_RDONLY | O_DIRECTORY);
    const std::string size = "size=" + std::to_string(limits.disk_bytes);
    if (real < 0 || unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("zeftil-test", cwd.c_str(), "tmpfs", 0, size.c_str()) != 0)
        _exit(kNoSmallDisk);
    const fs::path hidden = "/proc/self/fd/" + std::to_string(real);  // the directory under the mount
    fs::copy(hidden, cwd, fs::copy_options::recursive);
    const pid_t pid = fork();
    if (pid == 0) exec_zeftil(argv, cwd, limits, out, err, in);
    int status = 0;
    waitpid(pid, &status, 0);
    for (const fs::directory_entry& item : fs::directory_iterator(hidden)) fs::remove_all(item.path());
    fs::copy(cwd, hidden, fs::copy_options::recursive);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

int start_and_wait(const std::vector<std::string>& args, const std::filesystem::path& cwd, const Limits& limits,
                   const std::filesystem::path& out_path, const std::filesystem::path& err_path, RunResult& run) {
    std::string program = ZEFTIL_BINARY;
    std::vector<std::string> copies = args;
    std::vector<char*> argv = {program.data()};
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int in[2] = {-1, -1};
    if (limits.in_bytes && pipe(in) != 0) throw std::runtime_error("cannot make a pipe");
    const pid_t pid = out < 0 || err < 0 ? -1 : fork();
    if (pid < 0) throw std::runtime_error("cannot start the program");
    if (pid == 0) {
        if (in[1] >= 0) close(in[1]);
        if (limits.disk_bytes >= 0) exec_on_small_disk(argv, cwd, limits, out, err, in[0]);
        exec_zeftil(argv, cwd, limits, out, err, in[0]);
    }
    close(out);
    close(err);
    if (limits.in_bytes) {
        // Fed while the program reads; whatever it leaves unread is dropped.
        close(in[0]);
        std::signal(SIGPIPE, SIG_IGN);
        for (std::size_t at = 0; at < limits.in_bytes->size();) {
            const ssize_t n = write(in[1], limits.in_bytes->data() + at, limits.in_bytes->size() - at);
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        close(in[1]);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.peak_kib = usage.ru_maxrss;
    run.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

}  // namespace

std::optional<unsigned> permission_bits(const std::filesystem::path& path) {
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    return st.st_mode & 0777;
}

std::optional<unsigned> new_file_permission_bits() {
    const mode_t mask = umask(022);
    umask(mask);
    return 0666 & ~mask;
}

unsigned active_code_page() { return 0; }

namespace {

#endif

}  // namespace

RunResult run_zeftil(const std::vector<std::string>& args, const std::filesystem::path& cwd, Limits limits) {
    const ScratchDir captures;
    RunResult run;
    run.exit_status = start_and_wait(args, cwd, limits, captures.path / "out", captures.path / "err", run);
    run.out = captured(captures.path / "out");
    run.err = captured(captures.path / "err");
    return run;
}

}  // namespace testing_support

// Every allocation of the test program, its libraries' included, comes here.
void* operator new(std::size_t size) {
    using namespace testing_support;
    if (allocations_before_failure >= 0 && allocations_before_failure-- == 0) {
        allocation_failed = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size > 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
