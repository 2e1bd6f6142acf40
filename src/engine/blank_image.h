// The blank picture that stands in for images that failed to move, when the
// seller asks for it: a small white PNG written into the target folder, so
// that Taobao Assistant uploads it like any other local picture. No remote
// address is used: nobody can promise one stays there.
#pragma once

#include <cstddef>

#include "shell/files.h"

inline constexpr const char* BLANK_IMAGE_NAME = "blank.png";

// The PNG's bytes.
extern const unsigned char BLANK_IMAGE_PNG[];
extern const size_t BLANK_IMAGE_PNG_SIZE;

// Makes sure the blank picture is in `folder` and puts its path in `out`
// (PATH_BUFFER_SIZE bytes). A blank.png of other content is left alone and
// blank(2).png, blank(3).png, ... tried instead. False when none can be
// written; `out` then names the path that failed.
bool ensure_blank_image(const char* folder, char* out);
