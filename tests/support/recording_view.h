// A MoveJobView that writes down every call, for tests of the move job.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "engine/move_job_view.h"

class RecordingView : public MoveJobView {
  public:
    // The row that is_row_selected answers true for (-1: none).
    explicit RecordingView(int selectedRow = -1) : selectedRow_(selectedRow) {}

    void ensure_row_visible(int row) override;
    void set_row_status(int row, ItemState state) override;
    void set_row_failures(int row, FailureColumn column, int count) override;
    void set_progress(int finished) override;
    void set_progress_text(const JobProgress& progress) override;
    bool is_row_selected(int row) override;
    void refresh_failure_box() override;
    void show_message(const char* text, const char* caption, MessageIcon icon) override;
    void job_finished() override;

    // Every call in order, one line each: the operation and its arguments
    // separated by spaces (texts as given, states and progress as the window
    // words them; GBK).
    std::vector<std::string> calls() const;
    // Only the calls of one operation.
    std::vector<std::string> calls_of(const std::string& operation) const;
    // The messages shown, as "caption|icon|text".
    std::vector<std::string> messages() const;

  private:
    void record(std::string line);
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    int selectedRow_;
};
