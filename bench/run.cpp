// zeftil against the I/O floor (bench_floor) on archives made by bench_workload.
//
//   bench_run [--rounds N] [--scratch DIR] [--only NAME,...] [--zeftil PATH] [--floor PATH] [--keep]
//       For every workload: the floor's plan of reads and writes, made before
//       any clock starts; then for every format one warm-up, then N rounds (default 11)
//       that each run zeftil and the floor once, taking turns at going first.
//       Every run converts into a fresh empty folder made before its clock
//       starts and removed after it stops, so no run pays for another's files.
//       Prints the median seconds of each, the median, quartiles and extremes
//       of the per-round ratios zeftil/floor, the median ratio of their CPU
//       times, and zeftil's peak resident memory (wait4), each against its
//       target (ratio at most 1.10, peak under 4 MiB), and whether the
//       workload's TGA and BMP ratios lie within 0.05 of each other. Ends with
//       how busy other processes kept the machine meanwhile.
//   bench_run --callgrind [--scratch DIR] [--only NAME,...] [--zeftil PATH] [--floor PATH] [--keep]
//       Counts the user-space instructions of one run of each under callgrind,
//       per pixel (default workload: mid). Unlike seconds, these repeat exactly.
//
// The exit status is 0 when every target is met, 1 when one is missed and 2
// when something could not be measured. The archives and plans it makes are
// removed when it ends, however it ends (an interrupt included), unless
// --keep is given; so is DIR when it made DIR and nothing is left in it.
//
// --zeftil measures another build of zeftil, an older one say, instead of the
// one built beside this program, and --floor another floor: given scripts
// that run zeftil.exe and bench_floor.exe under Wine, the Windows programs
// (the plan is the same on both systems). DIR defaults to
// /dev/shm/zeftil-bench, a tmpfs, so that the figures are the programs' and
// the kernel's rather than a disk's; the file system used is printed.
// Workloads: big (16 x 2048x2048), mid (256 x 256x256), many (20,000 x
// 16x16) and anim (64 entries of 16 frames of 256x256, of which only the
// first is converted, as in an animation), every pixel a pseudo-random
// palette index.
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Workload {
    const char* name;
    long count, width, height, frames;
    long pixels() const { return count * width * height; }  // converted: frame 0 of each entry
};
constexpr Workload kWorkloads[] = {
    {"big", 16, 2048, 2048, 1}, {"mid", 256, 256, 256, 1}, {"many", 20000, 16, 16, 1}, {"anim", 64, 256, 256, 16}};
constexpr const char* kFormats[] = {"tga", "bmp"};

struct Run {
    double seconds = 0;  // wall clock
    double cpu = 0;      // user + system
    double peak_mib = 0;
};

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// What this run made that would outlive it: the archives and plans, the
// folder of the run under way, and the scratch folder when it made that.
struct Made {
    std::vector<fs::path> files;
    fs::path out, scratch;
    bool keep = false;  // --keep: the archives and plans stay
};
Made made;

void remove_made() {
    std::error_code ignored;
    if (!made.keep)
        for (const fs::path& file : made.files) fs::remove(file, ignored);
    if (!made.out.empty()) fs::remove_all(made.out, ignored);
    if (!made.scratch.empty()) fs::remove(made.scratch, ignored);  // only when nothing else is left in it
}

// An interrupt is acted on once the program under way has ended: the
// terminal's interrupt ends it too, and it removes its own files.
volatile std::sig_atomic_t interrupted = 0;
extern "C" void on_signal(int number) { interrupted = number; }

constexpr int kMissed = 1, kFailed = 2;

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "bench_run: %s\n", message.c_str());
    remove_made();
    std::exit(kFailed);
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
    if (interrupted) {
        remove_made();
        std::signal(interrupted, SIG_DFL);
        std::raise(interrupted);
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die(argv[0] + " failed in " + dir.string());
    return {elapsed.count(), seconds(usage.ru_utime) + seconds(usage.ru_stime),
            static_cast<double>(usage.ru_maxrss) / 1024.0};
}

// The q-quantile, interpolated between neighbours: 0.5 is the median.
double quantile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    const double at = q * static_cast<double>(values.size() - 1);
    const auto below = static_cast<std::size_t>(at);
    if (below + 1 >= values.size()) return values.back();
    return values[below] + (at - static_cast<double>(below)) * (values[below + 1] - values[below]);
}
double median(const std::vector<double>& values) { return quantile(values, 0.5); }

// Busy seconds of the whole machine so far, all cores, from /proc/stat.
double machine_busy() {
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0;
    if (std::FILE* f = std::fopen("/proc/stat", "r")) {
        if (std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle, &iowait, &irq,
                        &softirq) != 7)
            user = nice = system = irq = softirq = 0;
        std::fclose(f);
    }
    return static_cast<double>(user + nice + system + irq + softirq) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU seconds of this program and of every child it has waited for.
double own_busy() {
    double total = 0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        getrusage(who, &usage);
        total += seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }
    return total;
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

// zeftil's command line, or the floor's when it is given its plan.
std::vector<std::string> command(const std::string& program, const char* format, const fs::path& archive,
                                 const fs::path& plan = {}) {
    std::vector<std::string> argv{program};
    if (std::string_view(format) == "bmp") argv.push_back("-b");
    if (!plan.empty()) argv.push_back(plan.string());
    argv.push_back(archive.string());
    return argv;
}

struct Programs {
    std::string zeftil = ZEFTIL_EXE, floor = FLOOR_EXE;
};

constexpr double kTargetRatio = 1.10, kTargetPeakMiB = 4, kTargetFormatGap = 0.05, kTargetCallgrind = 6;

// Whether every target was met.
bool time_workload(const Workload& w, const Programs& programs, const fs::path& scratch, const fs::path& archive,
                   const fs::path& plan, int rounds) {
    const double archive_mib = static_cast<double>(fs::file_size(archive)) / (1 << 20);
    bool met = true;
    std::vector<double> format_ratios;
    for (const char* format : kFormats) {
        std::vector<double> zeftil, floor, ratios, cpu_ratios;
        double peak = 0;
        std::pair<long, std::uintmax_t> expected{-1, 0};
        int folder = 0;
        // Runs one program into a fresh folder, checks what it wrote, removes it.
        const auto once = [&](const std::string& program, const fs::path& plan_given) {
            const fs::path out = made.out = scratch / ("out-" + std::to_string(folder++));
            fs::create_directory(out);
            const Run run = spawn(command(program, format, archive, plan_given), out);
            const auto wrote = contents(out);
            if (expected.first < 0) expected = wrote;
            if (wrote != expected || wrote.first != w.count)
                die(program + " wrote " + std::to_string(wrote.first) + " files, " +
                    std::to_string(wrote.second) + " bytes; expected " + std::to_string(expected.first) + ", " +
                    std::to_string(expected.second));
            fs::remove_all(out);
            sync();  // on a disk, the removal is written back before the next clock starts
            return run;
        };
        const auto zeftil_once = [&] { return once(programs.zeftil, {}); };
        const auto floor_once = [&] { return once(programs.floor, plan); };
        zeftil_once();  // warm-up
        floor_once();
        for (int round = 0; round < rounds; ++round) {
            Run z, f;
            if (round % 2 == 0) {
                z = zeftil_once();
                f = floor_once();
            } else {
                f = floor_once();
                z = zeftil_once();
            }
            zeftil.push_back(z.seconds);
            floor.push_back(f.seconds);
            ratios.push_back(z.seconds / f.seconds);
            cpu_ratios.push_back(z.cpu / f.cpu);
            peak = std::max(peak, z.peak_mib);
        }
        const double ratio = median(ratios);
        format_ratios.push_back(ratio);
        met = met && ratio <= kTargetRatio && peak < kTargetPeakMiB;
        std::printf("%-8s %-6s %8.4f %8.4f %6.3f  %5.3f-%5.3f  %5.3f-%5.3f  %-4s %6.3f  %8.1f %-4s %7.1f\n", w.name,
                    format, median(zeftil), median(floor), ratio, quantile(ratios, 0.25), quantile(ratios, 0.75),
                    quantile(ratios, 0), quantile(ratios, 1), ratio <= kTargetRatio ? "ok" : "MISS",
                    median(cpu_ratios), peak, peak < kTargetPeakMiB ? "ok" : "MISS", archive_mib);
        std::fflush(stdout);
    }
    const double gap = std::abs(format_ratios.front() - format_ratios.back());
    std::printf("%-8s tga-bmp %6.3f  %s\n", w.name, gap, gap <= kTargetFormatGap ? "ok" : "MISS");
    std::fflush(stdout);
    return met && gap <= kTargetFormatGap;
}

// The "summary:" line of a callgrind output file: instructions executed.
double callgrind_count(const fs::path& scratch, const std::string& program, const char* format,
                       const fs::path& archive, const fs::path& plan = {}) {
    const fs::path out = made.out = scratch / "out-callgrind", report = scratch / "callgrind.out",
                   log = scratch / "callgrind.log";
    fs::remove_all(out);
    fs::create_directory(out);
    std::vector<std::string> argv{"valgrind", "--tool=callgrind", "--callgrind-out-file=" + report.string()};
    for (std::string& arg : command(program, format, archive, plan)) argv.push_back(std::move(arg));
    spawn(argv, out, log.c_str());
    fs::remove_all(out);
    std::ifstream in(report);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("summary:", 0) != 0) continue;
        in.close();
        fs::remove(report);
        fs::remove(log);
        return std::stod(line.substr(8));
    }
    die("no summary in " + report.string() + "; see " + log.string());
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 11;
    bool callgrind = false;
    fs::path scratch = "/dev/shm/zeftil-bench";
    std::string only;
    Programs programs;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc) rounds = std::atoi(argv[++i]);
        else if (arg == "--scratch" && i + 1 < argc) scratch = argv[++i];
        else if (arg == "--only" && i + 1 < argc) only = argv[++i];
        else if (arg == "--zeftil" && i + 1 < argc) programs.zeftil = fs::absolute(argv[++i]).string();
        else if (arg == "--floor" && i + 1 < argc) programs.floor = fs::absolute(argv[++i]).string();
        else if (arg == "--callgrind") callgrind = true;
        else if (arg == "--keep") made.keep = true;
        else die("usage: bench_run [--callgrind] [--rounds N] [--scratch DIR] [--only big,mid,many,anim] "
                 "[--zeftil PATH] [--floor PATH] [--keep]");
    }
    if (rounds < 1) die("--rounds must be at least 1");
    if (only.empty()) only = callgrind ? "mid" : "big,mid,many,anim";
    const bool made_scratch = fs::create_directories(scratch);
    scratch = fs::canonical(scratch);
    if (made_scratch) made.scratch = scratch;
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) std::signal(number, on_signal);
    std::printf("zeftil %s\nfloor %s\nscratch %s (%s)\n", programs.zeftil.c_str(), programs.floor.c_str(),
                scratch.c_str(), file_system(scratch).c_str());
    const auto started = std::chrono::steady_clock::now();
    const double busy_before = machine_busy() - own_busy();
    if (callgrind) {
        std::printf("user-space instructions of one run under callgrind, per pixel (target: at most %.0f on mid)\n",
                    kTargetCallgrind);
        std::printf("%-8s %-6s %14s %7s %14s %7s  %s\n", "workload", "format", "zeftil instr", "per px",
                    "floor instr", "per px", "target");
    } else {
        std::printf("%d rounds; seconds and ratios zeftil/floor are medians over the rounds, with the quartiles\n"
                    "and the extremes of the ratio (target: at most %.2f); cpu is the median ratio of user +\n"
                    "system time; peak is zeftil's largest maxrss (target: under %.0f MiB)\n",
                    rounds, kTargetRatio, kTargetPeakMiB);
        std::printf("%-8s %-6s %8s %8s %6s  %-11s  %-11s  %-4s %6s  %8s %-4s %7s\n", "workload", "format", "zeftil s",
                    "floor s", "ratio", "quartiles", "extremes", "", "cpu", "peak MiB", "", "gaf MiB");
    }
    std::fflush(stdout);

    bool met = true;
    for (const Workload& w : kWorkloads) {
        if (("," + only + ",").find("," + std::string(w.name) + ",") == std::string::npos) continue;
        const fs::path archive = scratch / (std::string(w.name) + ".gaf");
        made.files.push_back(archive);
        spawn({WORKLOAD_EXE, std::to_string(w.count), std::to_string(w.width), std::to_string(w.height),
               archive.string(), std::to_string(w.frames)},
              scratch);
        const fs::path plan = scratch / (std::string(w.name) + ".plan");
        made.files.push_back(plan);
        spawn({programs.floor, "--plan", archive.string(), plan.string()}, scratch);
        if (!callgrind) {
            met = time_workload(w, programs, scratch, archive, plan, rounds) && met;
            continue;
        }
        for (const char* format : kFormats) {
            const double z = callgrind_count(scratch, programs.zeftil, format, archive);
            const double f = callgrind_count(scratch, programs.floor, format, archive, plan);
            const double per_pixel = z / static_cast<double>(w.pixels());
            const bool targeted = std::string_view(w.name) == "mid";
            met = met && (!targeted || per_pixel <= kTargetCallgrind);
            std::printf("%-8s %-6s %14.0f %7.2f %14.0f %7.2f  %s\n", w.name, format, z, per_pixel, f,
                        f / static_cast<double>(w.pixels()),
                        !targeted ? "-" : per_pixel <= kTargetCallgrind ? "ok" : "MISS");
            std::fflush(stdout);
        }
    }
    if (callgrind) {  // counts that no other process can disturb
        remove_made();
        return met ? 0 : kMissed;
    }
    // Whatever else ran meanwhile competed for the two cores and the memory.
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    const double others = (machine_busy() - own_busy() - busy_before) / took.count();
    std::printf("other processes kept %.2f cores busy on average during the %.0f s run%s\n", others, took.count(),
                others > 0.1 ? ": the figures are disturbed, run again on a quiet machine" : "");
    remove_made();
    std::printf("%s\n", met ? "every target met" : "a target was missed");
    return met ? 0 : kMissed;
}
