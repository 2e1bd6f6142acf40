// The checks that must pass before a move job may start, shared by the
// window's Start button and kelvane-cli move.
#pragma once

#include "engine/move_job.h"

// The message of the first check that fails, or nullptr when the job may
// start: a source option chosen, a target folder given, existing, and not the
// desktop itself (a folder inside it is fine). `desktopFolder` may be empty.
const char* check_move_start(const MoveOptions& options, const char* desktopFolder);
