// Fixed addresses the program knows about, kept in one place.
#pragma once

#include <cstddef>
#include <cstring>

// The blank placeholder written in place of images that failed to move.
inline constexpr const char* BLANK_IMAGE_URL =
    "https://img.alicdn.com/imgextra/i1/O1CN01kelvane_blank_1x1.png";

// Marketplace-affiliated hosts whose description addresses are never taken.
inline constexpr const char* SKIPPED_HOST_SUFFIXES[] = {".taobao.com/", ".tmall.com/",
                                                        ".alipay.com/"};

// Hosts of the marketplace's own image space.
inline constexpr const char* IMAGE_SPACE_SUFFIXES[] = {".alicdn.com/", ".taobaocdn.com/"};

// True when the address lies in the marketplace's image space.
inline bool is_image_space_address(const char* address) {
    for (const char* suffix : IMAGE_SPACE_SUFFIXES) {
        if (std::strstr(address, suffix) != nullptr) return true;
    }
    return false;
}
