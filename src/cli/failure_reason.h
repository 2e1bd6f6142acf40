// Why an image failed, in the console's words: a short reason for scripts
// (the JSON's "reason") and its Chinese wording for people, beside the image
// client's own text, which stays as app.log and the window have it.
#pragma once

#include <string>

#include "engine/move_job.h"
#include "http/failure_kind.h"

// "timeout", "refused", "dns", "connect", "tls", "host given up", "cut",
// "http NNN", "bad response", "too large", "not an image", "bad address",
// "write", "create" or "stopped" (ASCII).
std::string failure_reason(FailureKind kind, int httpStatus);

// The same for people (GBK): "超时", "HTTP 404 文件不存在", ...
std::string failure_reason_words(FailureKind kind, int httpStatus);

// What follows a failed address in a console's failure list (GBK), two
// spaces apart so the address stays easy to copy: "  (超时，试了 3 次)".
std::string failure_note(const ImageFailure& failure);
