#include "engine/start_checks.h"

#include <cstring>

#include "engine/placement.h"
#include "package/load_package.h"
#include "platform/platform.h"
#include "platform/safe_files.h"
#include "shell/files.h"
#include "shell/text.h"

namespace {

// Length without trailing separators, so that "Desktop/" is still the desktop.
size_t trimmed_length(const char* path) {
    size_t length = std::strlen(path);
    while (length > 1 && platform::is_path_separator(path[length - 1])) --length;
    return length;
}

bool same_folder(const char* a, const char* b) {
    const size_t length = trimmed_length(a);
    return length == trimmed_length(b) && std::memcmp(a, b, length) == 0;
}

}  // namespace

StartRefusal check_move_start(const MoveOptions& options, const char* desktopFolder) {
    if (!options.moveImageSpace && !options.moveThirdParty) return StartRefusal::NoSourceOption;
    if (options.targetFolder[0] == '\0') return StartRefusal::NoFolder;
    if (!is_gbk_text(options.targetFolder)) return StartRefusal::FolderNotGbk;
    if (!is_directory(options.targetFolder)) return StartRefusal::FolderMissing;
    if (desktopFolder[0] != '\0' && same_folder(options.targetFolder, desktopFolder))
        return StartRefusal::FolderIsDesktop;
    return StartRefusal::None;
}

StartRefusal check_job_files(const MoveOptions& options, const char* packagePath, int itemCount) {
    if (platform::path_kind(packagePath) != platform::PathKind::File)
        return StartRefusal::PackageNotAFile;
    if (!platform::can_replace_file(packagePath)) return StartRefusal::PackageNotWritable;
    if (longest_image_path(options.targetFolder, itemCount) >= PATH_BUFFER_SIZE)
        return StartRefusal::PathTooLong;
    return StartRefusal::None;
}

const char* start_refusal_text(StartRefusal refusal) {
    switch (refusal) {
        case StartRefusal::None:
            return nullptr;
        case StartRefusal::NoSourceOption:
            return "[搬来自淘宝图片空间里的图片] 与 [搬来自第三方相册里的图片] 至少需选择其中一项";
        case StartRefusal::NoFolder:
            return "请选择图片搬家后保存到哪一个文件夹中";
        case StartRefusal::FolderNotGbk:
            return FOLDER_UNREPRESENTABLE_MESSAGE;
        case StartRefusal::FolderMissing:
            return "选择的文件夹不存在，请重新选择";
        case StartRefusal::FolderIsDesktop:
            return "不可以将图片搬家到[桌面]"
                   "上，因为将图片搬家到桌面上，图片有可能会铺满整个桌面。\n\n"
                   "请重新选择一个文件夹。";
        case StartRefusal::PackageNotAFile:
            return PACKAGE_NOT_A_FILE_MESSAGE;
        case StartRefusal::PackageNotWritable:
            return PACKAGE_NOT_WRITABLE_MESSAGE;
        case StartRefusal::PathTooLong:
            return PATH_TOO_LONG_TEXT;
    }
    return nullptr;
}
