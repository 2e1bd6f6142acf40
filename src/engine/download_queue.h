// The move job's downloads, run ahead of the job on a few worker threads.
// Each image goes into a temporary file claimed in the target folder; the job
// takes the results in the order it meets the addresses and gives every file
// its final name and folder itself, so the names, the folders and everything
// the job reports are the same whatever the number of connections and
// whichever download finishes first.
//
// The downloads run far ahead of the job (up to QUEUE_LOOKAHEAD addresses),
// so that a slow address holds up only its own filing, never the other
// connections: the images that finish meanwhile wait as temporary files, and
// each costs the queue a few dozen bytes of memory whatever its size. A
// download that has run for STEP_ASIDE_S gives its turn to one more beside
// it, so that slow answers do not take the turns the rest of the work needs.
// The job and the workers meet through one atomic state per address; a lock
// is taken only when the job has to wait for the address it files next.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/download.h"
#include "shell/files.h"

// Room for a download's error text, NUL included.
inline constexpr size_t JOB_ERROR_TEXT_SIZE = 2048;
// How many addresses the downloads may run ahead of the one the job files
// next: enough for every new address of most packages, and a bound on the
// temporary files of one that is huge.
inline constexpr size_t QUEUE_LOOKAHEAD = 20000;
// A download still running after this long stops counting against the
// connections: another starts beside it, up to twice the connections at once.
inline constexpr double STEP_ASIDE_S = 1.0;

class ProgressJournal;

struct FetchedImage {
    DownloadResult result = DownloadResult::BadContent;
    char file[PATH_BUFFER_SIZE];      // the temporary file that holds the image (when Ok)
    char error[JOB_ERROR_TEXT_SIZE];  // the download's error text otherwise
    DownloadDetails details;          // of the last try
    int attempts = 0;                 // tries made: 1 and the extra ones
};

class DownloadQueue {
  public:
    // `folder` receives the temporary files (the job's target folder, so that
    // a finished image only needs renaming); `connections` downloads run at
    // once (and as many more while some have run over STEP_ASIDE_S); an
    // address whose failure may pass gets up to `retries` more tries, each
    // after a pause (the policy's) that holds no other download. Each
    // download takes `options`: the https fallback and the timing. Each
    // finished image is noted in `journal`, when given, so that a job killed
    // while the image waits still finds it.
    DownloadQueue(const char* folder, int connections, int retries,
                  const DownloadOptions& options = {}, ProgressJournal* journal = nullptr);
    // Stops the workers; temporary files nobody took are removed.
    ~DownloadQueue();
    DownloadQueue(const DownloadQueue&) = delete;
    DownloadQueue& operator=(const DownloadQueue&) = delete;

    // Adds the next address; all of them before start().
    void add(const char* address);
    // Starts the downloads, in the order the addresses were added.
    void start();
    size_t size() const { return addresses_.size(); }

    // Waits for the download of the `index`-th address and hands it over: the
    // caller owns its temporary file from then on. False, with nothing handed
    // over, when `cancel` is set first.
    bool take(size_t index, FetchedImage* out, const std::atomic<int>& cancel);

    // Abandons the downloads still running (a stopped job): their files are
    // removed and they count as not done. Returns when every worker has ended.
    void stop();

    // After stop(): hands over the `index`-th download when it had finished
    // with the image before the stop.
    bool take_finished(size_t index, FetchedImage* out);

    // Tests only: the most downloads that ran at the same moment.
    int most_in_flight() const { return mostInFlight_.load(); }

  private:
    enum class State : unsigned char { Waiting, Running, Done, Taken };
    // Written by one worker, then published by `state`; read by the job once
    // it sees Done. The state and jobWaitsFor_ are sequentially consistent,
    // so that a worker either sees the job waiting or the job sees Done.
    struct Entry {
        std::atomic<State> state{State::Waiting};
        DownloadResult result = DownloadResult::BadContent;
        std::unique_ptr<char[]> file;   // the temporary file (Ok)
        std::unique_ptr<char[]> error;  // the error text (otherwise)
        DownloadDetails details;
        int attempts = 0;
    };

    // One per worker: when its download started, and whether it still
    // holds one of the `connections` turns.
    struct Slot {
        std::atomic<double> startedAt{0};
        std::atomic<bool> counted{false};
    };

    void work(Slot& slot);
    bool take_turn();
    void give_turn_back();
    double step_aside_slow();
    bool wait_for_room(size_t index);
    void fetch(const std::string& address, Entry* out);
    void hand_over(Entry& entry, FetchedImage* out);

    bool pause(double seconds);

    // Written before start() (by the constructor, add() and start() itself)
    // and only read afterwards: the workers are started after them.
    std::string folder_;
    ProgressJournal* journal_;  // locks itself: the workers note into it at once
    int connections_;
    int retries_;
    const DownloadOptions options_;
    std::vector<std::string> addresses_;
    std::unique_ptr<Entry[]> entries_;  // one per address, from start()
    std::unique_ptr<Slot[]> slots_;
    size_t slotCount_ = 0;

    // Shared by the job and the workers while they run: atomics only.
    std::atomic<size_t> next_{0};     // the next address a worker claims
    std::atomic<size_t> awaited_{0};  // the address the job files next
    // The address the job sleeps on, so that only its worker wakes it.
    static constexpr size_t NOBODY = ~static_cast<size_t>(0);
    std::atomic<size_t> jobWaitsFor_{NOBODY};
    std::atomic<int> workersWaiting_{0};   // workers too far ahead of the job
    std::atomic<int> turnsTaken_{0};       // downloads counting against the connections
    std::atomic<int> workersWantTurn_{0};  // workers waiting for a turn
    std::atomic<int> inFlight_{0};
    std::atomic<int> mostInFlight_{0};
    std::atomic<int> abandon_{0};  // read by downloads in flight
    // Guards no field: it pairs with the two condition variables, so that a
    // waiter checks its condition and sleeps without missing a notify.
    std::mutex mutex_;
    std::condition_variable jobWakeup_;
    std::condition_variable workerWakeup_;
    std::vector<std::thread> workers_;  // the job's thread's own: start() and stop()
};
