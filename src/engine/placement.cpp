#include "engine/placement.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/platform.h"
#include "platform/safe_files.h"
#include "shell/app_log.h"

int32_t nameSequence = 1;

namespace {

// Appends as much of `text` as fits in a PATH_BUFFER_SIZE buffer holding
// `length` bytes, so that a failure message can still name an over-long path.
size_t append_truncated(char* out, size_t length, const char* text) {
    size_t count = std::strlen(text);
    if (count > PATH_BUFFER_SIZE - 1 - length) count = PATH_BUFFER_SIZE - 1 - length;
    std::memcpy(out + length, text, count);
    out[length + count] = '\0';
    return length + count;
}

void name_failed(char* failedPath, const char* path) {
    if (failedPath != nullptr) append_truncated(failedPath, 0, path);
}

// `folder` joined with `name` into `out`; on overflow `failedPath` gets as much
// of the would-be path as fits.
bool join_or_report(char* out, const char* folder, const char* name, char* failedPath) {
    if (join_path(out, PATH_BUFFER_SIZE, folder, name)) return true;
    if (failedPath != nullptr) {
        const char separator[] = {platform::PATH_SEPARATOR, '\0'};
        size_t length = append_truncated(failedPath, 0, folder);
        length = append_truncated(failedPath, length, separator);
        append_truncated(failedPath, length, name);
    }
    return false;
}

// An existing directory is used as it is: the user may have made it, or an
// earlier job of the same second left it behind.
bool ensure_directory(const char* path) {
    return is_directory(path) == 1 || platform::make_directory(path);
}

bool is_extension(const char* text, const char* name) {
    return std::strcmp(text, name) == 0;
}

}  // namespace

bool placement_begin(PlacementState* state, const char* targetFolder, int itemCount,
                     char* failedPath) {
    *state = PlacementState{};
    struct tm now {};
    platform::local_time(std::time(nullptr), &now);
    state->year = now.tm_year + 1900;
    state->month = now.tm_mon + 1;
    state->day = now.tm_mday;
    state->hour = now.tm_hour;
    state->minute = now.tm_min;

    if (std::strlen(targetFolder) >= PATH_BUFFER_SIZE) {
        name_failed(failedPath, targetFolder);
        return false;
    }
    std::memcpy(state->targetFolder, targetFolder, std::strlen(targetFolder) + 1);
    std::memcpy(state->currentFolder, targetFolder, std::strlen(targetFolder) + 1);
    if (itemCount <= LARGE_PACKAGE_ITEMS) return true;

    // The batch folder is named to the second so that two large jobs in the
    // same minute do not share one.
    struct tm batch {};
    platform::local_time(std::time(nullptr), &batch);
    char name[48];
    std::snprintf(name, sizeof name, "%d-%d-%d", batch.tm_hour, batch.tm_min, batch.tm_sec);
    if (!join_or_report(state->batchFolder, targetFolder, name, failedPath)) return false;
    if (!ensure_directory(state->batchFolder)) {
        name_failed(failedPath, state->batchFolder);
        return false;
    }
    state->batchMode = true;
    state->subfolderNumber = 0;
    return true;
}

bool choose_image_folder(PlacementState* state, int32_t savedOrdinal, char* failedPath) {
    if (!state->batchMode) {
        std::memcpy(state->currentFolder, state->targetFolder,
                    std::strlen(state->targetFolder) + 1);
        return true;
    }
    if (savedOrdinal != 1 && savedOrdinal % IMAGES_PER_SUBFOLDER != 1) return true;

    // The number advances even when creation fails: each later attempt at the
    // same ordinal tries a fresh subfolder instead of the broken one.
    if (state->subfolderNumber == INT_MAX) {
        name_failed(failedPath, state->batchFolder);
        return false;
    }
    ++state->subfolderNumber;
    char name[16];
    std::snprintf(name, sizeof name, "%d", state->subfolderNumber);
    char folder[PATH_BUFFER_SIZE];
    if (!join_or_report(folder, state->batchFolder, name, failedPath)) return false;
    if (!ensure_directory(folder)) {
        name_failed(failedPath, folder);
        return false;
    }
    std::memcpy(state->currentFolder, folder, std::strlen(folder) + 1);
    return true;
}

void url_extension(const char* address, char* out) {
    out[0] = '\0';
    const char* slash = std::strrchr(address, '/');
    if (slash == nullptr) return;
    const char* dot = std::strrchr(slash + 1, '.');
    if (dot == nullptr) return;
    const char* start = dot + 1;
    const char* end = std::strchr(start, '?');
    if (end == nullptr) end = std::strchr(start, '#');
    if (end == nullptr) end = start + std::strlen(start);
    size_t length = static_cast<size_t>(end - start);
    if (length > URL_EXTENSION_SIZE - 1) length = URL_EXTENSION_SIZE - 1;
    std::memcpy(out, start, length);
    out[length] = '\0';
}

const char* image_extension(const char* address) {
    char extension[URL_EXTENSION_SIZE];
    url_extension(address, extension);
    if (extension[0] == '\0') return "jpg";
    for (char* p = extension; *p != '\0'; ++p) {
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p + ('a' - 'A'));
    }
    static const char* const EXACT[] = {"jpg", "jpeg", "png", "gif", "bmp"};
    for (const char* name : EXACT) {
        if (is_extension(extension, name)) return name;
    }
    // Hosts decorate extensions ("jpg_400x400", "png!thumb"); the image type
    // is still recognisable inside. "jpeg" inside decoration becomes "jpg".
    static const struct {
        const char* inside;
        const char* extension;
    } CONTAINED[] = {
        {"jpg", "jpg"}, {"jpeg", "jpg"}, {"png", "png"}, {"gif", "gif"}, {"bmp", "bmp"},
    };
    for (const auto& rule : CONTAINED) {
        if (std::strstr(extension, rule.inside) != nullptr) return rule.extension;
    }
    return "jpg";
}

namespace {

// The path for the next sequence number, which it consumes. False when
// the path would not fit, or the sequence is at its end.
bool next_image_path(PlacementState* state, ImageColumn column, const char* extension, char* out) {
    // Stop short of signed overflow rather than wrap into numbers already used.
    if (nameSequence == INT32_MAX) return false;
    const int32_t number = nameSequence++;
    char name[PATH_BUFFER_SIZE];
    const int written =
        std::snprintf(name, sizeof name, "%s%d-%d-%d-%d-%d-%d.%s",
                      column == ImageColumn::Mobile ? "m-" : "", state->year, state->month,
                      state->day, state->hour, state->minute, static_cast<int>(number), extension);
    if (written < 0 || static_cast<size_t>(written) >= sizeof name) return false;
    // Later numbers are never shorter, so a name that does not fit now
    // never will: give up instead of burning the sequence.
    if (!join_path(out, PATH_BUFFER_SIZE, state->currentFolder, name)) {
        out[0] = '\0';
        return false;
    }
    return true;
}

}  // namespace

Filing file_image(PlacementState* state, ImageColumn column, const char* extension,
                  const char* file, char* out,
                  const std::function<platform::PlaceResult(const char* target)>& place) {
    while (next_image_path(state, column, extension, out)) {
        // Moved to a name no file has: taken names are passed over, as when claiming.
        const platform::PlaceResult placed =
            place != nullptr ? place(out) : platform::move_to_new_name(file, out);
        if (placed == platform::PlaceResult::Done) return Filing::Filed;
        if (placed == platform::PlaceResult::Failed) {
            app_log_format("无法创建图片文件 [%s]：%s", out, platform::last_file_error());
            return Filing::Failed;
        }
    }
    return Filing::NoRoom;
}

bool choose_image_path(PlacementState* state, ImageColumn column, const char* extension,
                       char* out) {
    while (next_image_path(state, column, extension, out)) {
        // The name is claimed by creating the file: two jobs writing into one
        // folder can never both take it. A name that cannot be created for
        // another reason is handed on, and the download reports why.
        const platform::CreateResult claimed = platform::create_new_file(out);
        if (claimed == platform::CreateResult::Failed) {
            app_log_format("无法创建图片文件 [%s]：%s", out, platform::last_file_error());
        }
        if (claimed != platform::CreateResult::Exists) return true;
    }
    return false;
}

size_t longest_image_path(const char* targetFolder, int itemCount) {
    // The widest values each field of the names can take.
    char name[PATH_BUFFER_SIZE];
    const int nameLength = std::snprintf(name, sizeof name, "m-%d-%d-%d-%d-%d-%d.jpeg", 9999, 12,
                                         31, 23, 59, static_cast<int>(INT32_MAX));
    size_t length = std::strlen(targetFolder) + 1 + static_cast<size_t>(nameLength);
    if (itemCount > LARGE_PACKAGE_ITEMS) {
        const int batchLength = std::snprintf(name, sizeof name, "%d-%d-%d", 23, 59, 59);
        const int subfolderLength = std::snprintf(name, sizeof name, "%d", INT_MAX);
        length += static_cast<size_t>(batchLength) + 1 + static_cast<size_t>(subfolderLength) + 1;
    }
    return length;
}
