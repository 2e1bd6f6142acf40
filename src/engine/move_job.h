// The move job: walks the package's items, downloads every selected image
// once into the target folder, then rewrites the package and, when that
// changed it, backs it up and saves it. Stopping early still rewrites and
// saves, so the next job on the same package finds only what is still remote.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/move_job_view.h"
#include "http/failure_kind.h"
#include "package/data_package.h"
#include "shell/files.h"

// An item's status once the job has finished it. Store it with release
// order; the window reads it with acquire order before it reads the item's
// failure lists.
inline constexpr int32_t ITEM_MOVED = 2;

// Downloads a job keeps in flight at once, and extra tries of an address
// whose failure may pass (a time-out, a busy server).
inline constexpr int DEFAULT_CONNECTIONS = 8;
inline constexpr int MAX_CONNECTIONS = 32;
inline constexpr int DEFAULT_RETRIES = 2;
inline constexpr int MAX_RETRIES = 10;

// A snapshot of the job's options; the job never looks at the window again.
struct MoveOptions {
    char targetFolder[PATH_BUFFER_SIZE];    // used as given
    bool moveImageSpace;                    // image-space description images, and the mobile pass
    bool moveThirdParty;                    // description images on every other host
    bool blankForFailed;                    // failed addresses become the blank image
    int connections = DEFAULT_CONNECTIONS;  // downloads in flight at once, 1 to MAX_CONNECTIONS
    int retries = DEFAULT_RETRIES;          // extra tries, 0 to MAX_RETRIES
    bool httpFallback = true;               // https images whose TLS fails come over plain HTTP
};

// Why one address failed, for a report beside the failure lists.
struct ImageFailure {
    FailureKind kind = FailureKind::None;
    int httpStatus = 0;  // the last answer's status, 0 when none came
    int attempts = 0;    // tries made, extra ones included
    std::string text;    // the image client's own text (GBK), as app.log has it
};

// Shared between the job's thread and the front end's: set by the job while
// it runs; set by the front end (a confirmed close, Ctrl+C) or by the job
// itself (a fatal error) to stop at the next check point. Never cleared
// while a job runs.
extern std::atomic<int> running;
extern std::atomic<int> cancelRequested;

// Running totals a front end may show while the job runs (read from any
// thread), and what a report on the job needs besides the view's calls.
struct MoveJobCounters {
    std::atomic<int32_t> saved{0};   // images downloaded in this job
    std::atomic<int32_t> failed{0};  // distinct addresses that failed in this job
    // Distinct addresses of the finished and current items that the options
    // left out and that stay remote; counted once, when the job ends.
    std::atomic<int32_t> skipped{0};
    // The rest is written on the job's thread only: the front end reads it
    // from inside a view call, or once the job has returned.
    char backupPath[PATH_BUFFER_SIZE] = "";  // the copy made before the save; "" when none
    bool packageWritten = false;             // the rewritten package was saved
    // Why the operating system refused to create the last image file, set
    // just before the message that stops the job for it ("" when unknown).
    char createError[512] = "";
    // Each address in the failure lists -> why it failed.
    std::unordered_map<std::string, ImageFailure> failures;
    // The https addresses saved over plain HTTP after their TLS failed, in
    // the order the job filed them.
    std::vector<std::string> overPlainHttp;
};

enum class MoveJobOutcome {
    Finished,        // ran to its end; the final message was shown
    Interrupted,     // stopped on request; the package was rewritten and saved
    StoppedByError,  // stopped by a fatal error (message shown); the package was saved, unless
                     // another program had changed it since it was read
    Aborted,         // a folder could not be created before anything was saved; nothing written
};

// What a job says when the package file is no longer the one it read, and
// so is left as it is (%s: the package's file name).
inline constexpr const char* PACKAGE_CHANGED_FORMAT =
    "数据包(%s)在读取之后被其他程序改动过(例如另一个搬家任务或淘宝助理)。"
    "为了不覆盖那些改动，这次搬家的结果没有写入数据包，数据包保持现在的样子。\n\n"
    "已下载的图片留在图片文件夹里。请再对这个数据包搬家一次，还没有搬家的图片会在那时搬好。";

// Runs one job on the calling thread (the front end starts it on a thread of
// its own). A front end ends the program after any outcome but Finished.
MoveJobOutcome run_move_job(DataPackage* package, const MoveOptions& options, MoveJobView* view,
                            MoveJobCounters* counters = nullptr);

// True when the address lies in the marketplace's image space.
bool is_image_space_address(const char* address);
