#include "engine/blank_image.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/safe_files.h"
#include "shell/app_log.h"

// 1 x 1 pixel, white, 8-bit RGB.
const unsigned char BLANK_IMAGE_PNG[] = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x02, 0x00, 0x00,
    0x00, 0x90, 0x77, 0x53, 0xDE, 0x00, 0x00, 0x00, 0x0C, 0x49, 0x44, 0x41, 0x54, 0x78,
    0xDA, 0x63, 0xF8, 0xFF, 0xFF, 0x3F, 0x00, 0x05, 0xFE, 0x02, 0xFE, 0x33, 0x12, 0x95,
    0x14, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82,
};
const size_t BLANK_IMAGE_PNG_SIZE = sizeof BLANK_IMAGE_PNG;

namespace {

constexpr int MAX_BLANK_NAMES = 100;

bool holds_blank_image(const char* path) {
    if (file_size(path) != static_cast<int64_t>(BLANK_IMAGE_PNG_SIZE)) return false;
    FILE* file = platform::open_file(path, "rb");
    if (file == nullptr) return false;
    unsigned char bytes[sizeof BLANK_IMAGE_PNG];
    const bool same = std::fread(bytes, 1, sizeof bytes, file) == sizeof bytes &&
                      std::memcmp(bytes, BLANK_IMAGE_PNG, sizeof bytes) == 0;
    std::fclose(file);
    return same;
}

// Written whole under a temporary name first, so a job that sees the name
// always finds the whole picture, even while another job is writing it.
platform::PlaceResult write_blank_image(const char* path) {
    char temporary[PATH_BUFFER_SIZE];
    FILE* file = platform::create_temporary_beside(path, temporary, sizeof temporary);
    if (file == nullptr) return platform::PlaceResult::Failed;
    const bool written =
        std::fwrite(BLANK_IMAGE_PNG, 1, BLANK_IMAGE_PNG_SIZE, file) == BLANK_IMAGE_PNG_SIZE;
    if (!platform::finish_file(file) || !written) {
        platform::remove_file(temporary);
        return platform::PlaceResult::Failed;
    }
    platform::set_permissions_like(temporary, nullptr);
    const platform::PlaceResult placed = platform::move_into_place(temporary, path, false);
    if (placed != platform::PlaceResult::Done) platform::remove_file(temporary);
    return placed;
}

}  // namespace

bool ensure_blank_image(const char* folder, char* out) {
    for (int number = 1; number <= MAX_BLANK_NAMES; ++number) {
        char name[32];
        if (number == 1) {
            std::snprintf(name, sizeof name, "%s", BLANK_IMAGE_NAME);
        } else {
            std::snprintf(name, sizeof name, "blank(%d).png", number);
        }
        if (!join_path(out, PATH_BUFFER_SIZE, folder, name)) return false;
        if (holds_blank_image(out)) return true;
        if (platform::path_kind(out) != platform::PathKind::Missing) continue;
        const platform::PlaceResult placed = write_blank_image(out);
        if (placed == platform::PlaceResult::Done) return true;
        if (placed == platform::PlaceResult::Failed) {
            app_log_format("无法写入空白图片 %s：%s", out, platform::last_file_error());
            return false;
        }
        if (holds_blank_image(out)) return true;  // another job wrote it just now
    }
    return false;
}
