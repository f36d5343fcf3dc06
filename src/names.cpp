#include "names.h"

#include <algorithm>

namespace zeftil {

std::string output_name(std::string_view entry_name, OutputFormat format) {
    return std::string(entry_name) + (format == OutputFormat::tga ? ".tga" : ".bmp");
}

namespace {

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool same_letters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return upper(x) == y; });
}

// Windows sends a name to a device when the part before its first dot, less
// trailing spaces, is a device name in any case: "con", "Nul.x", "COM1 .tga".
// COM and LPT take a digit or a superscript 1, 2 or 3 (names are read as
// Windows-1252).
bool is_windows_device(std::string_view name) {
    std::string_view base = name.substr(0, name.find('.'));
    while (base.ends_with(' ')) base.remove_suffix(1);
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL"})
        if (same_letters(base, device)) return true;
    if (base.size() < 4 || !(same_letters(base.substr(0, 3), "COM") || same_letters(base.substr(0, 3), "LPT")))
        return false;
    const std::string_view number = base.substr(3);
    if (number.size() == 1 && number[0] >= '0' && number[0] <= '9') return true;
    for (std::string_view superscript : {"\xB9", "\xB2", "\xB3"})
        if (number == superscript) return true;
    return false;
}

// Characters no Windows file name may hold: the path separators aside,
// < > : " | ? * and the control characters 1 to 31. ':' would name an
// alternate data stream of another file.
bool has_windows_forbidden_character(std::string_view name) {
    return std::any_of(name.begin(), name.end(), [](char c) {
        return (c >= 1 && c <= 31) || std::string_view("<>:\"|?*").find(c) != std::string_view::npos;
    });
}

}  // namespace

NameError check_output_name(std::string_view name, NameRules rules) {
    if (name.find_first_of("/\\") != std::string_view::npos) return NameError::path_separator;
    if (rules == NameRules::windows) {
        if (has_windows_forbidden_character(name)) return NameError::forbidden_character;
        if (is_windows_device(name)) return NameError::device_name;
    }
    return NameError::none;
}

std::string printable(std::string_view name) {
    static const char digits[] = "0123456789ABCDEF";
    std::string shown;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            shown += "\\x";
            shown += digits[byte >> 4];
            shown += digits[byte & 15];
        } else {
            shown += c;
        }
    }
    return name_text(shown);
}

}  // namespace zeftil
