// The platform layer. Long paths on Windows: the extended-length form, as
// string work on every system, and under Windows (Wine) together with
// GetFullPathNameW's part. Windows arguments and names as UTF-8.
#include <gtest/gtest.h>

#include <filesystem>

#include "native.h"

TEST(LongPaths, OpenedThroughTheExtendedLengthForm) {
    const std::wstring x(300, L'x'), q = L"\\\\?\\", at_limit(zeftil::kLongestPlainPath - 5, L'x');
    const std::pair<std::wstring, std::wstring> full_paths[] = {
        {L"C:\\d\\" + at_limit, L""}, {L"C:\\d\\x" + at_limit, q + L"C:\\d\\x" + at_limit},
        {L"z:\\" + x, q + L"z:\\" + x}, {L"\\\\s\\sh\\" + at_limit.substr(2), L""},
        {L"\\\\s\\share\\" + x, q + L"UNC\\s\\share\\" + x}, {q + L"C:\\" + x, L""}, {q + L"UNC\\s\\share\\" + x, L""},
        {L"\\\\.\\pipe\\" + x, L""}, {L"\\\\\\share\\" + x, L""}, {L"d\\" + x, L""}};
    for (const auto& [full, form] : full_paths) EXPECT_EQ(zeftil::extended_length_form(full), form) << full.size();
}

#ifdef _WIN32
// With GetFullPathNameW's part: relative paths, `.` and `..`, and the names
// Windows handles in its own way left as they stand.
TEST(LongPaths, OpenableWithTheCurrentDirectory) {
    const std::wstring x(300, L'x'), q = L"\\\\?\\", at_limit(zeftil::kLongestPlainPath - 5, L'x');
    const std::wstring here = q + std::filesystem::current_path().wstring() + L"\\";
    const std::pair<std::wstring, std::wstring> paths[] = {
        {x, here + x}, {L".\\d\\..\\" + x, here + x}, {L"d/./" + x, here + L"d\\" + x},
        {L"C:\\d\\..\\" + x, q + L"C:\\" + x}, {L"//s/share/" + x, q + L"UNC\\s\\share\\" + x},
        {q + L"C:\\d\\..\\" + x, q + L"C:\\d\\..\\" + x}, {L"d/./name.", L"d/./name."}, {L"con", L"con"},
        {L"C:\\d\\" + at_limit, L"C:\\d\\" + at_limit}};
    for (const auto& [path, openable] : paths) EXPECT_EQ(zeftil::openable_path(path), openable) << path.size();
}

// Windows arguments travel as UTF-8; every wide string, lone surrogates too,
// comes back whole.
TEST(CommandLine, WideArgumentsAsUtf8) {
    const std::pair<std::wstring, std::string> cases[] = {
        {L"a.gaf", "a.gaf"},
        {L"caf\u00E9 \u0418 \u6E38", "caf\xC3\xA9 \xD0\x98 \xE6\xB8\xB8"},
        {L"\U0001F3AE", "\xF0\x9F\x8E\xAE"},
        {L"\xD800x\xDFFF", "\xED\xA0\x80x\xED\xBF\xBF"},
    };
    for (const auto& [wide, utf8] : cases) {
        EXPECT_EQ(zeftil::wide_to_utf8(wide), utf8);
        EXPECT_EQ(zeftil::utf8_to_wide(utf8), wide);
    }
    EXPECT_EQ(zeftil::utf8_to_wide("a\xC3(\xC0\x80\xF4\x90\x80\x80"), L"a\uFFFD(\uFFFD\uFFFD\uFFFD");
}
#endif
