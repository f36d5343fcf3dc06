#include "convert.h"

#include <cstring>
#include <new>
#include <system_error>
#include <vector>

namespace zeftil {

namespace {

std::string system_reason(int error) {
    return error != 0 ? std::generic_category().message(error) : std::string("unknown system error");
}

// Entry names come from the archive: control characters in them are shown as
// \xNN so that every message stays one line.
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
    return shown;
}

std::string_view to_string(WriteError error) {
    switch (error) {
        case WriteError::none: return "no error";
        case WriteError::cannot_create: return "cannot create a temporary file";
        case WriteError::cannot_write: return "write failed";
        case WriteError::cannot_close: return "close failed";
        case WriteError::cannot_rename: return "cannot replace the file";
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

std::array<std::string_view, 4> usage_text() {
    return {
        "ZEFTIL -- Convert Total Annihilation .GAF files into individual texture images\n",
        "Version 0.90 free software, built from its own sources\n",
        "Syntax :   zeftil [-b] <filename.gaf>\n",
        "                    -b will generate .BMP files instead of the default .TGA\n\n",
    };
}

NameError check_output_name(std::string_view name) {
    if (name.find_first_of("/\\") != std::string_view::npos) return NameError::path_separator;
    return NameError::none;
}

std::string_view to_string(NameError error) {
    switch (error) {
        case NameError::none: return "no error";
        case NameError::path_separator:
            return "entry name holds a path separator, so the file would land outside the current directory";
    }
    return "unknown error";
}

int exit_status(RunStatus status) {
    switch (status) {
        case RunStatus::ok: return 0;
        case RunStatus::entries_failed: return 1;
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

RunStatus convert_archive(const GafArchive& archive, std::string_view path, OutputFormat format,
                          std::ostream& diagnostics) {
    const std::string_view extension = format == OutputFormat::tga ? ".tga" : ".bmp";
    RunStatus status = RunStatus::ok;
    GafEntry entry;
    std::vector<std::uint8_t> scratch;
    for (std::int32_t i = 0; i < archive.nEntries; ++i) {
        if (const EntryError error = read_entry(archive, i, entry); error != EntryError::none) {
            diagnostics << "ERROR reading " << path << ": entry " << i;
            if (!entry.name.empty()) diagnostics << " \"" << printable(entry.name) << '"';
            diagnostics << ": " << to_string(error) << '\n';
            status = RunStatus::entries_failed;
            continue;
        }
        const std::string output = entry.name + std::string(extension);
        const std::string shown = printable(output);
        if (const NameError error = check_output_name(entry.name); error != NameError::none) {
            diagnostics << "ERROR writing " << shown << ": " << to_string(error) << '\n';
            status = RunStatus::entries_failed;
            continue;
        }
        WriteStatus written;
        try {
            const IndexedImage image{static_cast<std::uint16_t>(entry.frame.Width),
                                     static_cast<std::uint16_t>(entry.frame.Height),
                                     frame_indices(entry.frame, scratch)};
            written = write_image_file(output, format, image);
        } catch (const std::bad_alloc&) {
            written = {WriteError::cannot_write, ENOMEM};
        }
        if (written.error != WriteError::none) {
            diagnostics << "ERROR writing " << shown << ": " << to_string(written.error) << ": "
                        << system_reason(written.system_error) << '\n';
            status = RunStatus::entries_failed;
        }
    }
    return status;
}

}  // namespace zeftil
