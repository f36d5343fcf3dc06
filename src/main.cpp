// zeftil: writes the first frame of every entry of a GAF sprite archive as a
// 24-bit TGA file, or a BMP file with -b, in the current directory.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <new>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "convert.h"
#include "messages.h"
#include "native.h"

namespace {

// An interrupted run removes the file it was writing, then ends as the
// signal would have ended it.
void on_interrupt(int signal) {
    zeftil::remove_pending_temporary();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void handle_signals() {
    for (const int signal : {SIGINT, SIGTERM}) std::signal(signal, on_interrupt);
#ifdef SIGHUP
    std::signal(SIGHUP, on_interrupt);
#endif
#ifdef SIGXFSZ
    // A file-size limit then shows as a failed write, handled like any other.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

// `args` are the arguments after the program's own name; `converting` is set
// once the archive could be opened and its entries are being written.
int run(const std::vector<std::string_view>& args, bool& converting) {
    using namespace zeftil;
    const CommandLine line = parse_command_line(args);
    if (line.show_usage) {
        errno = 0;
        for (const std::string_view text : usage_text()) std::fwrite(text.data(), 1, text.size(), stdout);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            write_error_text(usage_failure_message(errno));
            return exit_status(RunStatus::usage_not_written);
        }
        return exit_status(RunStatus::ok);
    }

    handle_signals();
    GafArchive archive;
    const LoadStatus loaded = load_gaf(line.path, archive);
    if (loaded.error != ArchiveError::none) {
        write_error_text(archive_message(line.path, loaded));
        return exit_status(RunStatus::archive_unusable);
    }
    converting = true;
    return exit_status(convert_archive(archive, line.path, line.format, write_error_text));
}

// Every failure the run meets is reported where it happens; this is for the
// memory to report it running out too, even while its message is made. Once
// entries are being written, some may have been: the run then failed only
// in part.
int run_reporting_failure(const std::vector<std::string_view>& args) {
    bool converting = false;
    try {
        return run(args, converting);
    } catch (const std::bad_alloc&) {
        static const char message[] = "ERROR: Cannot allocate memory\n";
        std::fwrite(message, 1, sizeof message - 1, stderr);
        return zeftil::exit_status(converting ? zeftil::RunStatus::entries_failed : zeftil::RunStatus::archive_unusable);
    }
}

}  // namespace

ZEFTIL_MAIN {
    const std::vector<std::string> args = zeftil::program_arguments(argc, argv);
    return run_reporting_failure({args.begin(), args.end()});
}
