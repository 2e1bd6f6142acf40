#include "support/recording_view.h"

namespace {

const char* icon_name(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Error:
            return "error";
        case MessageIcon::Warning:
            return "warning";
        default:
            return "information";
    }
}

}  // namespace

void RecordingView::record(std::string line) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(line));
}

void RecordingView::ensure_row_visible(int row) {
    record("ensure_row_visible " + std::to_string(row));
}

void RecordingView::set_row_status(int row, ItemState state) {
    record("set_row_status " + std::to_string(row) + " " + item_state_text(state));
}

void RecordingView::set_row_failures(int row, FailureColumn column, int count) {
    record("set_row_failures " + std::to_string(row) +
           (column == FailureColumn::Pc ? " pc " : " mobile ") + std::to_string(count));
}

void RecordingView::set_progress(int finished) {
    record("set_progress " + std::to_string(finished));
}

void RecordingView::set_progress_text(const JobProgress& progress) {
    char text[PROGRESS_TEXT_SIZE];
    format_progress_text(progress, text);
    record(std::string("set_progress_text ") + text);
}

bool RecordingView::is_row_selected(int row) {
    record("is_row_selected " + std::to_string(row));
    return row == selectedRow_;
}

void RecordingView::refresh_failure_box() {
    record("refresh_failure_box");
}

void RecordingView::show_message(const char* text, const char* caption, MessageIcon icon) {
    record(std::string("show_message ") + caption + "|" + icon_name(icon) + "|" + text);
}

void RecordingView::job_finished() {
    record("job_finished");
}

std::vector<std::string> RecordingView::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<std::string> RecordingView::calls_of(const std::string& operation) const {
    std::vector<std::string> out;
    for (const std::string& call : calls()) {
        if (call == operation || call.rfind(operation + " ", 0) == 0) out.push_back(call);
    }
    return out;
}

std::vector<std::string> RecordingView::messages() const {
    std::vector<std::string> out;
    for (const std::string& call : calls_of("show_message")) out.push_back(call.substr(13));
    return out;
}
