#include "package/load_package.h"

#include <cstdio>
#include <cstdlib>

#include "package/data_package.h"
#include "platform/platform.h"
#include "shell/files.h"

namespace {

void format_title_too_long_message(char* out, size_t capacity, const char* path) {
    const char* name = file_name_part(path);
    std::snprintf(out, capacity,
                  "[%s]数据包中部分宝贝的标题超过%d个字符(%d个汉字)"
                  "，需要使用淘宝助理修改一下，操作方法如下：\n\n"
                  "1. 打开并登录淘宝助理，进入[宝贝管理] -> [本地库存宝贝]。\n\n"
                  "2. 在[本地库存宝贝]下建立一个新的分类，将[%s]导入到新建立的分类下。\n\n"
                  "3. 将宝贝标题过长的修改短一些。然后钩选刚刚导入的所有宝贝，导出CSV直接替换[%s]，"
                  "然后再对[%s]进行搬家。",
                  name, MAX_TITLE_CELL_BYTES, MAX_TITLE_CELL_BYTES / 2, name, name, name);
}

void format_malformed_package_message(char* out, size_t capacity, const char* path) {
    const char* name = file_name_part(path);
    std::snprintf(out, capacity,
                  "[%s]数据格式存在问题，需要使用淘宝助理(版本:5.x+)转换一下，操作方法如下：\n\n"
                  "1. 打开并登录淘宝助理，进入[宝贝管理] -> [本地库存宝贝]。\n\n"
                  "2. 在[本地库存宝贝]下建立一个新的分类，将[%s]导入到新建立的分类下，"
                  "然后钩选刚刚导入的所有宝贝，导出CSV直接替换[%s]。\n\n"
                  "3. 然后再对[%s]进行搬家。",
                  name, name, name, name);
}

}  // namespace

const char* check_package_path(const char* path) {
    if (path == nullptr || path[0] == '\0') return NO_PACKAGE_CHOSEN_MESSAGE;
    switch (platform::path_kind(path)) {
        case platform::PathKind::Missing:
            return PACKAGE_MISSING_MESSAGE;
        case platform::PathKind::File:
            return file_exists(path) ? nullptr : PACKAGE_MISSING_MESSAGE;
        default:
            return PACKAGE_NOT_A_FILE_MESSAGE;
    }
}

ReadResult load_data_package(const char* path, DataPackage* package,
                             char (&message)[LOAD_MESSAGE_SIZE]) {
    if (package->items == nullptr) package->items = ptr_vector_new(256, 64);
    const ReadResult result =
        read_data_package(path, package->items, &package->text, &package->readFrom);
    if (result == ReadResult::Ok) return result;
    // Records appended before the refusal are no use to anyone.
    item_list_clear(package->items);
    if (result == ReadResult::TitleTooLong) {
        format_title_too_long_message(message, sizeof message, path);
    } else {
        format_malformed_package_message(message, sizeof message, path);
    }
    return result;
}

void unload_data_package(DataPackage* package) {
    std::free(package->text);
    package->text = nullptr;
    package->readFrom = PackageFingerprint{};
    if (package->items == nullptr) return;
    item_list_clear(package->items);
    ptr_vector_destroy(package->items, 0);
    package->items = nullptr;
}
