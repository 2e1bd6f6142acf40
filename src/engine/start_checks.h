// The checks that must pass before a move job may start, shared by the
// window's Start button and kelvane-cli move.
#pragma once

#include "engine/move_job.h"

// Why a job may not start, in the order the checks ask.
enum class StartRefusal {
    None,                // the job may start
    NoSourceOption,      // neither kind of image is to be moved
    NoFolder,            // no target folder given
    FolderNotGbk,        // the folder's path cannot be written into the package
    FolderMissing,       // the target folder does not exist
    FolderIsDesktop,     // the target folder is the desktop itself
    PackageNotAFile,     // the package is a folder, a device or a pipe
    PackageNotWritable,  // the package could not be saved after the job
    PathTooLong,         // the folder leaves no room for the image paths
};

// The first check that fails, or None when the job may start: a source
// option chosen, a target folder given, its path all GBK (Taobao Assistant
// opens the images by the paths the package names), existing, and not the
// desktop itself (a folder inside it is fine). `desktopFolder` may be empty.
StartRefusal check_move_start(const MoveOptions& options, const char* desktopFolder);

// Whether the job could do its work on these files: the package must be a
// regular file the program may replace (so that the images are not
// downloaded for a package that cannot be saved), and the target folder must
// leave room for the longest image path the job writes.
StartRefusal check_job_files(const MoveOptions& options, const char* packagePath, int itemCount);

// What the user is told for `refusal`; nullptr for None.
const char* start_refusal_text(StartRefusal refusal);

// What a second job on a package that a running job holds is told.
inline constexpr const char* PACKAGE_IN_USE_MESSAGE =
    "这个数据包正在被另一个搬家任务使用，请等那个任务结束后再搬家。";
// What app.log says when the file system takes no lock on the package: the
// job goes on (refusing would make such shares unusable) but unguarded.
inline constexpr const char* PACKAGE_UNLOCKED_LOG_FORMAT =
    "无法锁定数据包 [%s]：%s。任务照常进行，但无法阻止另一个任务同时处理它。";
// What a package that cannot be saved is told.
inline constexpr const char* PACKAGE_NOT_WRITABLE_MESSAGE =
    "数据包无法写入(只读文件、只读的磁盘或没有写入权限)，搬家后无法更新它。\n\n"
    "请把数据包复制到一个可以写入的文件夹，再对复制的数据包搬家。";
// What a target folder whose path GBK cannot hold is told.
inline constexpr const char* FOLDER_UNREPRESENTABLE_MESSAGE =
    "图片文件夹的路径里有 GBK 无法表示的字符(例如表情符号)，数据包里无法写入这样的路径。"
    "请换一个文件夹，或给文件夹改个名字后再试。";
inline constexpr const char* PATH_TOO_LONG_TEXT = "图片保存路径过长，请选择一个路径较短的文件夹";
