// What the user is told when a data package cannot be loaded. Shared by the
// window and the console program, so both say the same.
#pragma once

#include <cstddef>

inline constexpr const char* NO_PACKAGE_CHOSEN_MESSAGE = "请选择一个淘宝数据包(csv)文件";
inline constexpr const char* PACKAGE_MISSING_MESSAGE = "选择的csv文件不存在，请重新选择";
inline constexpr const char* PACKAGE_NOT_A_FILE_MESSAGE =
    "选择的不是一个普通文件(可能是文件夹或设备)，请重新选择淘宝数据包(csv)文件";

// The message for a package path that cannot be loaded at all (none given,
// missing, or not a regular file), or nullptr when the reader may try it.
const char* check_package_path(const char* path);

// The window asks this after the malformed-package message (a Yes/No box
// that opens the conversion guide); the console program has no one to ask.
inline constexpr const char* CONVERSION_GUIDE_QUESTION = "\n\n\n是否需要进入官网查看详细操作指南？";

// The message for a package with a title over the limit, naming its file.
void format_title_too_long_message(char* out, size_t capacity, const char* path);
// The message for a package that is not in Taobao Assistant 5's form,
// without the question that follows it in the window.
void format_malformed_package_message(char* out, size_t capacity, const char* path);
