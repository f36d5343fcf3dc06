// The conversion run: each entry read in turn and written as an image file,
// every fault reported as it is met, and how the run ended.
#include "convert.h"

#include <cerrno>
#include <new>
#include <string>

#include "messages.h"
#include "names.h"

namespace zeftil {

int exit_status(RunStatus status) {
    switch (status) {
        case RunStatus::ok: return 0;
        case RunStatus::entries_failed: return 1;
        case RunStatus::usage_not_written: return 1;
        case RunStatus::archive_unusable: return -1;
    }
    return -1;
}

namespace {

// Writes the image of one entry that was read, and reports what fails.
bool convert_entry(GafArchive& archive, std::int32_t index, const GafEntry& entry, std::string_view path,
                   OutputFormat format, WriteScratch& scratch, const Report& report) {
    const std::string output = output_name(entry.name, format);
    if (const NameError error = check_output_name(entry.name); error != NameError::none) {
        report(name_message(output, error));
        return false;
    }
    const ImageSize size{static_cast<std::uint16_t>(entry.frame.Width), static_cast<std::uint16_t>(entry.frame.Height)};
    EntryStatus row_fault;
    const RowSource rows = [&](std::size_t y, std::span<std::uint8_t> row) {
        const EntryStatus status = read_row(archive, entry.frame, y, row);
        if (status.error == EntryError::none) return true;
        row_fault = status;
        return false;
    };
    const auto write = format == OutputFormat::bmp ? write_bmp : write_tga;
    WriteStatus written;
    try {
        written = write(output, size, rows, scratch);
        if (written.error == WriteError::cannot_rename && is_archive_file(archive, output)) {
            // The archive itself is the file in the way, and the system
            // refuses to replace a file that is open (Windows does). Once the
            // archive is no longer open, one more try.
            if (keep_rest_in_memory(archive, index))
                written = write(output, size, rows, scratch);
            else
                written = {WriteError::cannot_write, ENOMEM};
        }
    } catch (const std::bad_alloc&) {
        written = {WriteError::cannot_write, ENOMEM};
    }
    if (written.rows_failed) report(entry_message(path, index, entry, row_fault));
    if (written.error != WriteError::none) report(write_message(output, written));
    return written.ok();
}

}  // namespace

RunStatus convert_archive(GafArchive& archive, std::string_view path, OutputFormat format, const Report& report) {
    RunStatus status = RunStatus::ok;
    GafEntry entry;
    WriteScratch scratch;
    for (std::int32_t i = 0; i < archive.nEntries; ++i) {
        bool converted = false;
        try {
            const EntryStatus read = read_entry(archive, i, entry);
            if (read.error != EntryError::none)
                report(entry_message(path, i, entry, read));
            else if (entry.nFrames < 1)
                converted = true;  // an entry of no frames has no picture to write
            else
                converted = convert_entry(archive, i, entry, path, format, scratch, report);
        } catch (const std::bad_alloc&) {
            report(entry_message(path, i, entry, {EntryError::cannot_read, ENOMEM}));
        }
        if (!converted) status = RunStatus::entries_failed;
    }
    return status;
}

}  // namespace zeftil
