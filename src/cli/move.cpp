// kelvane-cli move PACKAGE --to FOLDER [...]: one whole move job from the
// console, with the window's start checks, progress on stderr and the final
// message (or a JSON report) on stdout. Ctrl+C stops the job as a confirmed
// close does: the package is still rewritten and saved.
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "cli/commands.h"
#include "cli/console_text.h"
#include "cli/options.h"
#include "cli/startup.h"
#include "engine/failure_text.h"
#include "engine/move_job.h"
#include "engine/start_checks.h"
#include "http/connection.h"
#include "package/data_package.h"
#include "package/load_messages.h"
#include "platform/platform.h"
#include "platform/safe_files.h"
#include "shell/charset.h"
#include "shell/fatal.h"

namespace {

const std::vector<OptionSpec> MOVE_OPTIONS = {
    {"--to", "文件夹", "图片保存到这个文件夹(必须已经存在，不能是桌面本身)"},
    {"--skip-image-space", nullptr, "不搬淘宝图片空间里的图片(手机详情里的图片也不搬)"},
    {"--skip-third-party", nullptr, "不搬第三方相册里的图片"},
    {"--blank-failed", nullptr, "搬家失败的图片在数据包里换成空白图片"},
    {"--connections", "N", "同时下载的图片数，1 到 32，默认 8"},
    {"--retries", "N", "超时、连接中断、服务器忙等可能暂时的失败再试几次，0 到 10，默认 2"},
    {"--json", nullptr, "结束时在标准输出打印一份 JSON 报告(代替最终提示)"},
    {"--quiet", nullptr, "不显示进度"},
};

const CommandHelp MOVE_HELP = {
    "用法：kelvane-cli move 数据包.csv --to 文件夹 [选项]\n",
    "把淘宝助理导出的数据包里的描述图片和手机详情图片下载到文件夹，并让数据包改用\n"
    "这些本地图片(写入的是完整路径)。开始前先把数据包备份到 bak 文件夹。\n"
    "进度显示在标准错误上，最终提示在标准输出上。可以随时按 Ctrl+C 停止：已搬好的\n"
    "图片会写入数据包，再次运行同一条命令即可接着搬家。\n",
    "  0    搬家任务做完了(无论最终提示是什么)\n"
    "  1    因严重错误停止(提示已打印；已搬好的图片已写入数据包)\n"
    "  2    用法错误，或开始前的检查未通过(数据包或文件夹不对、两种图片都不搬)\n"
    "  3    数据包格式有问题\n"
    "  4    有宝贝的标题过长\n"
    "  130  被 Ctrl+C 或 SIGTERM 停止(数据包已保存)\n",
};

// A whole number from `low` to `high`, when the option was given; false,
// with the reason on stderr, for anything else.
bool number_option(const ParsedOptions& args, const char* name, int low, int high, int* out) {
    const char* text = args.value(name);
    if (text == nullptr) return true;
    char* end = nullptr;
    const long number = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || number < low || number > high) {
        char message[160];
        std::snprintf(message, sizeof message, "kelvane-cli move：%s 需要 %d 到 %d 之间的整数\n",
                      name, low, high);
        cli_print(message, true);
        return false;
    }
    *out = static_cast<int>(number);
    return true;
}

// A name the file system holds in some other encoding than UTF-8.
const char* const PACKAGE_UNREPRESENTABLE_MESSAGE =
    "数据包的路径里有无法识别的字符(不是 UTF-8 文字)，无法打开这个数据包。"
    "请给数据包或它所在的文件夹改个名字后再试。";
const char* const STOPPED_FORMAT =
    "搬家已停止：已搬好的图片已写入数据包(%s)。再次运行同一条命令即可接着搬家。";
const char* const REASON_FORMAT = "系统给出的原因：%s";

// A line of the program's text, followed by the option to use where the text
// names a check box of the window.
void print_line(const char* gbk, FILE* stream = stderr) {
    cli_print(gbk, stream == stderr);
    cli_print("\n", stream == stderr);
    if (const char* hint = console_hint(gbk)) {
        cli_print(hint, stream == stderr);
        cli_print("\n", stream == stderr);
    }
}

std::string utf8(const char* text) {
    char* converted = gb18030_to_utf8(text);
    std::string out = converted;
    std::free(converted);
    return out;
}

extern "C" void request_cancel(int signal) {
#ifdef _WIN32
    std::signal(signal, request_cancel);  // the C runtime disarms a handler as it runs it
#else
    (void)signal;
#endif
    // Only ever set: a second Ctrl+C while the package is saved changes nothing.
    cancelRequested.store(1);
}

// Progress on stderr: on a terminal one line, fitted to its width, that is
// rewritten in place, by the job's calls and by a tick from the main thread
// (an image can take seconds); otherwise one line per finished item. Every
// finished item with failures is treated as selected, so its failure list is
// printed as the window's failure box would show it.
class ConsoleView : public NullJobView {
  public:
    ConsoleView(const DataPackage* package, const MoveJobCounters* counters, bool quiet, bool json)
        : package_(package),
          counters_(counters),
          json_(json),
          live_(!quiet && platform::is_terminal(stderr)),
          quiet_(quiet),
          started_(platform::monotonic_seconds()) {}

    void set_row_status(int row, ItemState state) override {
        std::lock_guard<std::mutex> lock(mutex_);
        current_ = row;
        if (state == ItemState::Moving) render();
    }
    void set_progress(int finished) override {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = finished;
        if (quiet_) return;
        if (live_) {
            render();
        } else {
            char line[512];
            std::snprintf(line, sizeof line, "[%d/%d] saved %d, failed %d: %s\n", finished, count(),
                          counters_->saved.load(), counters_->failed.load(), title(current_));
            platform::write_console(stderr, line);
        }
    }
    // The item counts the line shows already; only the package update adds.
    void set_progress_text(const JobProgress& progress) override {
        if (!progress.updating) return;
        std::lock_guard<std::mutex> lock(mutex_);
        stage_ = ProgressFacts::Stage::Updating;
        if (progress.updatePercent >= 0) percent_ = progress.updatePercent;
        render();
    }
    bool is_row_selected(int) override { return true; }
    // The job asks for this right after it finished the current item.
    void refresh_failure_box() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_ < 0 || current_ >= count()) return;
        char text[FAILURE_TEXT_SIZE];
        format_failure_text(static_cast<const ItemRecord*>(package_->items->items[current_]), text);
        if (text[0] == '\0') return;
        clear_line();
        std::string block = std::string(text) + "\n\n";
        for (size_t at; (at = block.find("\r\n")) != std::string::npos;) block.erase(at, 1);
        platform::write_console(stderr, block.c_str());
        render();
    }
    void show_message(const char* text, const char* caption, MessageIcon icon) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (icon == MessageIcon::Error) {
            end_line();
            error_ = text;
            cli_print((std::string(caption) + ": ").c_str(), true);
            print_line(text, stderr);
            if (counters_->createError[0] != '\0') {
                char reason[sizeof counters_->createError + 64];
                std::snprintf(reason, sizeof reason, REASON_FORMAT, counters_->createError);
                print_line(reason, stderr);
            }
            return;
        }
        stage_ = ProgressFacts::Stage::Finished;
        render();
        end_line();
        message_ = text;
        if (json_) return;  // the report carries it
        std::fflush(stderr);
        print_line(text, stdout);
        std::fflush(stdout);
    }
    void job_finished() override {
        std::lock_guard<std::mutex> lock(mutex_);
        end_line();
    }

    // From the main thread while the job runs.
    void tick() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!lineOpen_) return;
        if (cancelRequested.load() != 0 && stage_ == ProgressFacts::Stage::Moving)
            stage_ = ProgressFacts::Stage::Stopping;
        render();
    }
    // The job is over: the line stays as it was last drawn.
    void close_line() {
        std::lock_guard<std::mutex> lock(mutex_);
        end_line();
    }
    // A fatal error may come from inside a view call on this thread.
    void close_line_for_fatal_error() {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        end_line();
    }

    int finished() const { return finished_; }
    const std::string& message() const { return message_; }
    const std::string& error() const { return error_; }

  private:
    int count() const { return package_->items->count; }
    const char* title(int row) const {
        if (row < 0 || row >= count()) return "";
        return static_cast<const ItemRecord*>(package_->items->items[row])->name;
    }

    // The line is drawn from its start and padded over what the last one
    // left; the terminal's width is asked each time, as it may change.
    void render() {
        if (!live_) return;
        int columns = platform::terminal_width(stderr);
        if (columns <= 0) columns = 80;
        ProgressFacts facts;
        facts.stage = stage_;
        facts.items = count();
        facts.done = finished_;
        facts.saved = counters_->saved.load();
        facts.failed = counters_->failed.load();
        facts.elapsed = platform::monotonic_seconds() - started_;
        facts.updatePercent = percent_;
        facts.title = utf8(title(current_));
        const std::string line = progress_line(facts, columns);
        const int width = display_width(line);
        int pad = lineOpen_ ? lineWidth_ - width : 0;
        if (pad > columns - 1 - width) pad = columns - 1 - width;
        std::string out = "\r" + line;
        if (pad > 0) out.append(static_cast<size_t>(pad), ' ');
        platform::write_console_utf8(stderr, out.data(), out.size());
        std::fflush(stderr);
        lineOpen_ = true;
        lineWidth_ = width;
    }
    void clear_line() {
        if (!lineOpen_) return;
        std::string blank = "\r" + std::string(static_cast<size_t>(lineWidth_), ' ') + "\r";
        platform::write_console_utf8(stderr, blank.data(), blank.size());
        lineOpen_ = false;
    }
    void end_line() {
        if (!lineOpen_) return;
        platform::write_console_utf8(stderr, "\n", 1);
        std::fflush(stderr);
        lineOpen_ = false;
    }

    const DataPackage* package_;
    const MoveJobCounters* counters_;
    const bool json_;
    const bool live_;  // a terminal gets the line that updates in place
    const bool quiet_;
    const double started_;
    std::mutex mutex_;  // the job's calls and the main thread's ticks draw one line
    bool lineOpen_ = false;
    int lineWidth_ = 0;
    int current_ = -1;  // the row of the item the job started or finished last
    int finished_ = 0;
    int percent_ = -1;
    ProgressFacts::Stage stage_ = ProgressFacts::Stage::Moving;
    std::string message_;
    std::string error_;
};

struct Report {
    const DataPackage* package;
    const MoveOptions* options;
    const MoveJobCounters* counters;
    const ConsoleView* view;
    const char* outcome;
};

// What a script needs to know about the job, as one JSON object on stdout.
void print_report(const Report& report, const std::string& fatalMessage = std::string()) {
    using Json = nlohmann::ordered_json;
    const MoveJobCounters& counters = *report.counters;
    const PtrVector* items = report.package->items;
    auto text_or_null = [](const std::string& gbk) -> Json {
        return gbk.empty() ? Json(nullptr) : Json(utf8(gbk.c_str()));
    };
    auto addresses = [](const PtrVector* list) {
        Json out = Json::array();
        for (int32_t i = 0; list != nullptr && i < list->count; ++i)
            out.push_back(utf8(static_cast<const char*>(list->items[i])));
        return out;
    };
    Json root;
    root["package"] = utf8(report.package->path);
    root["folder"] = utf8(report.options->targetFolder);
    root["backup"] = text_or_null(counters.backupPath);
    root["outcome"] = report.outcome;
    root["counts"] = {
        {"items", items->count},
        {"done", report.view->finished()},
        {"saved", counters.saved.load()},
        {"failed", counters.failed.load()},
        {"skipped", counters.skipped.load()},
    };
    root["package_saved"] = counters.packageWritten;
    root["message"] = text_or_null(report.view->message());
    root["error"] = text_or_null(!fatalMessage.empty() ? fatalMessage : report.view->error());
    root["error_reason"] = text_or_null(counters.createError);
    Json failures = Json::array();
    for (int32_t i = 0; i < items->count; ++i) {
        const auto* item = static_cast<const ItemRecord*>(items->items[i]);
        if (item->desc_failed == nullptr && item->mobile_failed == nullptr) continue;
        failures.push_back({
            {"index", item->index},
            {"title", utf8(item->name)},
            {"desc_failed", addresses(item->desc_failed)},
            {"mobile_failed", addresses(item->mobile_failed)},
        });
    }
    root["failures"] = std::move(failures);
    // A title cut inside a character must not stop the report.
    const std::string json = root.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    std::fflush(stdout);
    platform::write_console_utf8(stdout, json.data(), json.size());
    std::fflush(stdout);
}

// A fatal error ends the process from inside the job: the line is closed,
// the message printed and, for --json, the report still goes out.
const Report* activeReport = nullptr;
ConsoleView* activeView = nullptr;

extern "C" void console_fatal(const char* message) {
    if (activeView != nullptr) activeView->close_line_for_fatal_error();
    print_line(message, stderr);
    std::fflush(stderr);
    if (activeReport != nullptr) print_report(*activeReport, message);
    std::exit(EXIT_FATAL);
}

const char* outcome_name(MoveJobOutcome outcome) {
    switch (outcome) {
        case MoveJobOutcome::Finished:
            return "finished";
        case MoveJobOutcome::Interrupted:
            return "interrupted";
        case MoveJobOutcome::StoppedByError:
            return "stopped";
        default:
            return "aborted";
    }
}

// Runs the job on a thread of its own; this thread keeps the progress line
// moving until it ends.
MoveJobOutcome run_job(DataPackage* package, const MoveOptions& options, ConsoleView* view,
                       MoveJobCounters* counters) {
    std::mutex mutex;
    std::condition_variable ended;
    bool over = false;
    MoveJobOutcome outcome = MoveJobOutcome::Finished;
    std::thread job([&] {
        const MoveJobOutcome result = run_move_job(package, options, view, counters);
        std::lock_guard<std::mutex> lock(mutex);
        outcome = result;
        over = true;
        ended.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!over) {
            ended.wait_for(lock, std::chrono::milliseconds(250));
            if (over) break;
            lock.unlock();
            view->tick();
            lock.lock();
        }
    }
    job.join();
    return outcome;
}

int move_locked(DataPackage* packageRecord, const MoveOptions& options, bool quiet, bool json) {
    DataPackage& package = *packageRecord;
    char message[LOAD_MESSAGE_SIZE];
    const ReadResult result = load_data_package(package.path, &package, message);
    if (result != ReadResult::Ok) {
        print_line(message);
        unload_data_package(&package);
        return load_failure_status(result);
    }

    char desktop[PATH_BUFFER_SIZE] = "";
    if (!special_folder_path(CSIDL_DESKTOP_FOLDER, desktop)) desktop[0] = '\0';
    StartRefusal refusal = check_move_start(options, desktop);
    if (refusal == StartRefusal::None)
        refusal = check_job_files(options, package.path, package.items->count);
    if (refusal != StartRefusal::None) {
        print_line(start_refusal_text(refusal));
        unload_data_package(&package);
        return EXIT_USAGE;
    }

    connection_tables_init();
    std::signal(SIGINT, request_cancel);
    std::signal(SIGTERM, request_cancel);
#ifdef SIGBREAK
    std::signal(SIGBREAK, request_cancel);  // Ctrl+Break in a Windows console
#endif

    MoveJobCounters counters;
    ConsoleView view(&package, &counters, quiet, json);
    Report report{&package, &options, &counters, &view, "fatal"};
    activeView = &view;
    if (json) activeReport = &report;
    set_fatal_handler(console_fatal);
    const MoveJobOutcome outcome = run_job(&package, options, &view, &counters);
    view.close_line();
    activeView = nullptr;
    activeReport = nullptr;

    if (outcome == MoveJobOutcome::Interrupted) {
        char line[PATH_BUFFER_SIZE + 256];
        std::snprintf(line, sizeof line, STOPPED_FORMAT, file_name_part(package.path));
        print_line(line);
    }
    if (json) {
        report.outcome = outcome_name(outcome);
        print_report(report);
    }
    unload_data_package(&package);
    switch (outcome) {
        case MoveJobOutcome::Finished:
            return EXIT_OK;
        case MoveJobOutcome::Interrupted:
            return EXIT_INTERRUPTED;
        default:
            return EXIT_FATAL;
    }
}

// The folder as the job will write it into the package: absolute, since
// Taobao Assistant resolves no relative path. False with the message shown.
bool target_folder(const char* argument, char* out) {
    out[0] = '\0';
    if (argument == nullptr || argument[0] == '\0') return true;  // the start check says so
    char* folder = platform::argument_to_text(argument);
    const platform::AbsoluteResult made =
        folder != nullptr ? platform::absolute_path(folder, out, PATH_BUFFER_SIZE)
                          : platform::AbsoluteResult::Unrepresentable;
    std::free(folder);
    if (made == platform::AbsoluteResult::Done) return true;
    print_line(made == platform::AbsoluteResult::TooLong ? PATH_TOO_LONG_TEXT
                                                         : FOLDER_UNREPRESENTABLE_MESSAGE);
    return false;
}

}  // namespace

int run_move(int argc, char** argv) {
    ParsedOptions args;
    if (!parse_options("move", argc, argv, MOVE_OPTIONS, &args)) return EXIT_USAGE;
    if (args.help) {
        print_help(MOVE_HELP, MOVE_OPTIONS);
        return EXIT_OK;
    }
    if (args.operands.size() > 1) {
        cli_print("kelvane-cli move：只能给一个数据包\n可用 kelvane-cli move --help 查看用法。\n",
                  true);
        return EXIT_USAGE;
    }
    const char* packageArgument = args.operands.empty() ? nullptr : args.operands[0];
    if (packageArgument == nullptr || packageArgument[0] == '\0') {
        print_line(NO_PACKAGE_CHOSEN_MESSAGE);
        return EXIT_USAGE;
    }
    DataPackage package{};
    char* path = platform::argument_to_text(packageArgument);
    const char* refusal = path == nullptr ? PACKAGE_UNREPRESENTABLE_MESSAGE
                          : std::strlen(path) >= sizeof package.path ? PACKAGE_MISSING_MESSAGE
                                                                     : check_package_path(path);
    if (refusal != nullptr) {
        print_line(refusal);
        std::free(path);
        return EXIT_USAGE;
    }
    std::snprintf(package.path, sizeof package.path, "%s", path);
    std::free(path);

    MoveOptions options{};
    options.moveImageSpace = !args.has("--skip-image-space");
    options.moveThirdParty = !args.has("--skip-third-party");
    options.blankForFailed = args.has("--blank-failed");
    if (!number_option(args, "--connections", 1, MAX_CONNECTIONS, &options.connections) ||
        !number_option(args, "--retries", 0, MAX_RETRIES, &options.retries)) {
        return EXIT_USAGE;
    }
    if (!target_folder(args.value("--to"), options.targetFolder)) return EXIT_USAGE;
    if (!cli_startup() || !cli_start_networking()) return EXIT_FATAL;

    // Taken before the package is read, so the text this job rewrites is the
    // one no other job can save over while it runs.
    platform::PackageLock* lock = nullptr;
    if (platform::lock_package(package.path, &lock) == platform::LockResult::Held) {
        print_line(PACKAGE_IN_USE_MESSAGE);
        return EXIT_USAGE;
    }
    const int status = move_locked(&package, options, args.has("--quiet"), args.has("--json"));
    platform::unlock_package(lock);
    return status;
}
