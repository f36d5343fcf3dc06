// Helpers shared by the tests: frames and archives in memory, scratch
// directories, and runs of the built program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "gaf_build.h"
#include "image/image.h"

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

// A frame of the given size whose pixels are listed top row first.
gafbuild::Frame frame(int width, int height, Bytes pixels, std::uint8_t transparency = 0, bool compressed = false);

// One entry named `name` holding `f`, as a whole archive.
Bytes archive_of(const std::string& name, const gafbuild::Frame& f);

// The file the program writes for `f`, and the arguments that ask for it.
Bytes image_of(zeftil::OutputFormat format, const gafbuild::Frame& f);
std::string extension(zeftil::OutputFormat format);
std::vector<std::string> args_for(zeftil::OutputFormat format, const std::string& path);

Bytes read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const Bytes& bytes);
// Names of the files in `dir`, sorted: on Windows in UTF-8.
std::vector<std::string> list_dir(const std::filesystem::path& dir);

// A fresh directory, removed with everything in it at the end of its scope.
struct ScratchDir {
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::filesystem::path path;
};

// POSIX only: run_zeftil throws on Windows when either is set.
struct Limits {
    long file_size = -1;     // RLIMIT_FSIZE in bytes; -1: none
    long address_space = -1; // RLIMIT_AS in bytes; -1: none
};

struct RunResult {
    int exit_status = -1;  // 0-255 when the program exited; on Windows the whole exit code
    int signal = 0;        // the signal that ended it, else 0
    std::string out;       // on Windows with each CR LF read as LF
    std::string err;
};

// What a parent sees of exit status -1.
#ifdef _WIN32
inline constexpr int kExitStatusMinusOne = -1;
#else
inline constexpr int kExitStatusMinusOne = 255;
#endif

// Runs the built zeftil with `args` (on Windows in UTF-8) in directory `cwd`.
RunResult run_zeftil(const std::vector<std::string>& args, const std::filesystem::path& cwd, Limits limits = {});

}  // namespace testing_support
