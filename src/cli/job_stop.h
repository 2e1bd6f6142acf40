// How the console's job is asked to stop. Every polite end of the process is
// a stop that saves, as Ctrl+C is: on POSIX SIGINT, SIGTERM and SIGHUP (a
// closed terminal or a dropped SSH session; left alone when the process was
// started to ignore it, as nohup does); on Windows the console's Ctrl+C,
// Ctrl+Break and close events, and the end of the session (logoff,
// shutdown), which a program linked with user32 learns from a window of
// its own rather than from the console. Output that can no longer be
// written ends nothing: SIGPIPE is ignored, and the console's writes go
// quiet after their first failure.
#pragma once

// Ignores SIGPIPE, for every command: a reader that went away is a write
// that fails, never the end of the process.
void ignore_broken_pipes();

// From the start of a job: the requests above set cancelRequested. Each
// job calls it again.
void arm_job_stop();

// The job has ended and everything is said and flushed: a handler that
// holds the process open until then lets go.
void job_stop_done();

#ifdef _WIN32
// The process ends when a close, logoff or shutdown handler returns; the
// system allows it about five seconds.
inline constexpr double CONSOLE_CLOSE_WAIT_S = 4.5;
// The console's event handler (a test may call it): Ctrl+C and Ctrl+Break
// ask the job to stop; the close, logoff and shutdown events ask too and
// return only when job_stop_done() was called or CONSOLE_CLOSE_WAIT_S has
// passed.
int __stdcall console_event(unsigned long event);
#endif
