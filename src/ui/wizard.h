// What the window does with the user's commands: the two pages, loading the
// package, choosing the folder, starting and closing.
#pragma once

#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>

#include "engine/start_checks.h"

// WM_COMMAND from a control (lParam names it).
void wizard_command(int controlId);
// WM_DROPFILES while page 1 shows.
void wizard_drop_files(HDROP drop);
// WM_CLOSE.
void wizard_close();
// WM_QUERYENDSESSION (logoff, shutdown): a running job is stopped without
// the close question, and the system is told why the program holds the end
// up while it saves. TRUE: the session may end.
BOOL wizard_query_end_session();
// WM_ENDSESSION for an ending session: the process ends as soon as this
// returns, so it ends the process itself once the job has saved.
void wizard_end_session();
// Opens the page behind a link text.
void wizard_open_link(HWND link);

// The control that gets the keyboard focus after a start check refused.
HWND start_check_focus(StartRefusal refusal);
