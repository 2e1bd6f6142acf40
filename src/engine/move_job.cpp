#include "engine/move_job.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/memory.h"
#include "engine/blank_image.h"
#include "engine/download_queue.h"
#include "engine/placement.h"
#include "engine/progress_journal.h"
#include "engine/rewrite.h"
#include "engine/start_checks.h"
#include "http/connection.h"
#include "http/download.h"
#include "package/data_package_io.h"
#include "package/image_hosts.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "platform/safe_files.h"
#include "shell/app_log.h"
#include "shell/str_hash_table.h"

std::atomic<int> running{0};
std::atomic<int> cancelRequested{0};

namespace {

// movedImages starts with 32 buckets per item, so it rarely grows; this cap
// keeps a huge package from asking for a gigantic table up front.
constexpr int32_t MAX_INITIAL_BUCKETS = 1 << 20;

const char* const FOLDER_FAILED_FORMAT = "创建子文件夹 [%s] 失败";
const char* const CREATE_FAILED_FORMAT =
    "图片搬家中断：无法创建新文件。\n\n图片地址:%s\n\n保存到:%s\n\n"
    "可以对刚才的数据包(csv)文件再搬家一次，如果还是出现类似问题请联系我们的客服。";
const char* const BLANK_FAILED_FORMAT = "无法在图片文件夹中创建空白图片 [%s]";

// A pass over one column of an item.
using Pass = ImageColumn;

// Sets `running` for as long as a job lives, and clears it however the job
// ends: early through end(), or at the latest when the job is gone.
class RunningFlag {
  public:
    RunningFlag() { running.store(1); }
    ~RunningFlag() { end(); }
    RunningFlag(const RunningFlag&) = delete;
    RunningFlag& operator=(const RunningFlag&) = delete;

    void end() { running.store(0); }
};

// How handling one address ended: go on, stop (a fatal error), end without
// saving anything (nothing was saved yet), or a stop request came first.
enum class Handled { Done, Stop, Abort, Cancelled };

class MoveJob {
  public:
    MoveJob(DataPackage* package, const MoveOptions& options, MoveJobView* view,
            MoveJobCounters* counters)
        : package_(package), options_(options), view_(view), counters_(counters) {}

    MoveJobOutcome run();

  private:
    // What each of the job's downloads is given: the https fallback and the timing.
    DownloadOptions download_options() const {
        DownloadOptions options;
        options.httpFallback = options_.httpFallback;
        options.policy = options_.network;
        return options;
    }
    bool selected(const char* address) const;
    void note_skipped(const char* address);
    void count_skipped();
    void take_kept_images();
    void file_kept_image(const char* address, Pass pass, const char* temporary);
    std::function<platform::PlaceResult(const char*)> filer(const char* address,
                                                            const char* temporary);
    void plan_downloads();
    Handled handle_address(ItemRecord* item, const char* address, Pass pass);
    // One image on its way from the download to the records: its result,
    // its file (or the path tried) and why it failed.
    struct Placed {
        DownloadResult result = DownloadResult::Failed;
        char path[PATH_BUFFER_SIZE] = "";
        bool madeFile = true;  // `path` names a file this job made (or claimed)
        char error[JOB_ERROR_TEXT_SIZE] = "";
        DownloadDetails details;
        int attempts = 0;
    };
    Handled place_image(ItemRecord* item, const char* address, Pass pass,
                        const FetchedImage& fetched);
    Placed file_fetched_image(const char* address, Pass pass, const FetchedImage& fetched);
    static void fail_for_no_room(Placed* placed);
    bool download_under_fresh_name(const char* address, Placed* placed);
    Handled record_placement(ItemRecord* item, const char* address, Pass pass,
                             const Placed& placed);
    void file_finished_image(const char* address, Pass pass, const char* temporary,
                             bool overPlainHttp);
    void record_saved(const char* address, const char* path, bool overPlainHttp);
    void keep_finished_downloads();
    void record_failure(ItemRecord* item, const char* address, Pass pass);
    bool run_pass(ItemRecord* item, PtrVector* addresses, Pass pass, Handled* stop);
    void finish_item(int index, ItemRecord* item);
    MoveJobOutcome finish_job(Handled stop);
    void save_package();
    void show_final_message(bool changed);
    void show_progress(bool updating = false, int updatePercent = -1);
    void stop_with_message(const char* text);

    RunningFlag running_;  // first made, last gone
    DataPackage* package_;
    MoveOptions options_;
    MoveJobView* view_;
    MoveJobCounters* counters_;
    StrHashTable* movedImages_ = nullptr;
    StrHashTable* skipped_ = nullptr;  // addresses the options left out, for the report
    PlacementState placement_{};
    int itemCount_ = 0;
    int done_ = 0;
    int32_t savedOrdinal_ = 1;
    int failedCount_ = 0;
    bool stoppedByError_ = false;
    char blankImage_[PATH_BUFFER_SIZE] = "";
    bool packageSaved_ = false;
    ProgressJournal journal_;  // before the queue, which notes in it
    bool journaled_ = false;
    // The new addresses in the order the job meets them, with the pass that
    // meets each first; the queue downloads them ahead of the job.
    std::vector<std::pair<const char*, Pass>> planned_;
    std::unique_ptr<DownloadQueue> queue_;
    size_t nextDownload_ = 0;  // the planned address the job handles next
};

void MoveJob::show_progress(bool updating, int updatePercent) {
    view_->set_progress_text(JobProgress{itemCount_, done_, updating, updatePercent});
}

void MoveJob::stop_with_message(const char* text) {
    view_->show_message(text, "错误", MessageIcon::Error);
    stoppedByError_ = true;
    cancelRequested.store(1);
}

bool MoveJob::selected(const char* address) const {
    const bool imageSpace = is_image_space_address(address);
    return imageSpace ? options_.moveImageSpace : options_.moveThirdParty;
}

void MoveJob::note_skipped(const char* address) {
    if (skipped_ == nullptr || strhash_get(skipped_, address) != nullptr) return;
    static char present[] = "";
    strhash_put(skipped_, xstrdup(address), present);
}

// An address left out in one place may have been moved from another (a
// mobile-detail entry of a description address): only those still remote count.
void MoveJob::count_skipped() {
    if (skipped_ == nullptr) return;
    int32_t remote = 0;
    StrHashKeyList* keys = strhash_keys(skipped_);
    for (StrHashKeyList* key = keys; key != nullptr; key = key->next)
        remote += strhash_get(movedImages_, key->key) == nullptr;
    strhash_free_keys(keys);
    counters_->skipped.store(remote);
    strhash_destroy(skipped_, 0);
    skipped_ = nullptr;
}

void MoveJob::record_failure(ItemRecord* item, const char* address, Pass pass) {
    PtrVector*& list = pass == Pass::Description ? item->desc_failed : item->mobile_failed;
    if (list == nullptr) list = ptr_vector_new_default();
    if (!ptr_vector_contains(list, address, strings_equal)) ptr_vector_push(list, xstrdup(address));
}

std::function<platform::PlaceResult(const char*)> MoveJob::filer(const char* address,
                                                                 const char* temporary) {
    if (!journaled_) return nullptr;
    return [this, address, temporary](const char* target) {
        return journal_.file(address, temporary, target);
    };
}

// A downloaded image a killed job left waiting: filed now, where and as
// this job would have filed it.
void MoveJob::file_kept_image(const char* address, Pass pass, const char* temporary) {
    file_finished_image(address, pass, temporary, false);
}

// Files an image that arrived whole while no item waits for it (a stopped
// job's, a killed job's) and records it as saved; one that cannot be filed
// is dropped, to be fetched again like any other.
void MoveJob::file_finished_image(const char* address, Pass pass, const char* temporary,
                                  bool overPlainHttp) {
    char unused[PATH_BUFFER_SIZE];
    char path[PATH_BUFFER_SIZE];
    if (!choose_image_folder(&placement_, savedOrdinal_, unused) ||
        file_image(&placement_, pass, image_extension(address), temporary, path,
                   filer(address, temporary)) != Filing::Filed) {
        platform::remove_file(temporary);
        return;
    }
    record_saved(address, path, overPlainHttp);
}

void MoveJob::record_saved(const char* address, const char* path, bool overPlainHttp) {
    ++savedOrdinal_;
    if (counters_ != nullptr) {
        counters_->saved.fetch_add(1);
        if (overPlainHttp) counters_->overPlainHttp.emplace_back(address);
    }
    strhash_put(movedImages_, xstrdup(address), xstrdup(path));
}

// What the journal of a killed job on this package kept counts as done by
// this one: its images are not fetched again.
void MoveJob::take_kept_images() {
    std::unordered_map<std::string_view, const char*> waiting;  // address: its temporary file
    for (const KeptImage& kept : journal_.kept()) {
        if (kept.path.empty()) {
            waiting.emplace(kept.address, kept.waiting.c_str());
        } else if (strhash_get(movedImages_, kept.address.c_str()) == nullptr) {
            strhash_put(movedImages_, xstrdup(kept.address.c_str()), xstrdup(kept.path.c_str()));
            if (counters_ != nullptr) counters_->saved.fetch_add(1);
        }
    }
    // In the order this job meets them, with the pass that meets each first.
    auto take = [&](PtrVector* addresses, Pass pass) {
        for (int32_t i = 0; addresses != nullptr && i < addresses->count && !waiting.empty(); ++i) {
            const auto* address = static_cast<const char*>(addresses->items[i]);
            if (pass == Pass::Description && !selected(address)) continue;
            const auto found = waiting.find(address);
            if (found == waiting.end()) continue;
            if (strhash_get(movedImages_, address) == nullptr) {
                file_kept_image(address, pass, found->second);
            } else {
                platform::remove_file(found->second);
            }
            waiting.erase(found);
        }
    };
    for (int i = 0; i < itemCount_ && !waiting.empty(); ++i) {
        const auto* item = static_cast<const ItemRecord*>(package_->items->items[i]);
        take(item->desc_images, Pass::Description);
        if (options_.moveImageSpace) take(item->mobile_images, Pass::Mobile);
    }
    // Addresses this job does not move (other options, a changed package).
    for (const auto& [address, temporary] : waiting) platform::remove_file(temporary);
}

void MoveJob::plan_downloads() {
    std::unordered_set<std::string_view> seen;
    auto plan = [&](PtrVector* addresses, Pass pass) {
        for (int32_t i = 0; addresses != nullptr && i < addresses->count; ++i) {
            const auto* address = static_cast<const char*>(addresses->items[i]);
            if ((pass == Pass::Mobile || selected(address)) && seen.insert(address).second &&
                strhash_get(movedImages_, address) == nullptr) {
                planned_.emplace_back(address, pass);
                queue_->add(address);
            }
        }
    };
    for (int i = 0; i < itemCount_; ++i) {
        const auto* item = static_cast<const ItemRecord*>(package_->items->items[i]);
        plan(item->desc_images, Pass::Description);
        if (options_.moveImageSpace && item->mobile_images != nullptr)
            plan(item->mobile_images, Pass::Mobile);
    }
}

Handled MoveJob::handle_address(ItemRecord* item, const char* address, Pass pass) {
    if (const auto* known = static_cast<const char*>(strhash_get(movedImages_, address))) {
        if (known[0] == '\0')
            record_failure(item, address, pass);  // failed earlier: never tried twice
        return Handled::Done;
    }
    // A new address is the next planned one: its download has run ahead.
    FetchedImage fetched;
    if (!queue_->take(nextDownload_, &fetched, cancelRequested)) return Handled::Cancelled;
    ++nextDownload_;
    return place_image(item, address, pass, fetched);
}

// Gives a downloaded image its folder and name exactly as a job that
// downloads one image at a time would, and records the outcome.
Handled MoveJob::place_image(ItemRecord* item, const char* address, Pass pass,
                             const FetchedImage& fetched) {
    char failedFolder[PATH_BUFFER_SIZE];
    if (!choose_image_folder(&placement_, savedOrdinal_, failedFolder)) {
        if (fetched.result == DownloadResult::Ok) platform::remove_file(fetched.file);
        char message[PATH_BUFFER_SIZE + 64];
        std::snprintf(message, sizeof message, FOLDER_FAILED_FORMAT, failedFolder);
        view_->show_message(message, "错误", MessageIcon::Error);
        if (savedOrdinal_ == 1) return Handled::Abort;  // nothing saved yet: nothing to write back
        stoppedByError_ = true;
        cancelRequested.store(1);
        return Handled::Stop;
    }
    Placed placed = file_fetched_image(address, pass, fetched);
    // A description image whose file could not be made gets one more try
    // under a fresh name, downloaded by the job itself.
    if (placed.result == DownloadResult::CreateError && pass == Pass::Description &&
        !download_under_fresh_name(address, &placed)) {
        return Handled::Cancelled;
    }
    return record_placement(item, address, pass, placed);
}

// Gives a downloaded image its name in the current folder; for a download
// that failed, claims the name the image would have had, as the job always
// has, so that the names that follow do not depend on failures.
MoveJob::Placed MoveJob::file_fetched_image(const char* address, Pass pass,
                                            const FetchedImage& fetched) {
    Placed placed;
    placed.result = fetched.result;
    std::snprintf(placed.error, sizeof placed.error, "%s", fetched.error);
    placed.details = fetched.details;
    placed.attempts = fetched.attempts;
    const char* extension = image_extension(address);
    const Filing filing =
        fetched.result != DownloadResult::Ok
            ? (choose_image_path(&placement_, pass, extension, placed.path) ? Filing::Filed
                                                                            : Filing::NoRoom)
            : file_image(&placement_, pass, extension, fetched.file, placed.path,
                         filer(address, fetched.file));
    if (filing == Filing::NoRoom) {
        if (fetched.result == DownloadResult::Ok) platform::remove_file(fetched.file);
        fail_for_no_room(&placed);
    } else if (filing == Filing::Failed) {
        // The image cannot take its name: as if the file could not be created.
        platform::remove_file(fetched.file);
        std::snprintf(placed.error, sizeof placed.error, "%s", "图片搬家失败：无法创建新文件。");
        placed.result = DownloadResult::CreateError;
        placed.madeFile = false;  // the path names what was tried, not a file of ours
    }
    return placed;
}

// The folder leaves no room for a name: this image fails, the job goes on.
void MoveJob::fail_for_no_room(Placed* placed) {
    std::snprintf(placed->error, sizeof placed->error, "%s", PATH_TOO_LONG_TEXT);
    placed->path[0] = '\0';
    placed->madeFile = false;
    placed->result = DownloadResult::Failed;
    placed->details = DownloadDetails{FailureKind::Create, 0, false};
}

// The second try of an image whose file could not be made: a fresh name,
// downloaded on the job's thread. False when the job was stopped meanwhile;
// the address then stays remote for the next job.
bool MoveJob::download_under_fresh_name(const char* address, Placed* placed) {
    if (placed->madeFile && file_exists(placed->path)) platform::remove_file(placed->path);
    placed->madeFile = true;
    if (!choose_image_path(&placement_, Pass::Description, image_extension(address),
                           placed->path)) {
        fail_for_no_room(placed);
        return true;
    }
    // The job's own download stops with the job, like the queue's.
    placed->error[0] = '\0';
    platform::set_thread_abort_flag(&cancelRequested);
    placed->result =
        download_image(address, placed->path, placed->error, download_options(), &placed->details);
    ++placed->attempts;
    platform::set_thread_abort_flag(nullptr);
    if (placed->result != DownloadResult::Ok && cancelRequested.load() != 0) {
        if (file_exists(placed->path)) platform::remove_file(placed->path);
        return false;
    }
    return true;
}

// What became of one image: saved, failed (recorded, the job goes on), or a
// file that cannot be made or written (the job stops).
Handled MoveJob::record_placement(ItemRecord* item, const char* address, Pass pass,
                                  const Placed& placed) {
    switch (placed.result) {
        case DownloadResult::Ok:
            record_saved(address, placed.path, placed.details.overPlainHttp);
            return Handled::Done;
        case DownloadResult::CreateError:
            // Taken on this thread right after the refusal it explains.
            if (counters_ != nullptr) {
                std::snprintf(counters_->createError, sizeof counters_->createError, "%s",
                              platform::last_file_error());
            }
            if (placed.madeFile && file_exists(placed.path)) platform::remove_file(placed.path);
            if (pass == Pass::Mobile) {
                stop_with_message(placed.error);
            } else {
                char message[JOB_ERROR_TEXT_SIZE + 2 * PATH_BUFFER_SIZE];
                std::snprintf(message, sizeof message, CREATE_FAILED_FORMAT, address, placed.path);
                stop_with_message(message);
            }
            return Handled::Stop;
        case DownloadResult::WriteError:
            if (file_exists(placed.path)) platform::remove_file(placed.path);
            stop_with_message(placed.error);
            return Handled::Stop;
        default:
            if (placed.path[0] != '\0' && file_exists(placed.path))
                platform::remove_file(placed.path);
            // No value: the address failed in this job and is never tried again in it.
            strhash_put(movedImages_, xstrdup(address), xstrdup(""));
            record_failure(item, address, pass);
            ++failedCount_;
            if (counters_ != nullptr) {
                counters_->failures[address] =
                    ImageFailure{placed.details.failure, placed.details.httpStatus, placed.attempts,
                                 placed.error};
                counters_->failed.fetch_add(1);
            }
            app_log_format("搬家失败：%s，返回的错误信息：\r\n%s", address, placed.error);
            return Handled::Done;
    }
}

// A stopped job keeps every image that had arrived whole, in the order of
// the plan, so that the next job does not fetch it again; the downloads
// still running are abandoned and their addresses stay remote.
void MoveJob::keep_finished_downloads() {
    queue_->stop();
    for (size_t i = nextDownload_; i < planned_.size(); ++i) {
        FetchedImage fetched;
        if (!queue_->take_finished(i, &fetched)) continue;
        const auto [address, pass] = planned_[i];
        file_finished_image(address, pass, fetched.file, fetched.details.overPlainHttp);
    }
}

// False when the job must stop; `stop` then says how.
bool MoveJob::run_pass(ItemRecord* item, PtrVector* addresses, Pass pass, Handled* stop) {
    for (int32_t i = 0; addresses != nullptr && i < addresses->count; ++i) {
        const auto* address = static_cast<const char*>(addresses->items[i]);
        if (pass == Pass::Mobile || selected(address)) {
            const Handled handled = handle_address(item, address, pass);
            if (handled != Handled::Done) {
                *stop = handled;
                return false;
            }
        } else {
            note_skipped(address);
        }
        if (cancelRequested.load()) return false;
    }
    return true;
}

void MoveJob::finish_item(int index, ItemRecord* item) {
    view_->set_row_status(index, ItemState::Moved);
    if (item->desc_failed != nullptr)
        view_->set_row_failures(index, FailureColumn::Pc, item->desc_failed->count);
    if (item->mobile_failed != nullptr) {
        view_->set_row_failures(index, FailureColumn::Mobile, item->mobile_failed->count);
    }
    done_ = index + 1;
    view_->set_progress(done_);
    show_progress();
    // Publishes the failure lists: the window reads them only after it sees this.
    std::atomic_ref<int32_t>(item->status).store(ITEM_MOVED, std::memory_order_release);
    if ((item->desc_failed != nullptr || item->mobile_failed != nullptr) &&
        view_->is_row_selected(index)) {
        view_->refresh_failure_box();
    }
}

// Only a job that changes the package keeps a copy of it, taken just before
// the save. Both are made only from and over the file this job read: when
// another program has written the package since, its work stays and this
// job's text is not saved.
void MoveJob::save_package() {
    char* backupPath = counters_ != nullptr ? counters_->backupPath : nullptr;
    if (backup_data_package(package_->path, backupPath, &package_->readFrom) &&
        write_data_package(package_->path, package_->text, &package_->readFrom)) {
        packageSaved_ = true;
        if (counters_ != nullptr) counters_->packageWritten = true;
        return;
    }
    char message[PATH_BUFFER_SIZE + 1024];
    std::snprintf(message, sizeof message, PACKAGE_CHANGED_FORMAT, file_name_part(package_->path));
    app_log(message);
    stop_with_message(message);
}

void MoveJob::show_final_message(bool changed) {
    const char* name = file_name_part(package_->path);
    char text[2048];
    const FinalMessage which = changed && failedCount_ > 0 && !options_.blankForFailed
                                   ? FinalMessage::UpdatedWithFailures
                               : changed          ? FinalMessage::Updated
                               : failedCount_ > 0 ? FinalMessage::AllFailed
                                                  : FinalMessage::NothingToMove;
    if (counters_ != nullptr) counters_->finalMessage = which;
    if (which == FinalMessage::UpdatedWithFailures) {
        std::snprintf(
            text, sizeof text,
            "图片搬家已完成，数据包(%s)已更新。\n\n注意：有部分图片搬家失败！\n\n\n"
            "解决办法：在宝贝列表中选中搬家失败的宝贝，复制搬家失败的图片地址到浏览器中检查能否正常"
            "显示。\n\n"
            "1.如果在浏览器中都不能显示，请再次对csv文件进行搬家，注意：开始搬家前在 "
            "[将搬家失败的图片替换成空白图片] 前面打上钩。\n\n"
            "2."
            "如果搬家失败的图片地址在浏览器中打开能正常显示图片，请再次对csv文件进行1到2次的搬家，"
            "如果依然提示搬家失败，请联系我们的客服。",
            name);
        view_->show_message(text, "提示", MessageIcon::Warning);
    } else if (which == FinalMessage::Updated) {
        std::snprintf(text, sizeof text, "图片搬家已完成，数据包(%s)已更新。", name);
        view_->show_message(text, "完成", MessageIcon::Information);
    } else if (which == FinalMessage::AllFailed) {
        view_->show_message("图片搬家失败，没有找到搬家成功的图片。", "提示", MessageIcon::Warning);
    } else {
        view_->show_message("没有找到需要搬家的图片。", "完成", MessageIcon::Information);
    }
}

MoveJobOutcome MoveJob::finish_job(Handled stop) {
    if (stop == Handled::Abort) {
        count_skipped();
        queue_.reset();
        // Nothing new was filed; what a killed job left stays for the next.
        journal_.close(journal_.kept().empty());
        strhash_destroy(movedImages_, 1);
        movedImages_ = nullptr;
        reset_connect_failures();
        return MoveJobOutcome::Aborted;
    }
    if (queue_ != nullptr) {
        if (cancelRequested.load() != 0) keep_finished_downloads();
        queue_.reset();
    }
    // The images and the lines that name them reach the disk before the
    // package that points at them.
    journal_.drain();
    count_skipped();  // once every image that arrived has its place
    const bool changed = rewrite_references(movedImages_, &package_->text,
                                            options_.blankForFailed ? blankImage_ : nullptr,
                                            [this](int percent) { show_progress(true, percent); });
    if (changed) {
        // The images reach the disk before the package that points at them.
        if (savedOrdinal_ > 1) platform::flush_written_files(options_.targetFolder);
        save_package();
    }
    std::free(package_->text);
    package_->text = nullptr;
    // The journal goes once the package holds what it says; a package that
    // could not be saved keeps it for the next run.
    journal_.close(!changed || packageSaved_);

    MoveJobOutcome outcome = MoveJobOutcome::Finished;
    if (cancelRequested.load()) {
        outcome = stoppedByError_ ? MoveJobOutcome::StoppedByError : MoveJobOutcome::Interrupted;
    } else {
        show_progress();
        // Over before its last message: the window may close without asking.
        running_.end();
        show_final_message(changed);
    }
    strhash_destroy(movedImages_, 1);
    movedImages_ = nullptr;
    reset_connect_failures();
    if (outcome == MoveJobOutcome::Finished) view_->job_finished();
    return outcome;
}

MoveJobOutcome MoveJob::run() {
    // The copy itself waits until the job has something to save; a backup
    // folder that cannot take one stops the job before it spends any time.
    prepare_backup_folder();
    itemCount_ = package_->items->count;

    char failedFolder[PATH_BUFFER_SIZE];
    if (!placement_begin(&placement_, options_.targetFolder, itemCount_, failedFolder)) {
        char message[PATH_BUFFER_SIZE + 64];
        std::snprintf(message, sizeof message, FOLDER_FAILED_FORMAT, failedFolder);
        view_->show_message(message, "错误", MessageIcon::Error);
        return MoveJobOutcome::Aborted;
    }
    const int64_t buckets = static_cast<int64_t>(itemCount_) * 32;
    movedImages_ = strhash_create(
        hash_string, strings_equal,
        buckets > MAX_INITIAL_BUCKETS ? MAX_INITIAL_BUCKETS : static_cast<int32_t>(buckets), 0.75f,
        KeyOwnership::Owned);
    // What a killed job on this package left is taken over before anything
    // else, and before the clean-up below removes its temporary files.
    journaled_ = journal_.open(options_.targetFolder, package_->path) && journal_.begin();
    take_kept_images();
    // The waiting downloads just filed are named on the disk before the
    // clean-up takes their temporary names: a power cut now loses nothing.
    journal_.flush();
    // Images a killed job left half downloaded under temporary names.
    prepare_temporary_folder(options_.targetFolder);
    // Written before any download, so that a job which cannot place it has
    // not yet spent the seller's time.
    if (options_.blankForFailed && !ensure_blank_image(options_.targetFolder, blankImage_)) {
        char message[PATH_BUFFER_SIZE + 64];
        std::snprintf(message, sizeof message, BLANK_FAILED_FORMAT, blankImage_);
        view_->show_message(message, "错误", MessageIcon::Error);
        journal_.close(journal_.kept().empty());
        strhash_destroy(movedImages_, 1);
        movedImages_ = nullptr;
        return MoveJobOutcome::Aborted;
    }
    if (counters_ != nullptr)
        skipped_ = strhash_create(hash_string, strings_equal, 16, 0.75f, KeyOwnership::Owned);

    // Downloads start only for a job that is going to walk its items.
    if (itemCount_ > 0 && cancelRequested.load() == 0) {
        queue_ = std::make_unique<DownloadQueue>(options_.targetFolder, options_.connections,
                                                 options_.retries, download_options(),
                                                 journaled_ ? &journal_ : nullptr);
        plan_downloads();
        queue_->start();
    }
    Handled stop = Handled::Done;
    for (int i = 0; i < itemCount_ && !cancelRequested.load(); ++i) {
        auto* item = static_cast<ItemRecord*>(package_->items->items[i]);
        view_->ensure_row_visible(i);
        view_->set_row_status(i, ItemState::Moving);
        if (!run_pass(item, item->desc_images, Pass::Description, &stop)) break;
        if (!options_.moveImageSpace && item->mobile_images != nullptr) {
            for (int32_t m = 0; m < item->mobile_images->count; ++m)
                note_skipped(static_cast<const char*>(item->mobile_images->items[m]));
        }
        if (options_.moveImageSpace && item->mobile_images != nullptr &&
            item->mobile_images->count > 0 &&
            !run_pass(item, item->mobile_images, Pass::Mobile, &stop)) {
            break;
        }
        if (cancelRequested.load()) break;
        finish_item(i, item);
    }
    return finish_job(stop);
}

}  // namespace

MoveJobOutcome run_move_job(DataPackage* package, const MoveOptions& options, MoveJobView* view,
                            MoveJobCounters* counters) {
    MoveJobOutcome outcome;
    {
        MoveJob job(package, options, view, counters);
        outcome = job.run();
    }
    // The window runs many jobs in one process: none leaves its lock files
    // behind for the next.
    platform::release_temporary_folders();
    return outcome;
}
