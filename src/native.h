// Where Windows and the other systems part ways over text: how a path opens a
// file, how an entry name becomes a file name, how a message reaches standard
// error.
//
// Windows names files in UTF-16. The program keeps every path as UTF-8 there
// (main takes the arguments from the wide command line) and converts at these
// calls, so any path works whatever the user's ANSI code page. Entry names are
// text of the game's era: their bytes are read as Windows-1252 on every
// Windows. Elsewhere names and paths are bytes and pass through as they stand.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zeftil {

// Closes a file held by a std::unique_ptr.
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Which file names the system takes as they stand (see names.h).
enum class NameRules { posix, windows };
NameRules native_name_rules();

// Opens the file at `path` for reading in binary mode, as fopen "rb" does.
std::FILE* open_for_reading(const std::string& path);

// Reads up to to.size() bytes at `offset` of `file`, a 64-bit offset, fewer
// at its end. A failed read sets `error` to its errno.
std::size_t read_file_at(std::FILE* file, std::uint64_t offset, std::span<std::uint8_t> to, int& error);

// True, with its size, when `file` is a regular file.
bool regular_file_size(std::FILE* file, std::uint64_t& size);

// True when the output name `name` names the open file `file` (the same
// device and file number; on Windows the same volume and file index).
bool is_same_file(std::FILE* file, std::string_view name);

// A path as the system's file calls take it: UTF-16 on Windows, bytes
// elsewhere.
using NativePath = std::filesystem::path::string_type;

// Creates the file at `path` (an output_file_path) for writing in binary
// mode, only if no file of that name exists yet: otherwise it fails with
// EEXIST rather than open the existing file. On Windows the file may be
// deleted while it is open, as an interrupted run does.
std::FILE* create_new_file(const NativePath& path);

// Renames the file `from` to `to`, replacing a file `to` names; 0, or the
// errno of the failure. Both are output_file_paths.
int rename_file(const NativePath& from, const NativePath& to);

// Removes the file at `path` (an output_file_path), if it can.
void remove_file(const NativePath& path) noexcept;

// Removes the file `name`, a plain ASCII name in the current directory, with
// only what a signal handler may call.
void remove_file_now(const char* name) noexcept;

// The file in the current directory that the output name `name` stands for.
NativePath output_file_path(std::string_view name);

// An entry or output name as messages show it: on Windows the UTF-8 of the
// file name it gives; elsewhere its bytes.
std::string name_text(std::string_view name);

// Writes `text` to standard error: on Windows, when standard error is a
// console, as UTF-16 so that the console shows every character; otherwise as
// the bytes of `text`, which on Windows are UTF-8.
void write_error_text(std::string_view text);

#ifdef _WIN32
// UTF-16 and UTF-8 both ways. A lone surrogate, which a Windows file name may
// hold, is carried over as the three bytes UTF-8 would give its code point,
// so every wide string comes back whole; bytes that are not UTF-8 read as
// U+FFFD.
std::wstring utf8_to_wide(std::string_view text);
std::string wide_to_utf8(std::wstring_view text);

std::wstring windows1252_to_wide(std::string_view text);

// Windows hands a program its arguments as UTF-16 through wmain, split by
// the same rules as main's, so that no character is lost to the ANSI code
// page; elsewhere they are main's bytes.
using ArgumentChar = wchar_t;
#define ZEFTIL_MAIN extern "C" int wmain(int argc, wchar_t** argv)
#else
using ArgumentChar = char;
#define ZEFTIL_MAIN int main(int argc, char** argv)
#endif

// The arguments after the program's own name, as UTF-8 on Windows.
std::vector<std::string> program_arguments(int argc, ArgumentChar** argv);

// Windows opens a path whose full form (the current directory, the drive and
// every `.` and `..` worked in) is longer than this only in its
// extended-length form, which no setting of the system limits.
inline constexpr std::size_t kLongestPlainPath = 259;  // MAX_PATH less the NUL

// The extended-length form of `full_path`, a full path as GetFullPathNameW
// gives it (backslashes, no `.` or `..`), when it is longer than
// kLongestPlainPath: "\\?\C:\..." for a drive path, "\\?\UNC\server\share\..."
// for a network path "\\server\share\...". Empty when the path is short
// enough to open as it stands, or already names a namespace of its own
// ("\\?\...", a device "\\.\..."), or has a form that cannot be extended.
// Plain string work, built on every system.
std::wstring extended_length_form(std::wstring_view full_path);

#ifdef _WIN32
// `path` as it can be opened: itself when its full path is short enough, so
// that device names, trailing dots and `/` keep Windows' ordinary handling;
// otherwise the extended-length form of its full path.
std::wstring openable_path(const std::wstring& path);
#endif

}  // namespace zeftil
