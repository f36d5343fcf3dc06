// The extended-length form Windows opens long paths through: the string work
// on every system, and under Windows (Wine) with GetFullPathNameW's part.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "native.h"

namespace {

using zeftil::kLongestPlainPath;

// `head` followed by x's up to `length` characters.
std::wstring padded(const std::wstring& head, std::size_t length) { return head + std::wstring(length - head.size(), L'x'); }

TEST(LongPaths, ExtendedLengthFormOfAFullPath) {
    const std::size_t at_limit = kLongestPlainPath, over = kLongestPlainPath + 1;
    const struct {
        std::wstring full, extended;
    } cases[] = {
        {padded(L"C:\\dir\\", at_limit), L""},  // opened as it stands
        {padded(L"C:\\dir\\", over), L"\\\\?\\" + padded(L"C:\\dir\\", over)},
        {padded(L"z:\\", 400), L"\\\\?\\" + padded(L"z:\\", 400)},
        {padded(L"\\\\server\\share\\", at_limit), L""},
        {padded(L"\\\\server\\share\\", over), L"\\\\?\\UNC" + padded(L"\\server\\share\\", over - 1)},
        // Already extended, or a device: Windows does not limit them.
        {padded(L"\\\\?\\C:\\", 400), L""},
        {padded(L"\\\\?\\UNC\\server\\share\\", 400), L""},
        {padded(L"\\\\.\\pipe\\", 400), L""},
        // Not a full path: nothing to put a prefix on.
        {padded(L"\\\\\\share\\", 400), L""},
        {padded(L"dir\\", 400), L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(zeftil::extended_length_form(c.full), c.extended) << c.full.size() << " " << c.full.substr(0, 20);
}

#ifdef _WIN32
TEST(LongPaths, OpenablePathWorksTheFullPathOut) {
    const std::wstring here = std::filesystem::current_path().wstring();
    const std::wstring name(300, L'x');
    const struct {
        std::wstring path, openable;
    } cases[] = {
        {name, L"\\\\?\\" + here + L"\\" + name},
        {L".\\dir\\..\\" + name, L"\\\\?\\" + here + L"\\" + name},
        {L"dir/./" + name, L"\\\\?\\" + here + L"\\dir\\" + name},
        {L"C:\\dir\\..\\" + name, L"\\\\?\\C:\\" + name},
        {L"//server/share/" + name, L"\\\\?\\UNC\\server\\share\\" + name},
        {L"\\\\?\\C:\\dir\\..\\" + name, L"\\\\?\\C:\\dir\\..\\" + name},
        // Short enough: exactly as given, whatever GetFullPathNameW makes of it.
        {L"dir/./name.", L"dir/./name."},
        {L"con", L"con"},
        {L"C:\\" + std::wstring(kLongestPlainPath - 3, L'x'), L"C:\\" + std::wstring(kLongestPlainPath - 3, L'x')},
    };
    for (const auto& c : cases) EXPECT_EQ(zeftil::openable_path(c.path), c.openable) << c.path.substr(0, 20);
}
#endif

}  // namespace
