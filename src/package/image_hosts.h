// Fixed addresses the program knows about, kept in one place.
#pragma once

#include <cstddef>

// The blank placeholder written in place of images that failed to move.
inline constexpr const char* BLANK_IMAGE_URL =
    "https://img.alicdn.com/imgextra/i1/O1CN01kelvane_blank_1x1.png";

// Marketplace-affiliated hosts whose description addresses are never taken.
inline constexpr const char* SKIPPED_HOST_SUFFIXES[] = {".taobao.com/", ".tmall.com/",
                                                        ".alipay.com/"};

// Hosts of the marketplace's own image space.
inline constexpr const char* IMAGE_SPACE_SUFFIXES[] = {".alicdn.com/", ".taobaocdn.com/"};
