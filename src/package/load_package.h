// Loading a data package, and what the user is told when it cannot be
// loaded. Shared by the window and the console program, so both load alike
// and say the same.
#pragma once

#include <cstddef>
#include <cstdint>

#include "package/data_package.h"

inline constexpr const char* NO_PACKAGE_CHOSEN_MESSAGE = "请选择一个淘宝数据包(csv)文件";
inline constexpr const char* PACKAGE_MISSING_MESSAGE = "选择的csv文件不存在，请重新选择";
// A path longer than the program can hold (a path of many characters that
// take four bytes each), or one the system's names cannot carry.
inline constexpr const char* PACKAGE_PATH_TOO_LONG_MESSAGE =
    "数据包的路径过长或含有无法识别的字符，无法打开这个数据包。"
    "请把数据包移到路径较短的文件夹后再试。";
inline constexpr const char* PACKAGE_NOT_A_FILE_MESSAGE =
    "选择的不是一个普通文件(可能是文件夹或设备)，请重新选择淘宝数据包(csv)文件";

// The message for a package path that cannot be loaded at all (none given,
// missing, or not a regular file), or nullptr when the reader may try it.
const char* check_package_path(const char* path);

// The window asks this after the malformed-package message (a Yes/No box
// that opens the conversion guide); the console program has no one to ask.
inline constexpr const char* CONVERSION_GUIDE_QUESTION = "\n\n\n是否需要进入官网查看详细操作指南？";

// Room for any message load_data_package writes.
inline constexpr size_t LOAD_MESSAGE_SIZE = 4096;

// Reads the package at `path` (the package's own, or a longer one the
// console was given) into `package->items` (made when there is none;
// otherwise it must be empty) and `package->text`. Returns the reader's
// result. On anything but ReadResult::Ok the records read so far are
// freed and `message` holds what the user is told: that a title is over the
// limit, or that the package is not in Taobao Assistant 5's form (without
// the question that follows it in the window), naming the file.
ReadResult load_data_package(const char* path, DataPackage* package,
                             char (&message)[LOAD_MESSAGE_SIZE]);

// Frees the package's text, its records and their list.
void unload_data_package(DataPackage* package);
