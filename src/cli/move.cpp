// kelvane-cli move PACKAGE --to FOLDER [...]: one whole move job from the
// console, with the window's start checks, progress on stderr and the final
// message on stdout. Ctrl+C stops the job as a confirmed close does: the
// package is still rewritten and saved.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "cli/commands.h"
#include "cli/startup.h"
#include "engine/failure_text.h"
#include "engine/move_job.h"
#include "engine/start_checks.h"
#include "http/connection.h"
#include "package/data_package.h"
#include "package/load_messages.h"
#include "platform/platform.h"
#include "platform/safe_files.h"

namespace {

const char* const USAGE =
    "usage: kelvane-cli move PACKAGE --to FOLDER [--skip-image-space] [--skip-third-party]\n"
    "                        [--blank-failed] [--quiet]\n";

extern "C" void request_cancel(int) {
    cancelRequested.store(1);
}

// Progress on stderr: on a terminal one line that is rewritten in place,
// otherwise one line per finished item. Every finished item with failures is
// treated as selected, so its failure list is printed as the window's failure
// box would show it.
class ConsoleView : public MoveJobView {
  public:
    ConsoleView(const DataPackage* package, const MoveJobCounters* counters, bool quiet)
        : package_(package),
          counters_(counters),
          quiet_(quiet),
          terminal_(platform::is_terminal(stderr)) {}

    void ensure_row_visible(int) override {}
    void set_row_status(int row, const char* text) override {
        current_ = row;
        if (std::strcmp(text, "搬家中") == 0 && terminal_) status_line();
    }
    void set_row_failures(int, FailureColumn, int) override {}
    void set_progress(int finished) override {
        finished_ = finished;
        if (quiet_) return;
        if (terminal_) {
            status_line();
        } else {
            char line[512];
            std::snprintf(line, sizeof line, "[%d/%d] saved %d, failed %d: %s\n", finished, count(),
                          counters_->saved.load(), counters_->failed.load(), title(current_));
            platform::write_console(stderr, line);
        }
    }
    void set_progress_text(const char* text) override {
        label_ = text;
        if (terminal_ && !quiet_) status_line();
    }
    bool is_row_selected(int row) override {
        selected_ = row;
        return true;
    }
    void refresh_failure_box() override {
        if (selected_ < 0 || selected_ >= count()) return;
        char text[FAILURE_TEXT_SIZE];
        format_failure_text(static_cast<const ItemRecord*>(package_->items->items[selected_]),
                            text);
        if (text[0] == '\0') return;
        end_status_line();
        std::string block = std::string(text) + "\n\n";
        for (size_t at; (at = block.find("\r\n")) != std::string::npos;) block.erase(at, 1);
        platform::write_console(stderr, block.c_str());
    }
    void show_message(const char* text, const char* caption, MessageIcon icon) override {
        end_status_line();
        if (icon == MessageIcon::Error) {
            platform::write_console(stderr, (std::string(caption) + ": " + text + "\n").c_str());
        } else {
            std::fflush(stderr);
            platform::write_console(stdout, (std::string(text) + "\n").c_str());
            std::fflush(stdout);
        }
    }
    void job_finished() override { end_status_line(); }

    void end_status_line() {
        if (lineOpen_) std::fputc('\n', stderr);
        lineOpen_ = false;
    }

  private:
    int count() const { return package_->items->count; }
    const char* title(int row) const {
        if (row < 0 || row >= count()) return "";
        return static_cast<const ItemRecord*>(package_->items->items[row])->name;
    }
    void status_line() {
        if (quiet_) return;
        char line[1024];
        std::snprintf(line, sizeof line, "\r%s  saved %d, failed %d  %.60s\x1b[K", label_.c_str(),
                      counters_->saved.load(), counters_->failed.load(), title(current_));
        platform::write_console(stderr, line);
        std::fflush(stderr);
        lineOpen_ = true;
    }

    const DataPackage* package_;
    const MoveJobCounters* counters_;
    bool quiet_;
    bool terminal_;
    bool lineOpen_ = false;
    int current_ = -1;
    int finished_ = 0;
    int selected_ = -1;
    std::string label_;
};

struct Arguments {
    const char* package = nullptr;
    const char* folder = nullptr;
    bool skipImageSpace = false;
    bool skipThirdParty = false;
    bool blankFailed = false;
    bool quiet = false;
};

bool parse(int argc, char** argv, Arguments* args) {
    for (int i = 0; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--to") == 0 && i + 1 < argc) {
            args->folder = argv[++i];
        } else if (std::strcmp(a, "--skip-image-space") == 0) {
            args->skipImageSpace = true;
        } else if (std::strcmp(a, "--skip-third-party") == 0) {
            args->skipThirdParty = true;
        } else if (std::strcmp(a, "--blank-failed") == 0) {
            args->blankFailed = true;
        } else if (std::strcmp(a, "--quiet") == 0) {
            args->quiet = true;
        } else if (args->package == nullptr && (a[0] != '-' || a[1] == '\0')) {
            args->package = a;
        } else {
            std::fprintf(stderr, "kelvane-cli move: unexpected argument '%s'\n", a);
            return false;
        }
    }
    return true;
}

void print_line(const char* gbk) {
    cli_print(gbk, true);
    std::fputc('\n', stderr);
}

int load_status(int32_t result, const char* path) {
    if (result == READ_OK) return EXIT_OK;
    char message[4096];
    if (result == READ_TITLE_TOO_LONG) {
        format_title_too_long_message(message, sizeof message, path);
    } else {
        format_malformed_package_message(message, sizeof message, path);
    }
    print_line(message);
    return result == READ_TITLE_TOO_LONG ? EXIT_TITLE_TOO_LONG : EXIT_MALFORMED_PACKAGE;
}

int move_locked(DataPackage* packageRecord, const MoveOptions& options, bool quiet) {
    DataPackage& package = *packageRecord;
    package.items = ptr_vector_new(256, 64);
    const int status =
        load_status(read_data_package(package.path, package.items, &package.text), package.path);
    if (status != EXIT_OK) {
        item_list_clear(package.items);
        ptr_vector_destroy(package.items, 0);
        return status;
    }
    for (int32_t i = 0; i < package.items->count; ++i)
        static_cast<ItemRecord*>(package.items->items[i])->index = i;

    char desktop[PATH_BUFFER_SIZE] = "";
    if (!special_folder_path(CSIDL_DESKTOP_FOLDER, desktop)) desktop[0] = '\0';
    const char* refusal = check_move_start(options, desktop);
    if (refusal == nullptr) refusal = check_job_files(options, package.path, package.items->count);
    if (refusal != nullptr) {
        print_line(refusal);
        std::free(package.text);
        item_list_clear(package.items);
        ptr_vector_destroy(package.items, 0);
        return EXIT_USAGE;
    }

    connection_tables_init();
    std::signal(SIGINT, request_cancel);
    std::signal(SIGTERM, request_cancel);

    MoveJobCounters counters;
    ConsoleView view(&package, &counters, quiet);
    MoveJobOutcome outcome = MoveJobOutcome::Finished;
    std::thread job([&] { outcome = run_move_job(&package, options, &view, &counters); });
    job.join();
    view.end_status_line();

    std::free(package.text);
    item_list_clear(package.items);
    ptr_vector_destroy(package.items, 0);
    switch (outcome) {
        case MoveJobOutcome::Finished:
            return EXIT_OK;
        case MoveJobOutcome::Interrupted:
            return EXIT_INTERRUPTED;
        default:
            return EXIT_FATAL;
    }
}

}  // namespace

int run_move(int argc, char** argv) {
    Arguments args;
    if (!parse(argc, argv, &args)) {
        std::fputs(USAGE, stderr);
        return EXIT_USAGE;
    }
    if (args.package == nullptr || args.package[0] == '\0') {
        print_line(NO_PACKAGE_CHOSEN_MESSAGE);
        return EXIT_USAGE;
    }
    DataPackage package{};
    char* path = platform::argument_to_gbk(args.package);
    const char* refusal = path == nullptr || std::strlen(path) >= sizeof package.path
                              ? PACKAGE_MISSING_MESSAGE
                              : check_package_path(path);
    if (refusal != nullptr) {
        print_line(refusal);
        std::free(path);
        return EXIT_USAGE;
    }
    std::snprintf(package.path, sizeof package.path, "%s", path);
    std::free(path);

    MoveOptions options{};
    options.moveImageSpace = !args.skipImageSpace;
    options.moveThirdParty = !args.skipThirdParty;
    options.blankForFailed = args.blankFailed;
    if (args.folder != nullptr) {
        char* folder = platform::argument_to_gbk(args.folder);
        if (folder == nullptr || std::strlen(folder) >= sizeof options.targetFolder) {
            print_line("选择的文件夹不存在，请重新选择");
            std::free(folder);
            return EXIT_USAGE;
        }
        std::snprintf(options.targetFolder, sizeof options.targetFolder, "%s", folder);
        std::free(folder);
    }
    if (!cli_startup() || !cli_start_networking()) return EXIT_FATAL;

    // Taken before the package is read, so the text this job rewrites is the
    // one no other job can save over while it runs.
    platform::PackageLock* lock = nullptr;
    if (platform::lock_package(package.path, &lock) == platform::LockResult::Held) {
        print_line(PACKAGE_IN_USE_MESSAGE);
        return EXIT_USAGE;
    }
    const int status = move_locked(&package, options, args.quiet);
    platform::unlock_package(lock);
    return status;
}
