#include "convert.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <vector>

#include "native.h"

namespace zeftil {

namespace {

std::string system_reason(int error) {
    return error != 0 ? std::generic_category().message(error) : std::string("unknown system error");
}

// Entry names come from the archive: control characters in them are shown as
// \xNN so that every message stays one line; the rest is shown as the file
// name is made from it.
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

std::string_view to_string(WriteError error) {
    switch (error) {
        case WriteError::none: return "no error";
        case WriteError::cannot_create: return "cannot create a temporary file";
        case WriteError::cannot_write: return "write failed";
        case WriteError::cannot_close: return "close failed";
        case WriteError::cannot_rename: return "cannot replace the file";
        case WriteError::source_failed: return "row source failed";
    }
    return "unknown error";
}

}  // namespace

CommandLine parse_command_line(std::span<const std::string_view> args) {
    CommandLine line;
    if (args.size() == 1) {
        line.path = args[0];
    } else if (args.size() == 2 && args[0] == "-b") {
        line.format = OutputFormat::bmp;
        line.path = args[1];
    } else {
        line.show_usage = true;
    }
    return line;
}

// ZEFTIL_VERSION comes from the build: project(... VERSION ...) in CMakeLists.txt.
std::array<std::string_view, 4> usage_text() {
    return {
        "ZEFTIL -- Convert Total Annihilation .GAF files into individual texture images\n",
        "Version " ZEFTIL_VERSION " free software, built from its own sources\n",
        "Syntax :   zeftil [-b] <filename.gaf>\n",
        "                    -b will generate .BMP files instead of the default .TGA\n\n",
    };
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

std::string_view to_string(NameError error) {
    switch (error) {
        case NameError::none: return "no error";
        case NameError::path_separator:
            return "entry name holds a path separator, so the file would land outside the current directory";
        case NameError::forbidden_character:
            return "entry name holds a character that Windows does not allow in file names";
        case NameError::device_name: return "entry name is a Windows device name, so the data would go to a device";
    }
    return "unknown error";
}

int exit_status(RunStatus status) {
    switch (status) {
        case RunStatus::ok: return 0;
        case RunStatus::entries_failed: return 1;
        case RunStatus::usage_not_written: return 1;
        case RunStatus::archive_unusable: return -1;
    }
    return -1;
}

std::string archive_message(std::string_view path, const LoadStatus& status) {
    std::string message = "ERROR reading ";
    message += path;
    if (status.error == ArchiveError::cannot_read) {
        message += ": ";
        message += system_reason(status.system_error);
    } else if (status.error != ArchiveError::cannot_open) {
        message += ": ";
        message += to_string(status.error);
    }
    message += "\n\n";
    return message;
}

std::string usage_failure_message(int system_error) {
    return "ERROR writing standard output: " + system_reason(system_error) + "\n";
}

namespace {

// Why an entry cannot be converted; a sub-frame's fault names its slot.
std::string entry_reason(const EntryStatus& status) {
    std::string reason = status.error == EntryError::cannot_read ? system_reason(status.system_error)
                                                                  : std::string(to_string(status.error));
    if (status.sub_frame < 0) return reason;
    const std::string sub_frame = "sub-frame " + std::to_string(status.sub_frame);
    return sub_frame + (status.error == EntryError::nested_sub_frames ? " " : ": ") + reason;
}

std::string entry_message(std::string_view path, std::int32_t index, const GafEntry& entry, const EntryStatus& status) {
    std::string message = "ERROR reading " + std::string(path) + ": entry " + std::to_string(index);
    // The name is known once the entry header could be read.
    if (status.error != EntryError::negative_entry_offset && status.error != EntryError::entry_header_outside_file)
        message += " \"" + printable(entry.name) + '"';
    return message + ": " + entry_reason(status) + '\n';
}

// Writes the image of one entry that was read, and reports what fails.
bool convert_entry(GafArchive& archive, std::int32_t index, const GafEntry& entry, std::string_view path,
                   OutputFormat format, const Report& report) {
    const std::string output = entry.name + (format == OutputFormat::tga ? ".tga" : ".bmp");
    if (const NameError error = check_output_name(entry.name); error != NameError::none) {
        report("ERROR writing " + printable(output) + ": " + std::string(to_string(error)) + "\n");
        return false;
    }
    const ImageSize size{static_cast<std::uint16_t>(entry.frame.Width), static_cast<std::uint16_t>(entry.frame.Height)};
    const RowSource rows = [&](std::size_t y, std::span<std::uint8_t> row) { return read_row(archive, entry.frame, y, row); };
    WriteStatus written;
    try {
        written = write_image_file(output, format, size, rows);
        if (written.error == WriteError::cannot_rename && is_archive_file(archive, output)) {
            // The archive itself is the file in the way, and the system
            // refuses to replace a file that is open (Windows does). Once the
            // archive is no longer open, one more try.
            keep_rest_in_memory(archive, index);
            written = write_image_file(output, format, size, rows);
        }
    } catch (const std::bad_alloc&) {
        written = {WriteError::cannot_write, ENOMEM, {}};
    }
    if (written.error == WriteError::source_failed) {
        report(entry_message(path, index, entry, written.source));
    } else if (written.error != WriteError::none) {
        report("ERROR writing " + printable(output) + ": " + std::string(to_string(written.error)) + ": " +
               system_reason(written.system_error) + "\n");
    }
    return written.error == WriteError::none;
}

}  // namespace

RunStatus convert_archive(GafArchive& archive, std::string_view path, OutputFormat format, const Report& report) {
    RunStatus status = RunStatus::ok;
    GafEntry entry;
    for (std::int32_t i = 0; i < archive.nEntries; ++i) {
        bool converted = false;
        try {
            const EntryStatus read = read_entry(archive, i, entry);
            if (read.error != EntryError::none)
                report(entry_message(path, i, entry, read));
            else
                converted = convert_entry(archive, i, entry, path, format, report);
        } catch (const std::bad_alloc&) {
            report(entry_message(path, i, entry, {EntryError::cannot_read, ENOMEM}));
        }
        if (!converted) status = RunStatus::entries_failed;
    }
    return status;
}

}  // namespace zeftil
