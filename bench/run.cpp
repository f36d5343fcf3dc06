// zeftil against the I/O floor (bench_floor) on archives made by bench_workload.
//
//   bench_run [--rounds N] [--scratch DIR] [--only NAME,...]
//       For every workload and format: one warm-up, then N rounds (default 9)
//       that each run zeftil and the floor once, taking turns at going first.
//       Every run converts into a fresh empty folder made before its clock
//       starts and removed after it stops, so no run pays for another's files.
//       Prints the median seconds of each, the median and range of the
//       per-round ratios zeftil/floor, and zeftil's peak resident memory from
//       wait4 next to the archive's size.
//   bench_run --callgrind [--scratch DIR] [--only NAME,...]
//       Counts the user-space instructions of one run of each under callgrind,
//       per pixel (default workload: mid).
//
// DIR defaults to /dev/shm/zeftil-bench, a tmpfs; the file system used is
// printed. Workloads: big (16 x 2048x2048), mid (256 x 256x256), many
// (20,000 x 16x16), every pixel a pseudo-random palette index.
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Workload {
    const char* name;
    long count, width, height;
    long pixels() const { return count * width * height; }
};
constexpr Workload kWorkloads[] = {{"big", 16, 2048, 2048}, {"mid", 256, 256, 256}, {"many", 20000, 16, 16}};
constexpr const char* kFormats[] = {"tga", "bmp"};

struct Run {
    double seconds = 0;
    double peak_mib = 0;
};

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "bench_run: %s\n", message.c_str());
    std::exit(1);
}

// Runs argv in `dir` and waits for it; stdout goes to /dev/null, stderr to
// `log` when one is given. The clock covers fork to wait4, nothing else.
Run spawn(const std::vector<std::string>& argv, const fs::path& dir, const char* log = nullptr) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) die("fork failed");
    if (pid == 0) {
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        if (log) dup2(open(log, O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        if (chdir(dir.c_str()) == 0) execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) die("wait4 failed");
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die(argv[0] + " failed in " + dir.string());
    return {elapsed.count(), static_cast<double>(usage.ru_maxrss) / 1024.0};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string file_system(const fs::path& dir) {
    struct statfs info {};
    if (statfs(dir.c_str(), &info) != 0) return "unknown";
    if (info.f_type == 0x01021994) return "tmpfs";
    if (info.f_type == 0xEF53) return "ext2/3/4";
    char hex[32];
    std::snprintf(hex, sizeof hex, "magic 0x%lx", static_cast<unsigned long>(info.f_type));
    return hex;
}

// Files in `dir` and their bytes, so that the two programs can be held to
// writing the same amount.
std::pair<long, std::uintmax_t> contents(const fs::path& dir) {
    std::pair<long, std::uintmax_t> found{0, 0};
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        ++found.first;
        found.second += entry.file_size();
    }
    return found;
}

std::vector<std::string> command(const char* program, const char* format, const fs::path& archive) {
    std::vector<std::string> argv{program};
    if (std::string_view(format) == "bmp") argv.push_back("-b");
    argv.push_back(archive.string());
    return argv;
}

void time_workload(const Workload& w, const fs::path& scratch, const fs::path& archive, int rounds) {
    const double archive_mib = static_cast<double>(fs::file_size(archive)) / (1 << 20);
    for (const char* format : kFormats) {
        std::vector<double> zeftil, floor, ratios;
        double peak = 0;
        std::pair<long, std::uintmax_t> expected{-1, 0};
        int folder = 0;
        // Runs one program into a fresh folder, checks what it wrote, removes it.
        const auto once = [&](const char* program) {
            const fs::path out = scratch / ("out-" + std::to_string(folder++));
            fs::create_directory(out);
            const Run run = spawn(command(program, format, archive), out);
            const auto wrote = contents(out);
            if (expected.first < 0) expected = wrote;
            if (wrote != expected || wrote.first != w.count)
                die(std::string(program) + " wrote " + std::to_string(wrote.first) + " files, " +
                    std::to_string(wrote.second) + " bytes; expected " + std::to_string(expected.first) + ", " +
                    std::to_string(expected.second));
            fs::remove_all(out);
            sync();
            return run;
        };
        once(ZEFTIL_EXE);  // warm-up
        once(FLOOR_EXE);
        for (int round = 0; round < rounds; ++round) {
            Run z, f;
            if (round % 2 == 0) {
                z = once(ZEFTIL_EXE);
                f = once(FLOOR_EXE);
            } else {
                f = once(FLOOR_EXE);
                z = once(ZEFTIL_EXE);
            }
            zeftil.push_back(z.seconds);
            floor.push_back(f.seconds);
            ratios.push_back(z.seconds / f.seconds);
            peak = std::max(peak, z.peak_mib);
        }
        const double target = std::string_view(w.name) == "many" ? 1.2 : 1.3;
        const double ratio = median(ratios);
        std::printf("%-8s %-6s %9.4f %9.4f %6.3f  %5.3f-%5.3f  %3.1f %-4s %8.1f %8.1f %8.1f %s\n", w.name, format,
                    median(zeftil), median(floor), ratio, *std::min_element(ratios.begin(), ratios.end()),
                    *std::max_element(ratios.begin(), ratios.end()), target, ratio <= target ? "ok" : "MISS", peak,
                    archive_mib, archive_mib + 16, peak <= archive_mib + 16 ? "ok" : "MISS");
        std::fflush(stdout);
    }
}

// The "summary:" line of a callgrind output file: instructions executed.
double callgrind_count(const fs::path& scratch, const char* program, const char* format, const fs::path& archive) {
    const fs::path out = scratch / "out-callgrind", report = scratch / "callgrind.out", log = scratch / "callgrind.log";
    fs::remove_all(out);
    fs::create_directory(out);
    std::vector<std::string> argv{"valgrind", "--tool=callgrind", "--callgrind-out-file=" + report.string()};
    for (std::string& arg : command(program, format, archive)) argv.push_back(std::move(arg));
    spawn(argv, out, log.c_str());
    fs::remove_all(out);
    std::ifstream in(report);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("summary:", 0) == 0) return std::stod(line.substr(8));
    die("no summary in " + report.string() + "; see " + log.string());
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 9;
    bool callgrind = false;
    fs::path scratch = "/dev/shm/zeftil-bench";
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc) rounds = std::atoi(argv[++i]);
        else if (arg == "--scratch" && i + 1 < argc) scratch = argv[++i];
        else if (arg == "--only" && i + 1 < argc) only = argv[++i];
        else if (arg == "--callgrind") callgrind = true;
        else die("usage: bench_run [--callgrind] [--rounds N] [--scratch DIR] [--only big,mid,many]");
    }
    if (rounds < 1) die("--rounds must be at least 1");
    if (only.empty()) only = callgrind ? "mid" : "big,mid,many";
    fs::create_directories(scratch);
    scratch = fs::canonical(scratch);
    std::printf("scratch %s (%s), %s\n", scratch.c_str(), file_system(scratch).c_str(),
                callgrind ? "user-space instructions under callgrind"
                          : (std::to_string(rounds) + " rounds, medians; peak = zeftil's maxrss").c_str());
    if (callgrind)
        std::printf("%-8s %-6s %14s %7s %14s %7s  %s\n", "workload", "format", "zeftil instr", "per px",
                    "floor instr", "per px", "target");
    else
        std::printf("%-8s %-6s %9s %9s %6s  %-11s  %-8s %8s %8s %8s\n", "workload", "format", "zeftil s", "floor s",
                    "ratio", "range", "target", "peak MiB", "gaf MiB", "limit");

    for (const Workload& w : kWorkloads) {
        if (("," + only + ",").find("," + std::string(w.name) + ",") == std::string::npos) continue;
        const fs::path archive = scratch / (std::string(w.name) + ".gaf");
        spawn({WORKLOAD_EXE, std::to_string(w.count), std::to_string(w.width), std::to_string(w.height),
               archive.string()},
              scratch);
        if (!callgrind) {
            time_workload(w, scratch, archive, rounds);
            continue;
        }
        for (const char* format : kFormats) {
            const double z = callgrind_count(scratch, ZEFTIL_EXE, format, archive);
            const double f = callgrind_count(scratch, FLOOR_EXE, format, archive);
            const double per_pixel = z / static_cast<double>(w.pixels());
            std::printf("%-8s %-6s %14.0f %7.2f %14.0f %7.2f  6 %s\n", w.name, format, z, per_pixel, f,
                        f / static_cast<double>(w.pixels()), per_pixel <= 6 ? "ok" : "MISS");
            std::fflush(stdout);
        }
    }
    return 0;
}
