#include "support/image_server.h"

#include <algorithm>

ImageServer::ImageServer() {
    server_.set_responder([this](const std::string& request) { return answer(request); });
}

void ImageServer::add(const std::string& path, const std::string& body, int pauseMs) {
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\n\r\n" + body;
    if (pauseMs > 0) {
        add_sequence(path, {{response, pauseMs}});
    } else {
        add_raw(path, response);
    }
}

void ImageServer::add_raw(const std::string& path, const std::string& response) {
    std::lock_guard<std::mutex> lock(mutex_);
    responses_[path] = response;
}

void ImageServer::add_sequence(const std::string& path,
                               std::vector<std::pair<std::string, int>> answers) {
    std::lock_guard<std::mutex> lock(mutex_);
    sequences_[path] = std::move(answers);
}

std::string ImageServer::url(const std::string& path) const {
    return server_.url(path);
}

int ImageServer::hits(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = hits_.find(path);
    return found == hits_.end() ? 0 : found->second;
}

int ImageServer::total_hits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int total = 0;
    for (const auto& entry : hits_) total += entry.second;
    return total;
}

void ImageServer::set_delay_ms(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    delayMs_ = ms;
}

void ImageServer::set_path_delay_ms(const std::string& path, int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ms < 0) {
        pathDelayMs_.erase(path);
    } else {
        pathDelayMs_[path] = ms;
    }
}

// Runs under the scripted server's lock, one request at a time.
ScriptedReply ImageServer::answer(const std::string& request) {
    // "GET /path HTTP/1.1"
    const size_t start = request.find(' ');
    const size_t end =
        start == std::string::npos ? std::string::npos : request.find(' ', start + 1);
    const std::string path =
        end == std::string::npos ? "" : request.substr(start + 1, end - start - 1);
    std::lock_guard<std::mutex> lock(mutex_);
    const int hit = ++hits_[path];
    if (const auto sequence = sequences_.find(path);
        sequence != sequences_.end() && !sequence->second.empty()) {
        const auto& steps = sequence->second;
        const auto& [bytes, pauseMs] = steps[std::min(static_cast<size_t>(hit), steps.size()) - 1];
        ScriptedReply answer = reply(bytes, false);
        answer.pieces.front().pauseMs = pauseMs;
        return answer;
    }
    const auto found = responses_.find(path);
    ScriptedReply answer =
        reply(found == responses_.end() ? "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"
                                        : found->second,
              false);
    const auto own = pathDelayMs_.find(path);
    answer.pieces.front().pauseMs = own == pathDelayMs_.end() ? delayMs_ : own->second;
    return answer;
}

std::string jpeg_body(size_t size, char fill) {
    std::string body = "\xFF\xD8";
    body.resize(size < 2 ? 2 : size, fill);
    return body;
}
