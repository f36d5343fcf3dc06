#include "native.h"

#include <cerrno>
#include <cstdint>
#include <sys/stat.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace zeftil {

#ifdef _WIN32

std::wstring utf8_to_wide(std::string_view text) {
    // By the length of a sequence: the bits its lead byte holds, and the
    // smallest code point it may stand for (anything less is too long a form).
    static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    std::wstring wide;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
        char32_t c = lead & kLeadBits[length];
        std::size_t n = 1;
        for (; n < length && i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80; ++n)
            c = (c << 6) | (static_cast<unsigned char>(text[i + n]) & 0x3F);
        i += n;
        if (length == 0 || n < length || c < kLeast[length] || c > 0x10FFFF) {
            wide += L'\uFFFD';
        } else if (c >= 0x10000) {
            wide += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            wide += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
        } else {
            wide += static_cast<wchar_t>(c);
        }
    }
    return wide;
}

std::string wide_to_utf8(std::wstring_view text) {
    static constexpr unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
    std::string utf8;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        const int more = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        utf8 += static_cast<char>(kLead[more] | (c >> (6 * more)));
        for (int k = more - 1; k >= 0; --k) utf8 += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
    }
    return utf8;
}

// Code page 1252 comes with every Windows. Its five unassigned bytes read as
// the control characters of the same number, as Windows has them.
std::wstring windows1252_to_wide(std::string_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    std::wstring wide(static_cast<std::size_t>(MultiByteToWideChar(1252, 0, text.data(), size, nullptr, 0)), L'\0');
    MultiByteToWideChar(1252, 0, text.data(), size, wide.data(), static_cast<int>(wide.size()));
    return wide;
}

std::vector<std::string> program_arguments(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(wide_to_utf8(argv[i]));
    return args;
}

NameRules native_name_rules() { return NameRules::windows; }

std::FILE* open_for_reading(const std::string& path) {
    return _wfopen(openable_path(utf8_to_wide(path)).c_str(), L"rb");
}

std::size_t read_file_at(std::FILE* file, std::uint64_t offset, std::span<std::uint8_t> to, int& error) {
    // A read that failed before leaves the stream's error flag set, which a
    // seek does not clear.
    std::clearerr(file);
    errno = 0;
    const bool sought = _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
    const std::size_t n = sought ? std::fread(to.data(), 1, to.size(), file) : 0;
    if (!sought || std::ferror(file)) error = errno != 0 ? errno : EIO;
    return n;
}

namespace {

// The volume and index that identify a file on Windows.
bool file_identity(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
    return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info);
}

}  // namespace

bool regular_file_size(std::FILE* file, std::uint64_t& size) {
    struct _stat64 info {};
    if (_fstat64(_fileno(file), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return false;
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

bool is_same_file(std::FILE* file, std::string_view name) {
    BY_HANDLE_FILE_INFORMATION opened{}, named{};
    if (!file_identity(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), opened)) return false;
    const HANDLE handle = CreateFileW(output_file_path(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool known = file_identity(handle, named);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return known && opened.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
           opened.nFileIndexHigh == named.nFileIndexHigh && opened.nFileIndexLow == named.nFileIndexLow;
}

// The C runtime MinGW links against (msvcrt) ignores fopen's "x" and would
// truncate the file, and _wopen shares no right to delete: the exclusive
// create goes through CreateFileW, sharing deletion so that a signal handler
// can remove the file while it is being written.
std::FILE* create_new_file(const NativePath& path) {
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        switch (GetLastError()) {
            case ERROR_FILE_EXISTS: case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
            case ERROR_ACCESS_DENIED: case ERROR_SHARING_VIOLATION: errno = EACCES; break;
            case ERROR_PATH_NOT_FOUND: case ERROR_FILE_NOT_FOUND: errno = ENOENT; break;
            case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
            case ERROR_FILENAME_EXCED_RANGE: errno = ENAMETOOLONG; break;
            default: errno = EIO;
        }
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
    std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (!file) {
        const int error = errno;
        if (fd < 0)
            CloseHandle(handle);
        else
            _close(fd);
        DeleteFileW(path.c_str());
        errno = error;
    }
    return file;
}

// The standard library's rename replaces an existing file on Windows too,
// which _wrename does not, and says which error of the C library a failure
// is ("Is a directory" for a folder in the way).
int rename_file(const NativePath& from, const NativePath& to) {
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    return ec.value();
}

void remove_file(const NativePath& path) noexcept { DeleteFileW(path.c_str()); }

void remove_file_now(const char* name) noexcept { _unlink(name); }

NativePath output_file_path(std::string_view name) { return openable_path(windows1252_to_wide(name)); }

std::string name_text(std::string_view name) { return wide_to_utf8(windows1252_to_wide(name)); }

void write_error_text(std::string_view text) {
    const auto console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stderr)));
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) {
        std::fwrite(text.data(), 1, text.size(), stderr);  // the C runtime ends each line in CR LF
        std::fflush(stderr);
        return;
    }
    std::fflush(stderr);
    std::wstring wide;
    for (const wchar_t c : utf8_to_wide(text)) {
        if (c == L'\n') wide += L'\r';
        wide += c;
    }
    DWORD written = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

#else

std::vector<std::string> program_arguments(int argc, char** argv) { return {argv + (argc > 0 ? 1 : 0), argv + argc}; }

NameRules native_name_rules() { return NameRules::posix; }

std::FILE* open_for_reading(const std::string& path) { return std::fopen(path.c_str(), "rb"); }

// One call a read, and no seek: the stream's own position and buffer are
// never used.
std::size_t read_file_at(std::FILE* file, std::uint64_t offset, std::span<std::uint8_t> to, int& error) {
    std::size_t done = 0;
    while (done < to.size()) {
        const ssize_t n = pread(fileno(file), to.data() + done, to.size() - done, static_cast<off_t>(offset + done));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;  // the file ends
        } else if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    return done;
}

bool regular_file_size(std::FILE* file, std::uint64_t& size) {
    struct stat info {};
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

bool is_same_file(std::FILE* file, std::string_view name) {
    struct stat opened {}, named {};
    return fstat(fileno(file), &opened) == 0 && stat(std::string(name).c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

std::FILE* create_new_file(const NativePath& path) { return std::fopen(path.c_str(), "wbx"); }

int rename_file(const NativePath& from, const NativePath& to) {
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno != 0 ? errno : EIO;
}

void remove_file(const NativePath& path) noexcept { std::remove(path.c_str()); }

void remove_file_now(const char* name) noexcept { unlink(name); }

NativePath output_file_path(std::string_view name) { return NativePath(name); }

std::string name_text(std::string_view name) { return std::string(name); }

void write_error_text(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

#endif

std::wstring extended_length_form(std::wstring_view full_path) {
    if (full_path.size() <= kLongestPlainPath) return {};
    const auto is_letter = [](wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); };
    // A drive path: C:\...
    if (is_letter(full_path[0]) && full_path.substr(1, 2) == L":\\") return L"\\\\?\\" + std::wstring(full_path);
    // A network path, \\server\share\...: not a namespace's \\?\ nor a
    // device's \\.\, and a server name before the next backslash.
    if (full_path.starts_with(L"\\\\") && !full_path.starts_with(L"\\\\?\\") && !full_path.starts_with(L"\\\\.\\") &&
        full_path[2] != L'\\')
        return L"\\\\?\\UNC" + std::wstring(full_path.substr(1));
    return {};
}

#ifdef _WIN32

std::wstring openable_path(const std::wstring& path) {
    // Given room for a short full path, GetFullPathNameW returns its length;
    // given too little, the room a longer one needs, its NUL included.
    std::wstring full(kLongestPlainPath + 1, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length > kLongestPlainPath) {
        full.resize(length);
        length = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
    }
    if (length == 0 || length >= full.size()) return path;
    full.resize(length);
    std::wstring extended = extended_length_form(full);
    return extended.empty() ? path : extended;
}

#endif

}  // namespace zeftil
