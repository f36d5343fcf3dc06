// Long paths on Windows: the extended-length form, as string work on every
// system, and under Windows (Wine) together with GetFullPathNameW's part.
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
#ifdef _WIN32
    const std::wstring here = q + std::filesystem::current_path().wstring() + L"\\";
    const std::pair<std::wstring, std::wstring> paths[] = {
        {x, here + x}, {L".\\d\\..\\" + x, here + x}, {L"d/./" + x, here + L"d\\" + x},
        {L"C:\\d\\..\\" + x, q + L"C:\\" + x}, {L"//s/share/" + x, q + L"UNC\\s\\share\\" + x},
        {q + L"C:\\d\\..\\" + x, q + L"C:\\d\\..\\" + x}, {L"d/./name.", L"d/./name."}, {L"con", L"con"},
        {L"C:\\d\\" + at_limit, L"C:\\d\\" + at_limit}};
    for (const auto& [path, openable] : paths) EXPECT_EQ(zeftil::openable_path(path), openable) << path.size();
#endif
}
