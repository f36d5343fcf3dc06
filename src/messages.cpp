#include "messages.h"

#include <system_error>

namespace zeftil {

namespace {

std::string system_reason(int error) {
    return error != 0 ? std::generic_category().message(error) : std::string("unknown system error");
}

constexpr std::string_view kReading = "ERROR reading ";
constexpr std::string_view kWriting = "ERROR writing ";

}  // namespace

std::string_view to_string(ArchiveError error) {
    switch (error) {
        case ArchiveError::none: return "no error";
        case ArchiveError::cannot_open: return {};  // said with no reason
        case ArchiveError::cannot_read: return {};  // the system's reason is said instead
        case ArchiveError::shorter_than_header: return "file is shorter than the 12-byte archive header";
        case ArchiveError::negative_entry_count: return "entry count is negative";
        case ArchiveError::offset_table_outside_file: return "entry offset table runs past the end of the file";
    }
    return "unknown error";
}

std::string_view to_string(EntryError error) {
    switch (error) {
        case EntryError::none: return "no error";
        case EntryError::negative_entry_offset: return "entry header offset is negative";
        case EntryError::entry_header_outside_file: return "40-byte entry header lies outside the file";
        case EntryError::frame_slot_outside_file: return "48-byte entry header lies outside the file";
        case EntryError::negative_frame_offset: return "frame header offset is negative";
        case EntryError::frame_header_outside_file: return "20-byte frame header lies outside the file";
        case EntryError::negative_size: return "frame width or height is negative";
        case EntryError::negative_pixel_offset: return "pixel data offset is negative";
        case EntryError::pixels_outside_file: return "pixel data lies outside the file";
        case EntryError::too_many_sub_frames: return "more than 64 sub-frames";
        case EntryError::sub_frame_table_outside_file: return "sub-frame table lies outside the file";
        case EntryError::sub_frame_header_outside_file: return "20-byte header lies outside the file";
        case EntryError::nested_sub_frames: return "is itself made of sub-frames";
        case EntryError::changed_while_read: return "changed while it was read";
        case EntryError::cannot_read: return {};  // the system's reason is said instead
    }
    return "unknown error";
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

std::string archive_message(std::string_view path, const LoadStatus& status) {
    std::string message = std::string(kReading).append(path);
    if (status.error == ArchiveError::cannot_read)
        message += ": " + system_reason(status.system_error);
    else if (status.error != ArchiveError::cannot_open)
        message += ": " + std::string(to_string(status.error));
    return message + "\n\n";
}

std::string entry_message(std::string_view path, std::int32_t index, const GafEntry& entry, const EntryStatus& status) {
    std::string message = std::string(kReading).append(path).append(": entry ").append(std::to_string(index));
    // The name is known once the entry header could be read.
    if (entry.headerRead) message += " \"" + printable(entry.name) + '"';
    message += ": ";
    // A sub-frame's fault names its table slot.
    if (status.sub_frame >= 0)
        message += "sub-frame " + std::to_string(status.sub_frame) + (status.error == EntryError::nested_sub_frames ? " " : ": ");
    message += status.error == EntryError::cannot_read ? system_reason(status.system_error) : std::string(to_string(status.error));
    return message + '\n';
}

std::string name_message(std::string_view output, NameError error) {
    return std::string(kWriting) + printable(output) + ": " + std::string(to_string(error)) + '\n';
}

std::string write_message(std::string_view output, const WriteStatus& status) {
    return std::string(kWriting) + printable(output) + ": " + std::string(to_string(status.error)) + ": " +
           system_reason(status.system_error) + '\n';
}

std::string usage_failure_message(int system_error) {
    return std::string(kWriting) + "standard output: " + system_reason(system_error) + '\n';
}

}  // namespace zeftil
