#include "engine/move_job_view.h"

#include <cstdio>

const char* item_state_text(ItemState state) {
    switch (state) {
        case ItemState::Waiting:
            return "等待";
        case ItemState::Moving:
            return "搬家中";
        default:
            return "完成";
    }
}

void format_progress_text(const JobProgress& progress, char (&out)[PROGRESS_TEXT_SIZE]) {
    if (!progress.updating) {
        std::snprintf(out, sizeof out, "搬家进度(宝贝数:%d, 已搬家宝贝数:%d)", progress.items,
                      progress.done);
    } else if (progress.updatePercent < 0) {
        std::snprintf(out, sizeof out, "搬家进度(宝贝数:%d, 已搬家宝贝数:%d), 正在更新csv文件...",
                      progress.items, progress.done);
    } else {
        std::snprintf(out, sizeof out,
                      "搬家进度(宝贝数:%d, 已搬家宝贝数:%d), 正在更新csv文件...(%d%%)",
                      progress.items, progress.done, progress.updatePercent);
    }
}
