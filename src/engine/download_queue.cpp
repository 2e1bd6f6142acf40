#include "engine/download_queue.h"

#include <cstdio>
#include <cstring>

#include "http/download.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "platform/safe_files.h"
#include "shell/app_log.h"

namespace {

// How far the downloads may run ahead of the job: enough to keep every
// connection busy while the job names and files the images in order,
// little enough that the temporary files stay few.
size_t lookahead(int connections) {
    return static_cast<size_t>(connections) * 4;
}

void copy_text(char* out, size_t capacity, const std::string& text) {
    std::snprintf(out, capacity, "%s", text.c_str());
}

}  // namespace

namespace {
std::atomic<double> pauseScale{1.0};
}  // namespace

void DownloadQueue::set_pause_scale_for_testing(double scale) {
    pauseScale.store(scale);
}

DownloadQueue::DownloadQueue(const char* folder, int connections, int retries)
    : folder_(folder),
      connections_(connections < 1 ? 1 : connections),
      retries_(retries < 0 ? 0 : retries) {
    for (int i = 0; i < connections_; ++i) workers_.emplace_back([this] { work(); });
}

DownloadQueue::~DownloadQueue() {
    stop();
    for (std::thread& worker : workers_) worker.join();
    for (Entry& entry : entries_) {
        if (entry.state == State::Done && !entry.file.empty())
            platform::remove_file(entry.file.c_str());
    }
}

void DownloadQueue::add(const char* address) {
    std::lock_guard<std::mutex> lock(mutex_);
    addresses_.emplace_back(address);
    entries_.emplace_back();
    changed_.notify_all();
}

void DownloadQueue::work() {
    // Downloads of this thread give up within a moment once the job stops.
    platform::set_thread_abort_flag(&abandon_);
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] {
            return stopping_ ||
                   (next_ < addresses_.size() && next_ < awaited_ + lookahead(connections_));
        });
        if (stopping_) break;
        const size_t index = next_++;
        entries_[index].state = State::Running;
        const std::string address = addresses_[index];
        if (++inFlight_ > mostInFlight_.load()) mostInFlight_.store(inFlight_);
        lock.unlock();

        Entry fetched;
        fetch(address, &fetched);

        lock.lock();
        --inFlight_;
        Entry& entry = entries_[index];
        if (stopping_ && fetched.result != DownloadResult::Ok) {
            entry.state = State::Waiting;  // abandoned: not done, nothing kept
        } else {
            entry.state = State::Done;
            entry.result = fetched.result;
            entry.file = std::move(fetched.file);
            entry.error = std::move(fetched.error);
        }
        changed_.notify_all();
    }
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
        out->error = "图片搬家失败：无法创建新文件。";
        return;
    }
    std::fclose(claimed);
    for (int retry = 0;; ++retry) {
        char error[JOB_ERROR_TEXT_SIZE] = "";
        out->result = download_image(address.c_str(), temporary, error);
        out->error = error;
        if (retry > 0) {
            app_log_format("第%d次重试%s：%s", retry,
                           out->result == DownloadResult::Ok ? "成功" : "失败", address.c_str());
        }
        if (out->result == DownloadResult::Ok || retry == retries_ ||
            !last_download_failure_transient())
            break;
        const double seconds = retry == 0 ? FIRST_RETRY_PAUSE_S : LATER_RETRY_PAUSE_S;
        app_log_format("搬家失败，%g秒后重试：%s，返回的错误信息：\r\n%s", seconds, address.c_str(),
                       error);
        if (!pause(seconds)) break;
    }
    if (out->result == DownloadResult::Ok) {
        out->file = temporary;
    } else {
        platform::remove_file(temporary);
    }
}

// Waits without holding any other download; false when the job stopped first.
bool DownloadQueue::pause(double seconds) {
    const double until = platform::monotonic_seconds() + seconds * pauseScale.load();
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
    copy_text(out->file, sizeof out->file, entry.file);
    copy_text(out->error, sizeof out->error, entry.error);
    entry.state = State::Taken;
    entry.file.clear();
    entry.error.clear();
    entry.error.shrink_to_fit();
}

bool DownloadQueue::take(size_t index, FetchedImage* out, const std::atomic<int>& cancel) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (index >= entries_.size()) return false;
    if (index >= awaited_) awaited_ = index;
    changed_.notify_all();  // the window of downloads moved on
    // The wait is sliced so that a stop request is noticed within a moment.
    while (entries_[index].state != State::Done) {
        if (cancel.load() != 0 || stopping_) return false;
        changed_.wait_for(lock, std::chrono::milliseconds(50));
    }
    awaited_ = index + 1;
    hand_over(entries_[index], out);
    changed_.notify_all();
    return true;
}

void DownloadQueue::stop() {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    abandon_.store(1);
    changed_.notify_all();
    changed_.wait(lock, [this] { return inFlight_ == 0; });
}

bool DownloadQueue::take_finished(size_t index, FetchedImage* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= entries_.size() || entries_[index].state != State::Done ||
        entries_[index].result != DownloadResult::Ok) {
        return false;
    }
    hand_over(entries_[index], out);
    return true;
}
