#include "engine/download_queue.h"

#include <cstdio>
#include <cstring>

#include "engine/progress_journal.h"
#include "http/download.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "platform/safe_files.h"
#include "shell/app_log.h"

namespace {

std::unique_ptr<char[]> copy_of(const char* text) {
    const size_t length = std::strlen(text);
    std::unique_ptr<char[]> copy(new char[length + 1]);
    std::memcpy(copy.get(), text, length + 1);
    return copy;
}

}  // namespace

DownloadQueue::DownloadQueue(const char* folder, int connections, int retries,
                             const DownloadOptions& options, ProgressJournal* journal)
    : folder_(folder),
      journal_(journal),
      connections_(connections < 1 ? 1 : connections),
      retries_(retries < 0 ? 0 : retries),
      options_(options) {}

DownloadQueue::~DownloadQueue() {
    stop();
    for (size_t i = 0; entries_ != nullptr && i < addresses_.size(); ++i) {
        Entry& entry = entries_[i];
        if (entry.state.load() == State::Done && entry.file != nullptr)
            platform::remove_file(entry.file.get());
    }
}

void DownloadQueue::add(const char* address) {
    if (entries_ == nullptr) addresses_.emplace_back(address);
}

void DownloadQueue::start() {
    if (entries_ != nullptr) return;
    entries_.reset(new Entry[addresses_.size()]);
    // Twice the connections: the second half runs only beside slow downloads.
    const size_t most = static_cast<size_t>(connections_) * 2;
    const size_t workers = addresses_.size() < most ? addresses_.size() : most;
    slots_.reset(new Slot[workers]);
    slotCount_ = workers;  // before any worker reads it
    for (size_t i = 0; i < workers; ++i) {
        Slot* slot = &slots_[i];
        workers_.emplace_back([this, slot] { work(*slot); });
    }
}

// Downloads that have run for STEP_ASIDE_S give up their turns. Returns when
// the next one still counted will be due (0 when none is).
double DownloadQueue::step_aside_slow() {
    const double now = platform::monotonic_seconds();
    double due = 0;
    for (size_t i = 0; i < slotCount_; ++i) {
        Slot& slot = slots_[i];
        if (!slot.counted.load()) continue;
        const double at = slot.startedAt.load() + STEP_ASIDE_S;
        if (at <= now) {
            if (slot.counted.exchange(false)) --turnsTaken_;
        } else if (due == 0 || at < due) {
            due = at;
        }
    }
    return due;
}

// Waits for one of the `connections` turns; false when the job stopped or
// no address is left to start.
bool DownloadQueue::take_turn() {
    for (;;) {
        if (abandon_.load() != 0 || next_.load() >= addresses_.size()) return false;
        int taken = turnsTaken_.load();
        if (taken < connections_) {
            if (turnsTaken_.compare_exchange_weak(taken, taken + 1)) return true;
            continue;
        }
        const double due = step_aside_slow();
        if (turnsTaken_.load() < connections_) continue;
        std::unique_lock<std::mutex> lock(mutex_);
        ++workersWantTurn_;
        if (turnsTaken_.load() >= connections_ && abandon_.load() == 0) {
            const double left = due > 0 ? due - platform::monotonic_seconds() : STEP_ASIDE_S;
            const int ms = left <= 0 ? 1 : 1 + static_cast<int>(left * 1000);
            workerWakeup_.wait_for(lock, std::chrono::milliseconds(ms));
        }
        --workersWantTurn_;
    }
}

void DownloadQueue::give_turn_back() {
    --turnsTaken_;
    if (workersWantTurn_.load() > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        workerWakeup_.notify_one();
    }
}

// A worker that got too far ahead of the job waits for it; false when the
// job stopped first.
bool DownloadQueue::wait_for_room(size_t index) {
    if (index < awaited_.load() + QUEUE_LOOKAHEAD) return true;
    std::unique_lock<std::mutex> lock(mutex_);
    ++workersWaiting_;
    workerWakeup_.wait(
        lock, [&] { return abandon_.load() != 0 || index < awaited_.load() + QUEUE_LOOKAHEAD; });
    --workersWaiting_;
    return abandon_.load() == 0;
}

void DownloadQueue::work(Slot& slot) {
    // Downloads of this thread give up within a moment once the job stops.
    platform::set_thread_abort_flag(&abandon_);
    bool turn = false;
    while (abandon_.load() == 0) {
        // A worker whose download finished in time keeps its turn for the next.
        if (!turn && !take_turn()) break;
        turn = true;
        const size_t index = next_.fetch_add(1);
        if (index >= addresses_.size() || !wait_for_room(index)) break;
        slot.startedAt.store(platform::monotonic_seconds());
        slot.counted.store(true);
        Entry& entry = entries_[index];
        entry.state.store(State::Running);
        const int running = ++inFlight_;
        for (int most = mostInFlight_.load(); running > most;) {
            if (mostInFlight_.compare_exchange_weak(most, running)) break;
        }

        fetch(addresses_[index], &entry);

        turn = slot.counted.exchange(false);  // false: it stepped aside meanwhile
        --inFlight_;
        if (abandon_.load() != 0 && entry.result != DownloadResult::Ok) {
            entry.error.reset();
            entry.state.store(State::Waiting);  // abandoned: not done, nothing kept
        } else {
            entry.state.store(State::Done);
        }
        // Only the download the job sleeps on wakes it.
        if (jobWaitsFor_.load() == index) {
            std::lock_guard<std::mutex> lock(mutex_);
            jobWakeup_.notify_one();
        }
    }
    if (turn) give_turn_back();
    platform::set_thread_abort_flag(nullptr);
}

void DownloadQueue::fetch(const std::string& address, Entry* out) {
    char target[PATH_BUFFER_SIZE];
    char temporary[PATH_BUFFER_SIZE];
    FILE* claimed = nullptr;
    if (join_path(target, sizeof target, folder_.c_str(), "image"))
        claimed = platform::create_temporary_beside(target, temporary, sizeof temporary);
    if (claimed == nullptr) {
        app_log_format("图片搬家失败：无法在 [%s] 中创建临时文件：%s", folder_.c_str(),
                       platform::last_file_error());
        out->result = DownloadResult::CreateError;
        out->error = copy_of("图片搬家失败：无法创建新文件。");
        out->details.failure = FailureKind::Create;
        return;
    }
    std::fclose(claimed);
    char error[JOB_ERROR_TEXT_SIZE];
    for (int retry = 0;; ++retry) {
        error[0] = '\0';
        out->result = download_image(address.c_str(), temporary, error, options_, &out->details);
        out->attempts = retry + 1;
        if (retry > 0) {
            app_log_format("第%d次重试%s：%s", retry,
                           out->result == DownloadResult::Ok ? "成功" : "失败", address.c_str());
        }
        // A stopped job tries nothing more, and says nothing about trying.
        if (out->result == DownloadResult::Ok || retry == retries_ || !out->details.mayPass ||
            abandon_.load() != 0)
            break;
        const double seconds =
            retry == 0 ? options_.policy.firstRetryPauseS : options_.policy.laterRetryPauseS;
        app_log_format("搬家失败，%g秒后重试：%s，返回的错误信息：\r\n%s", seconds, address.c_str(),
                       error);
        if (!pause(seconds)) break;
    }
    if (out->result == DownloadResult::Ok) {
        if (journal_ != nullptr) journal_->note_waiting(address.c_str(), temporary);
        out->file = copy_of(temporary);
    } else {
        out->error = copy_of(error);
        platform::remove_file(temporary);
    }
}

// Waits without holding any other download; false when the job stopped first.
bool DownloadQueue::pause(double seconds) {
    const double until = platform::monotonic_seconds() + seconds;
    while (abandon_.load() == 0) {
        const double left = until - platform::monotonic_seconds();
        if (left <= 0) return true;
        std::this_thread::sleep_for(
            std::chrono::milliseconds(left > 0.05 ? 50 : 1 + static_cast<int>(left * 1000)));
    }
    return false;
}

void DownloadQueue::hand_over(Entry& entry, FetchedImage* out) {
    out->result = entry.result;
    out->details = entry.details;
    out->attempts = entry.attempts;
    std::snprintf(out->file, sizeof out->file, "%s", entry.file != nullptr ? entry.file.get() : "");
    std::snprintf(out->error, sizeof out->error, "%s",
                  entry.error != nullptr ? entry.error.get() : "");
    entry.file.reset();
    entry.error.reset();
    entry.state.store(State::Taken);
}

bool DownloadQueue::take(size_t index, FetchedImage* out, const std::atomic<int>& cancel) {
    if (entries_ == nullptr || index >= addresses_.size()) return false;
    Entry& entry = entries_[index];
    if (entry.state.load() != State::Done) {
        std::unique_lock<std::mutex> lock(mutex_);
        jobWaitsFor_.store(index);
        // Sliced, so that a stop request is noticed within a moment.
        while (entry.state.load() != State::Done) {
            if (cancel.load() != 0 || abandon_.load() != 0) {
                jobWaitsFor_.store(NOBODY);
                return false;
            }
            jobWakeup_.wait_for(lock, std::chrono::milliseconds(50));
        }
        jobWaitsFor_.store(NOBODY);
    }
    hand_over(entry, out);
    awaited_.store(index + 1);
    if (workersWaiting_.load() > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        workerWakeup_.notify_all();
    }
    return true;
}

void DownloadQueue::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        abandon_.store(1);
        workerWakeup_.notify_all();
        jobWakeup_.notify_all();
    }
    for (std::thread& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
}

bool DownloadQueue::take_finished(size_t index, FetchedImage* out) {
    if (entries_ == nullptr || index >= addresses_.size()) return false;
    Entry& entry = entries_[index];
    if (entry.state.load() != State::Done || entry.result != DownloadResult::Ok) {
        return false;
    }
    hand_over(entry, out);
    return true;
}
