#include "support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
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

Bytes read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::filesystem::path& path, const Bytes& bytes) {
    if (!gafbuild::save(path.string(), bytes)) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> list_dir(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(dir)) names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zeftil-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

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
            std::signal(SIGXFSZ, SIG_IGN);
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

}  // namespace testing_support
