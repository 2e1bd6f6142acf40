// kelvane-cli move PACKAGE --to FOLDER [...]: one whole move job from the
// console, with the window's start checks, progress on stderr and the final
// message (or a JSON report) on stdout. Ctrl+C stops the job as a confirmed
// close does: the package is still rewritten and saved.
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "cli/commands.h"
#include "cli/console_text.h"
#include "cli/failure_reason.h"
#include "cli/job_stop.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/startup.h"
#include "engine/failure_text.h"
#include "engine/move_job.h"
#include "engine/start_checks.h"
#include "http/connection.h"
#include "package/data_package.h"
#include "package/load_package.h"
#include "platform/platform.h"
#include "platform/safe_files.h"
#include "shell/app_log.h"
#include "shell/charset.h"
#include "shell/fatal.h"

namespace {

const std::vector<OptionSpec> MOVE_OPTIONS = {
    {"--to", "文件夹", "图片保存到这个文件夹(必须已经存在，不能是桌面本身)"},
    {"--skip-image-space", nullptr, "不搬淘宝图片空间里的图片(手机详情里的图片也不搬)"},
    {"--skip-third-party", nullptr, "不搬第三方相册里的图片"},
    {"--blank-failed", nullptr, "搬家失败的图片在数据包里换成空白图片"},
    {"--connections", "N", "同时下载的图片数，1 到 32，默认 8(下载超过 1 秒的不再占名额)"},
    {"--retries", "N", "超时、连接中断、服务器忙等可能暂时的失败再试几次，0 到 10，默认 2"},
    {"--timeout", "秒数", "连接和每次等待服务器的时限，1 到 60，默认 10"},
    {"--no-http-fallback", nullptr, "https 图片无法建立 HTTPS 连接时不改用 HTTP 下载，算作失败"},
    {"--json", nullptr, "结束时在标准输出打印一个 JSON 对象(代替最终提示)；开始前就被拒绝时也打印"},
    {"--quiet", nullptr, "只显示严重错误：不显示进度、失败列表、最终提示和总结", 'q'},
};

const CommandHelp MOVE_HELP = {
    "用法：kelvane-cli move 数据包.csv --to 文件夹 [选项]\n",
    "把淘宝助理导出的数据包里的描述图片和手机详情图片下载到文件夹，并让数据包改用\n"
    "这些本地图片(写入的是完整路径)。更新数据包之前先把它备份到 bak 文件夹。\n"
    "进度、失败列表和总结显示在标准错误上，最终提示在标准输出上；失败列表的每个地址\n"
    "后面注明原因，试了不止一次时还有次数，例如 (超时，试了 3 次)。可以随时按 Ctrl+C\n"
    "停止：已搬好的图片会写入数据包，再次运行同一条命令即可接着搬家。进程被强行结束\n"
    "或断电时，再次运行只会重新下载最后几秒的图片(进度记在图片文件夹里的隐藏文件\n"
    ".kelvane-journal-* 中，数据包保存后即删除)。输出无法写入(管道已关闭、终端已\n"
    "关闭)时不会中断搬家。\n",
    "  0    每张图片都已搬好，或没有需要搬的图片\n"
    "  1    因严重错误停止(提示已打印；已搬好的图片已写入数据包，除非数据包已被\n"
    "       其他程序改动)\n"
    "  2    用法错误，或开始前的检查未通过(数据包或文件夹不对、两种图片都不搬、\n"
    "       数据包正被另一个搬家任务使用)\n"
    "  3    数据包格式有问题\n"
    "  4    有宝贝的标题过长\n"
    "  5    搬家做完了，数据包已保存，但有图片搬家失败(再次搬家仍失败时也是 "
    "5)\n" INTERRUPTED_STATUS_LINE,
};

// A whole number from `low` to `high`, when the option was given; false,
// with the reason on stderr, for anything else.

// A name the file system holds in some other encoding than UTF-8.
const char* const PACKAGE_UNREPRESENTABLE_MESSAGE =
    "数据包的路径里有无法识别的字符(不是 UTF-8 文字)，无法打开这个数据包。"
    "请给数据包或它所在的文件夹改个名字后再试。";
const char* const STOPPED_FORMAT =
    "搬家已停止：已搬好的图片已写入数据包(%s)。再次运行同一条命令即可接着搬家。";
const char* const REASON_FORMAT = "系统给出的原因：%s";

// Progress on stderr: on a terminal one line, fitted to its width, that is
// rewritten in place, by the job's calls and by a tick from the main thread
// (an image can take seconds); otherwise one line per finished item. Every
// finished item with failures is treated as selected, so its failure list is
// printed as the window's failure box would show it. --quiet leaves only
// the messages that stop the job.
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
            std::snprintf(line, sizeof line, "[%d/%d] 已存 %d 张，失败 %d 张：%s\n", finished,
                          count(), counters_->saved.load(), counters_->failed.load(),
                          title(current_));
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
    bool is_row_selected(int) override { return !quiet_; }
    // The job asks for this right after it finished the current item. On a
    // terminal the block names its item, which elsewhere the line before it
    // does. Each address says why it failed.
    void refresh_failure_box() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_ < 0 || current_ >= count()) return;
        const std::string text = failure_text_with_notes(
            static_cast<const ItemRecord*>(package_->items->items[current_]),
            [this](const char* address) {
                const auto found = counters_->failures.find(address);
                return found != counters_->failures.end() ? failure_note(found->second)
                                                          : std::string();
            });
        if (text.empty()) return;
        clear_line();
        std::string block = text + "\n\n";
        if (live_) {
            block = "[" + std::to_string(current_ + 1) + "/" + std::to_string(count()) + "] " +
                    title(current_) + "\n" + block;
        }
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
            say(text, stderr);
            if (counters_->createError[0] != '\0') {
                char reason[sizeof counters_->createError + 64];
                std::snprintf(reason, sizeof reason, REASON_FORMAT, counters_->createError);
                say(reason, stderr);
            }
            return;
        }
        stage_ = ProgressFacts::Stage::Finished;
        render();
        end_line();
        message_ = text;
        if (json_ || quiet_) return;  // the report carries it; quiet says nothing
        std::fflush(stderr);
        say(text, stdout,
            counters_->finalMessage == FinalMessage::UpdatedWithFailures ? ConsoleHint::BlankFailed
                                                                         : ConsoleHint::None);
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
    double started;  // monotonic seconds when the command began its work
    const char* outcome;
    int status;
};

double elapsed_since(double started) {
    return std::round((platform::monotonic_seconds() - started) * 1000) / 1000;
}

// What a script needs to know about the job, as one JSON object on stdout.
// Each failure is one object, so that what is known about it can grow.
void print_report(const Report& report, const std::string& fatalMessage = std::string()) {
    const MoveJobCounters& counters = *report.counters;
    const PtrVector* items = report.package->items;
    auto text_or_null = [](const std::string& gbk) -> Json {
        return gbk.empty() ? Json(nullptr) : Json(utf8(gbk.c_str()));
    };
    Json root;
    root["package"] = utf8(report.package->path);
    root["folder"] = utf8(report.options->targetFolder);
    root["backup"] = text_or_null(counters.backupPath);
    root["outcome"] = report.outcome;
    root["status"] = report.status;
    root["elapsed"] = elapsed_since(report.started);
    root["counts"] = {
        {"items", items->count},
        {"done", report.view->finished()},
        {"saved", counters.saved.load()},
        {"failed", counters.failed.load()},
        {"skipped", counters.skipped.load()},
        {"http_fallback", counters.overPlainHttp.size()},
    };
    root["package_saved"] = counters.packageWritten;
    root["message"] = text_or_null(report.view->message());
    root["error"] = text_or_null(!fatalMessage.empty() ? fatalMessage : report.view->error());
    root["error_reason"] = text_or_null(counters.createError);
    const bool blanked = report.options->blankForFailed && counters.packageWritten;
    Json failures = Json::array();
    for (int32_t i = 0; i < items->count; ++i) {
        const auto* item = static_cast<const ItemRecord*>(items->items[i]);
        for (const auto& [list, column] :
             {std::pair{item->desc_failed, "desc"}, std::pair{item->mobile_failed, "mobile"}}) {
            for (int32_t k = 0; list != nullptr && k < list->count; ++k) {
                const auto* address = static_cast<const char*>(list->items[k]);
                const auto found = counters.failures.find(address);
                const ImageFailure failure =
                    found != counters.failures.end() ? found->second : ImageFailure{};
                failures.push_back({
                    {"url", utf8(address)},
                    {"item", item->index},
                    {"title", utf8(item->name)},
                    {"column", column},
                    {"reason", failure_reason(failure.kind, failure.httpStatus)},
                    {"status", failure.httpStatus > 0 ? Json(failure.httpStatus) : Json(nullptr)},
                    {"attempts", failure.attempts},
                    {"blanked", blanked},
                    {"text", utf8(failure.text.c_str())},
                });
            }
        }
    }
    root["failures"] = std::move(failures);
    Json overPlainHttp = Json::array();
    for (const std::string& address : counters.overPlainHttp)
        overPlainHttp.push_back(utf8(address.c_str()));
    root["http_fallback"] = std::move(overPlainHttp);
    print_json(std::move(root));
}

// For people, at the end of every job but a quiet one: what was done, how
// long it took, and where everything is.
void print_summary(const Report& report) {
    const MoveJobCounters& counters = *report.counters;
    const int failed = counters.failed.load();
    const char* blanked = failed > 0 && report.options->blankForFailed && counters.packageWritten
                              ? "(已换成空白图片)"
                              : "";
    char line[256];
    std::snprintf(line, sizeof line, "已存 %d 张图片，失败 %d 张%s，按选项跳过 %d 张，用时 %s\n",
                  counters.saved.load(), failed, blanked, counters.skipped.load(),
                  duration(elapsed_since(report.started)).c_str());
    std::string text = line;
    if (!counters.overPlainHttp.empty()) {
        std::snprintf(line, sizeof line,
                      "其中 %d 张 https 图片因 HTTPS 连接失败改用 HTTP 下载(地址见应用日志)\n",
                      static_cast<int>(counters.overPlainHttp.size()));
        text += line;
    }
    text += std::string("图片文件夹：") + report.options->targetFolder + "\n";
    if (counters.backupPath[0] != '\0')
        text += std::string("数据包备份：") + counters.backupPath + "\n";
    text += "详细原因见应用日志：" + app_log_path() + "\n";
    std::fflush(stdout);
    cli_print(text.c_str(), true);
    std::fflush(stderr);
}

// A fatal error ends the process from inside the job: the line is closed,
// the message printed and, for --json, the report still goes out.
const Report* activeReport = nullptr;
ConsoleView* activeView = nullptr;

extern "C" void console_fatal(const char* message) {
    if (activeView != nullptr) activeView->close_line_for_fatal_error();
    say(message, stderr);
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

int exit_status(MoveJobOutcome outcome, const MoveJobCounters& counters) {
    switch (outcome) {
        case MoveJobOutcome::Finished:
            return counters.failed.load() > 0 ? EXIT_IMAGES_FAILED : EXIT_OK;
        case MoveJobOutcome::Interrupted:
            return EXIT_INTERRUPTED;
        default:
            return EXIT_FATAL;
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
    const double started = platform::monotonic_seconds();
    DataPackage& package = *packageRecord;
    char message[LOAD_MESSAGE_SIZE];
    const ReadResult result = load_data_package(package.path, &package, message);
    if (result != ReadResult::Ok) {
        unload_data_package(&package);
        return refuse(load_failure_status(result), message);
    }

    char desktop[PATH_BUFFER_SIZE] = "";
    if (!platform::desktop_folder(desktop, sizeof desktop)) desktop[0] = '\0';
    StartRefusal refusal = check_move_start(options, desktop);
    if (refusal == StartRefusal::None)
        refusal = check_job_files(options, package.path, package.items->count);
    if (refusal != StartRefusal::None) {
        unload_data_package(&package);
        const ConsoleHint hint = refusal == StartRefusal::NoSourceOption
                                     ? ConsoleHint::SourceOptions
                                 : refusal == StartRefusal::NoFolder ? ConsoleHint::TargetFolder
                                                                     : ConsoleHint::None;
        return refuse(EXIT_USAGE, start_refusal_text(refusal), hint);
    }

    connection_tables_init();
    arm_job_stop();

    MoveJobCounters counters;
    ConsoleView view(&package, &counters, quiet, json);
    Report report{&package, &options, &counters, &view, started, "fatal", EXIT_FATAL};
    activeView = &view;
    if (json) activeReport = &report;
    set_fatal_handler(console_fatal);
    const MoveJobOutcome outcome = run_job(&package, options, &view, &counters);
    view.close_line();
    set_fatal_handler(cli_fatal);
    activeView = nullptr;
    activeReport = nullptr;

    if (outcome == MoveJobOutcome::Interrupted && !quiet) {
        char line[PATH_BUFFER_SIZE + 256];
        std::snprintf(line, sizeof line, STOPPED_FORMAT, file_name_part(package.path));
        say(line);
    }
    report.outcome = outcome_name(outcome);
    report.status = exit_status(outcome, counters);
    if (!quiet) print_summary(report);
    if (json) print_report(report);
    std::fflush(stdout);
    std::fflush(stderr);
    job_stop_done();
    unload_data_package(&package);
    return report.status;
}

// The folder as the job will write it into the package: absolute, since
// Taobao Assistant resolves no relative path. Null when it cannot be
// written so (the message says why).
const char* target_folder(const char* argument, char* out) {
    out[0] = '\0';
    if (argument == nullptr || argument[0] == '\0') return nullptr;  // the start check says so
    char* folder = platform::argument_to_text(argument);
    const platform::AbsoluteResult made =
        folder != nullptr ? platform::absolute_path(folder, out, PATH_BUFFER_SIZE)
                          : platform::AbsoluteResult::Unrepresentable;
    std::free(folder);
    if (made == platform::AbsoluteResult::Done) return nullptr;
    return made == platform::AbsoluteResult::TooLong ? PATH_TOO_LONG_TEXT
                                                     : FOLDER_UNREPRESENTABLE_MESSAGE;
}

int run_move(int argc, char** argv) {
    ParsedOptions args;
    if (!parse_options("move", argc, argv, MOVE_OPTIONS, &args)) return EXIT_USAGE;
    if (args.help) {
        print_help(MOVE_HELP, MOVE_OPTIONS);
        return EXIT_OK;
    }
    if (args.version) return print_version();
    if (args.operands.size() > 1) return usage_error("move", "只能给一个数据包");
    const char* packageArgument = args.operands.empty() ? "" : args.operands[0];
    if (packageArgument[0] == '\0')
        return refuse(EXIT_USAGE, NO_PACKAGE_CHOSEN_MESSAGE, ConsoleHint::PackagePath);
    DataPackage package{};
    char* path = platform::argument_to_text(packageArgument);
    const char* refusal = path == nullptr ? PACKAGE_UNREPRESENTABLE_MESSAGE
                          : std::strlen(path) >= sizeof package.path ? PACKAGE_MISSING_MESSAGE
                                                                     : check_package_path(path);
    if (refusal == nullptr) std::snprintf(package.path, sizeof package.path, "%s", path);
    std::free(path);
    if (refusal != nullptr) return refuse(EXIT_USAGE, refusal);

    MoveOptions options{};
    options.moveImageSpace = !args.has("--skip-image-space");
    options.moveThirdParty = !args.has("--skip-third-party");
    options.blankForFailed = args.has("--blank-failed");
    options.httpFallback = !args.has("--no-http-fallback");
    int timeoutSeconds = CONNECT_TIMEOUT_MS / 1000;
    if (!number_option("move", args, "--connections", 1, MAX_CONNECTIONS, &options.connections) ||
        !number_option("move", args, "--retries", 0, MAX_RETRIES, &options.retries) ||
        !number_option("move", args, "--timeout", 1, MAX_TIMEOUT_SECONDS, &timeoutSeconds)) {
        return EXIT_USAGE;
    }
    options.network.connectTimeoutMs = timeoutSeconds * 1000;
    options.network.socketTimeoutMs = timeoutSeconds * 1000;
    if (const char* problem = target_folder(args.value("--to"), options.targetFolder))
        return refuse(EXIT_USAGE, problem);
    if (!cli_startup() || !cli_start_networking()) return EXIT_FATAL;

    // Taken before the package is read, so the text this job rewrites is the
    // one no other job can save over while it runs.
    platform::PackageLock* lock = nullptr;
    const platform::LockResult locked = platform::lock_package(package.path, &lock);
    if (locked == platform::LockResult::Held) return refuse(EXIT_USAGE, PACKAGE_IN_USE_MESSAGE);
    // A file system without locks (some network shares): refusing would
    // leave the seller no way to move the package at all.
    if (locked == platform::LockResult::Failed) {
        app_log_format(PACKAGE_UNLOCKED_LOG_FORMAT, package.path, platform::last_file_error());
    }
    const int status = move_locked(&package, options, args.has("--quiet"), args.has("--json"));
    platform::unlock_package(lock);
    return status;
}

}  // namespace

const CommandSpec MOVE_COMMAND = {
    "move",
    "数据包.csv --to 文件夹",
    "搬家：下载图片并更新数据包(可随时按 Ctrl+C 停止，再次运行即可继续)",
    &MOVE_OPTIONS,
    &MOVE_HELP,
    run_move,
};
