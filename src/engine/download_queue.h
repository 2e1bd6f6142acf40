// The move job's downloads, run ahead of the job on a few worker threads.
// Each image goes into a temporary file claimed in the target folder; the job
// takes the results in the order it meets the addresses and gives every file
// its final name and folder itself, so the names, the folders and everything
// the job reports are the same whatever the number of connections and
// whichever download finishes first.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/download.h"
#include "shell/files.h"

// Room for a download's error text, NUL included.
inline constexpr size_t JOB_ERROR_TEXT_SIZE = 2048;
// The pauses before the extra tries of an address whose failure may pass
// (a busy or briefly unreachable host): the first, then each later one.
inline constexpr double FIRST_RETRY_PAUSE_S = 1;
inline constexpr double LATER_RETRY_PAUSE_S = 4;

struct FetchedImage {
    DownloadResult result = DownloadResult::BadContent;
    char file[PATH_BUFFER_SIZE];      // the temporary file that holds the image (when Ok)
    char error[JOB_ERROR_TEXT_SIZE];  // the download's error text otherwise
};

class DownloadQueue {
  public:
    // `folder` receives the temporary files (the job's target folder, so that
    // a finished image only needs renaming); `connections` downloads run at
    // once; an address whose failure may pass gets up to `retries` more
    // tries, each after a pause that holds no other download.
    DownloadQueue(const char* folder, int connections, int retries);
    // Stops the workers; temporary files nobody took are removed.
    ~DownloadQueue();
    DownloadQueue(const DownloadQueue&) = delete;
    DownloadQueue& operator=(const DownloadQueue&) = delete;

    // Adds the next address. Downloads start in the order addresses are added,
    // a bounded way ahead of the one the job waits for.
    void add(const char* address);
    size_t size() const { return addresses_.size(); }

    // Waits for the download of the `index`-th address and hands it over: the
    // caller owns its temporary file from then on. False, with nothing handed
    // over, when `cancel` is set first.
    bool take(size_t index, FetchedImage* out, const std::atomic<int>& cancel);

    // Abandons the downloads still running (a stopped job): their files are
    // removed and they count as not done. Returns when every worker is idle.
    void stop();

    // After stop(): hands over the `index`-th download when it had finished
    // with the image before the stop.
    bool take_finished(size_t index, FetchedImage* out);

    // Tests only: pauses this many times as long (0.01 turns 4 s into 40 ms).
    static void set_pause_scale_for_testing(double scale);

    // Tests only: the most downloads that ran at the same moment.
    int most_in_flight() const { return mostInFlight_.load(); }

  private:
    enum class State { Waiting, Running, Done, Taken };
    // Kept small: a package may hold tens of thousands of addresses.
    struct Entry {
        State state = State::Waiting;
        DownloadResult result = DownloadResult::BadContent;
        std::string file;
        std::string error;
    };

    void work();
    void fetch(const std::string& address, Entry* out);
    void hand_over(Entry& entry, FetchedImage* out);

    bool pause(double seconds);

    std::string folder_;
    int connections_;
    int retries_;
    std::vector<std::string> addresses_;
    std::vector<Entry> entries_;
    size_t next_ = 0;     // the next address a worker starts
    size_t awaited_ = 0;  // the address the job takes next
    int inFlight_ = 0;
    std::atomic<int> mostInFlight_{0};
    bool stopping_ = false;
    std::atomic<int> abandon_{0};  // read by downloads in flight
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::thread> workers_;
};
