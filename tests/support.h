// Helpers shared by the tests: frames and archives in memory, scratch
// directories, and runs of the built program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "gaf/gaf.h"
#include "gaf_build.h"
#include "image/image.h"

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

// A frame of the given size whose pixels are listed top row first.
gafbuild::Frame frame(int width, int height, Bytes pixels, std::uint8_t transparency = 0, bool compressed = false);
// A picture whose every pixel differs from its neighbours.
gafbuild::Frame pattern(int width, int height);

// One entry named `name` holding `f`, as a whole archive.
Bytes archive_of(const std::string& name, const gafbuild::Frame& f);

// The file the program writes for `f`, and the arguments that ask for it.
Bytes image_of(zeftil::OutputFormat format, const gafbuild::Frame& f);
std::string extension(zeftil::OutputFormat format);
std::vector<std::string> args_for(zeftil::OutputFormat format, const std::string& path);
// Every index of a frame read from the archive, top row first.
Bytes pixels_of(zeftil::GafArchive& archive, const zeftil::GafFrame& frame);

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

// POSIX only: run_zeftil throws on Windows when any is set.
struct Limits {
    long file_size = -1;             // RLIMIT_FSIZE in bytes; -1: none
    long address_space = -1;         // RLIMIT_AS in bytes; -1: none
    long cpu_seconds = -1;           // RLIMIT_CPU; -1: none
    const char* out_file = nullptr;  // standard output goes to this file instead of being captured
    // The working directory becomes a file system of this many bytes of its
    // own (a tmpfs in a mount namespace of the child's), holding copies of
    // the directory's files; what is there when the program ends is copied
    // back. Needs root; kNoSmallDisk is the exit status when it cannot be had.
    long disk_bytes = -1;
    const std::vector<std::uint8_t>* in_bytes = nullptr;  // fed to standard input through a pipe
};
inline constexpr int kNoSmallDisk = 122;

// AddressSanitizer's own memory would hide the program's.
#ifndef __has_feature
#define __has_feature(feature) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
inline constexpr bool kMeasuresMemory = false;
#else
inline constexpr bool kMeasuresMemory = true;
#endif
// Peak memory: a child forked from a test counts the test's memory too,
// which stays well below.
inline constexpr long kMemoryBoundKib = 32 << 10;

struct RunResult {
    // What a POSIX shell sees: the exit code's low 8 bits (-1 gives 255), or
    // minus the number of the signal that ended the program (on Windows, -1
    // for a crash, whose exception code is no exit code).
    int exit_status = 0;
    std::string out;  // on Windows with each CR LF read as LF
    std::string err;
    long peak_kib = 0;        // POSIX: the child's peak resident memory
    double cpu_seconds = 0;  // POSIX: the child's user and system time
};

#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// POSIX: the permission bits of `path`, and those a new file gets (0666 less
// the umask). Windows has none to compare: nothing.
std::optional<unsigned> permission_bits(const std::filesystem::path& path);
std::optional<unsigned> new_file_permission_bits();
// Windows: the ANSI code page the tests run under; elsewhere 0.
unsigned active_code_page();

// Memory running out on demand: after `n` more allocations through operator
// new succeed, the next throws std::bad_alloc, once; n < 0 turns that off.
// Says whether the failure armed before this call happened.
bool fail_allocation_after(long n);

// Runs the built zeftil with `args` (on Windows in UTF-8) in directory `cwd`.
RunResult run_zeftil(const std::vector<std::string>& args, const std::filesystem::path& cwd, Limits limits = {});

}  // namespace testing_support
