#include "cli/failure_reason.h"

namespace {

struct Wording {
    const char* reason;
    const char* words;
};

Wording wording(FailureKind kind) {
    switch (kind) {
        case FailureKind::Timeout:
            return {"timeout", "超时"};
        case FailureKind::Refused:
            return {"refused", "连接被拒绝"};
        case FailureKind::Dns:
            return {"dns", "域名无法解析"};
        case FailureKind::Connect:
            return {"connect", "无法连接"};
        case FailureKind::Tls:
            return {"tls", "HTTPS 连接失败"};
        case FailureKind::HostGivenUp:
            return {"host given up", "主机多次失败，已放弃"};
        case FailureKind::Cut:
            return {"cut", "连接中断"};
        case FailureKind::HttpStatus:
            return {"http", "HTTP"};
        case FailureKind::BadResponse:
            return {"bad response", "服务器的回应无法识别"};
        case FailureKind::TooLarge:
            return {"too large", "图片超过 10MB"};
        case FailureKind::NotAnImage:
            return {"not an image", "不是支持的图片格式"};
        case FailureKind::BadAddress:
            return {"bad address", "地址无法识别"};
        case FailureKind::Write:
            return {"write", "无法写入文件"};
        case FailureKind::Create:
            return {"create", "无法创建文件"};
        case FailureKind::Stopped:
            return {"stopped", "已停止"};
        case FailureKind::None:
            break;
    }
    return {"unknown", "原因不明"};
}

}  // namespace

std::string failure_reason(FailureKind kind, int httpStatus) {
    if (kind == FailureKind::HttpStatus) return "http " + std::to_string(httpStatus);
    return wording(kind).reason;
}

std::string failure_reason_words(FailureKind kind, int httpStatus) {
    if (kind == FailureKind::HttpStatus) {
        return "HTTP " + std::to_string(httpStatus) + (httpStatus == 404 ? " 文件不存在" : "");
    }
    return wording(kind).words;
}

std::string failure_note(const ImageFailure& failure) {
    std::string note = "  (" + failure_reason_words(failure.kind, failure.httpStatus);
    if (failure.attempts > 1) note += "，试了 " + std::to_string(failure.attempts) + " 次";
    return note + ")";
}
