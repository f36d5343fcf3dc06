// Differential fuzz target: one archive, every way in, one answer. The same
// bytes are read from memory (parse_gaf), from a regular file at offsets and
// from a pipe front to back (load_gaf), and once more from the regular file
// switched into memory part-way through (keep_rest_in_memory, as a run does
// when the archive is in the way of its own entry's image). Every way must
// give the same archive fault, the same entries, the same entry faults and
// the same rows, bottom row first, or the same row error. The fuzz build reads
// files in blocks of a few bytes, so reads straddle block edges and offsets
// point back before the block on nearly every input.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bytes.h"
#include "gaf/gaf.h"

namespace {

using namespace zeftil;

// Work per input at most, counted as in the other target (each entry, row,
// pixel and sub-frame row visited one step); past the budget entries are
// still read and compared, their rows are not.
constexpr std::size_t kWorkBudget = std::size_t{1} << 17;

enum Way : std::size_t { memory, regular_file, pipe_stream, file_then_memory, kWays };
constexpr std::array<const char*, kWays> kWayNames = {"memory", "regular file", "pipe", "file, then memory"};

// Tells what each way answered, then ends the run as a crash.
[[noreturn]] void disagree(std::int32_t entry, long row, const char* what, const std::array<std::string, kWays>& answers) {
    std::fprintf(stderr, "ways in disagree on %s (entry %d, row %ld):\n", what, entry, row);
    for (std::size_t w = 0; w < kWays; ++w) std::fprintf(stderr, "  %-18s %s\n", kWayNames[w], answers[w].c_str());
    std::abort();
}

template <typename T, typename Describe>
void agree(std::int32_t entry, long row, const char* what, const std::array<T, kWays>& values, Describe describe) {
    for (std::size_t w = 1; w < kWays; ++w) {
        if (values[w] == values[0]) continue;
        std::array<std::string, kWays> answers;
        for (std::size_t v = 0; v < kWays; ++v) answers[v] = describe(values[v]);
        disagree(entry, row, what, answers);
    }
}

std::string describe_status(const EntryStatus& s) {
    return std::string(to_string(s.error)) + " (system error " + std::to_string(s.system_error) + ", sub-frame " +
           std::to_string(s.sub_frame) + ")";
}

bool operator==(const EntryStatus& a, const EntryStatus& b) {
    return a.error == b.error && a.system_error == b.system_error && a.sub_frame == b.sub_frame;
}

bool same_frame(const GafFrame& a, const GafFrame& b) {
    if (a.Width != b.Width || a.Height != b.Height || a.xOffset != b.xOffset || a.yOffset != b.yOffset ||
        a.transparencyIndex != b.transparencyIndex || a.encoding != b.encoding || a.dataAt != b.dataAt ||
        a.rowStarts != b.rowStarts || a.layers != b.layers || a.parts.size() != b.parts.size())
        return false;
    for (std::size_t n = 0; n < a.parts.size(); ++n)
        if (!same_frame(a.parts[n], b.parts[n])) return false;
    return true;
}

std::string describe_frame(const GafFrame& f) {
    std::string text = std::to_string(f.Width) + "x" + std::to_string(f.Height) + " at (" + std::to_string(f.xOffset) +
                       "," + std::to_string(f.yOffset) + ") clear " + std::to_string(f.transparencyIndex) +
                       " encoding " + std::to_string(static_cast<int>(f.encoding)) + " data " + std::to_string(f.dataAt) +
                       " rows";
    for (const std::uint64_t at : f.rowStarts) text += " " + std::to_string(at);
    text += " layers";
    for (const std::uint8_t layer : f.layers) text += " " + std::to_string(layer);
    for (const GafFrame& part : f.parts) text += " [" + describe_frame(part) + "]";
    return text;
}

struct EntryRead {
    EntryStatus status;
    GafEntry entry;
    bool operator==(const EntryRead& other) const {
        return status == other.status && entry.nFrames == other.entry.nFrames && entry.name == other.entry.name &&
               same_frame(entry.frame, other.entry.frame);
    }
};

std::string describe_entry(const EntryRead& read) {
    return describe_status(read.status) + ", " + std::to_string(read.entry.nFrames) + " frames, name \"" +
           read.entry.name + "\", frame " + describe_frame(read.entry.frame);
}

struct RowRead {
    EntryStatus status;
    std::vector<std::uint8_t> row;
    bool operator==(const RowRead& other) const { return status == other.status && row == other.row; }
};

// The row's status and up to 48 of its indices from column `from`.
std::string describe_row(const RowRead& read, std::size_t from) {
    std::string text = describe_status(read.status) + ", from column " + std::to_string(from) + ":";
    for (std::size_t x = from; x < read.row.size() && x < from + 48; ++x) {
        static constexpr char kHex[] = "0123456789abcdef";
        text += {' ', kHex[read.row[x] >> 4], kHex[read.row[x] & 15]};
    }
    return read.row.size() > from + 48 ? text + " ..." : text;
}

// A file descriptor closed when it goes out of scope.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

bool write_all(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);

    // The regular file lives in memory, named through /proc; the pipe holds
    // the whole input before it is read, its writing end closed. Inputs are
    // capped by -max_len far below what a pipe can be made to hold; larger
    // ones are skipped.
    const Fd regular(memfd_create("zeftil_diff_fuzz", MFD_CLOEXEC));
    require(regular.fd >= 0 && write_all(regular.fd, input), "the input written to a memory file");
    int ends[2];
    require(pipe2(ends, O_CLOEXEC) == 0, "a pipe made");
    const Fd pipe_out(ends[0]);
    {
        const Fd pipe_in(ends[1]);
        const int capacity = fcntl(pipe_in.fd, F_GETPIPE_SZ);
        if (size > static_cast<std::size_t>(capacity) && fcntl(pipe_in.fd, F_SETPIPE_SZ, static_cast<int>(size)) < 0)
            return 0;
        require(write_all(pipe_in.fd, input), "the input written to a pipe");
    }
    const std::string regular_path = "/proc/self/fd/" + std::to_string(regular.fd);

    std::array<GafArchive, kWays> archives;
    std::array<LoadStatus, kWays> loaded;
    loaded[memory].error = parse_gaf(std::vector<std::uint8_t>(input.begin(), input.end()), archives[memory]);
    loaded[regular_file] = load_gaf(regular_path, archives[regular_file]);
    loaded[pipe_stream] = load_gaf("/proc/self/fd/" + std::to_string(pipe_out.fd), archives[pipe_stream]);
    loaded[file_then_memory] = load_gaf(regular_path, archives[file_then_memory]);
    std::array<std::pair<ArchiveError, int>, kWays> faults;
    for (std::size_t w = 0; w < kWays; ++w) faults[w] = {loaded[w].error, loaded[w].system_error};
    agree(-1, -1, "the archive fault", faults, [](const std::pair<ArchiveError, int>& fault) {
        return std::string(to_string(fault.first)) + " (system error " + std::to_string(fault.second) + ")";
    });
    if (faults[memory].first != ArchiveError::none) {
        for (const GafArchive& archive : archives) require(!archive.input && archive.nEntries == 0, "nothing kept");
        return 0;
    }
    std::array<std::pair<std::uint32_t, std::int32_t>, kWays> headers;
    for (std::size_t w = 0; w < kWays; ++w) headers[w] = {archives[w].version, archives[w].nEntries};
    agree(-1, -1, "the archive header", headers, [](const std::pair<std::uint32_t, std::int32_t>& header) {
        return "version " + std::to_string(header.first) + ", " + std::to_string(header.second) + " entries";
    });

    // The fourth way goes into memory at the entry the header's unused word
    // names, if it names one: the fuzzer picks where.
    const std::int32_t entries = archives[memory].nEntries;
    const std::uint32_t switch_at = get_u32(input, 8) % (static_cast<std::uint32_t>(entries) + 1);

    std::size_t budget = kWorkBudget;
    std::array<EntryRead, kWays> reads;
    std::array<RowRead, kWays> rows;
    // Every way gives row y of entry i, bottom row first.
    const auto compare_rows = [&](std::int32_t i, std::size_t width, std::size_t height) {
        for (std::size_t y = height; y-- > 0;) {
            for (std::size_t w = 0; w < kWays; ++w) {
                // A different fill per way: a byte left unwritten shows.
                rows[w].row.assign(width, static_cast<std::uint8_t>(0xA5 + w));
                rows[w].status = read_row(archives[w], reads[w].entry.frame, y, rows[w].row);
            }
            // Shown from the first column where two ways differ.
            std::size_t from = width;
            for (std::size_t w = 1; w < kWays; ++w)
                for (std::size_t x = 0; x < from; ++x)
                    if (rows[w].row[x] != rows[memory].row[x]) from = x;
            from = from == width ? 0 : from - std::min<std::size_t>(from, 8);
            agree(i, static_cast<long>(y), "the row", rows, [from](const RowRead& read) { return describe_row(read, from); });
            // The bytes never change, and the entry was checked whole.
            require(rows[memory].status.error == EntryError::none, "every row of a checked entry read");
        }
    };
    for (std::int32_t i = 0; i < entries; ++i) {
        budget -= std::min<std::size_t>(budget, 1);  // every entry, compared or not
        for (std::size_t w = 0; w < kWays; ++w) reads[w].status = read_entry(archives[w], i, reads[w].entry);
        agree(i, -1, "the entry", reads, describe_entry);
        const EntryStatus& status = reads[memory].status;
        require(to_string(status.error) != "unknown error", "a known entry fault");
        // The switched entry's rows are read before the switch and again
        // after it, as a run retries the entry whose image was refused.
        const bool switching = static_cast<std::uint32_t>(i) == switch_at;
        const GafFrame& frame = reads[memory].entry.frame;
        const auto width = static_cast<std::size_t>(std::max<int>(frame.Width, 0));
        const auto height = static_cast<std::size_t>(std::max<int>(frame.Height, 0));
        // A composite visits every sub-frame on every row, and reads the row
        // of each that falls on it.
        std::size_t cost = height + width * height;
        for (const std::uint8_t layer : frame.layers) cost += height * (1 + static_cast<std::size_t>(frame.parts[layer].Width));
        if (switching) cost *= 2;
        const bool compared = status.error == EntryError::none && width > 0 && cost <= budget;
        if (compared) {
            budget -= cost;
            compare_rows(i, width, height);
        }
        if (switching) keep_rest_in_memory(archives[file_then_memory], i);
        if (switching && compared) compare_rows(i, width, height);
    }
    return 0;
}
