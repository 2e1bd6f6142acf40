#include "support/cli_runner.h"

#include "shell/charset.h"
#include "support/cli_test.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "support/temp_dir.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

std::string shell_quote(const std::string& arg) {
#ifdef _WIN32
    return "\"" + arg + "\"";
#else
    std::string out = "'";
    for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
#endif
}

}  // namespace

std::string utf8(const std::string& gbk) {
    char* converted = gbk_to_utf8(gbk.c_str());
    std::string out = converted;
    std::free(converted);
    return out;
}

std::string printed(const std::string& gbk) {
#ifdef _WIN32
    return gbk;
#else
    return utf8(gbk);
#endif
}

const char* cli_path() {
    return KELVANE_CLI_PATH;
}

CliRun run_cli(const std::vector<std::string>& args, const std::string& home,
               const std::vector<std::string>& env) {
    TempDir capture;
    const std::string out = capture.file("out.txt");
    const std::string err = capture.file("err.txt");
    std::string command;
#ifdef _WIN32
    command = "\"" + shell_quote(KELVANE_CLI_PATH);
#else
    command = "KELVANE_HOME=" + shell_quote(home) + " ";
    for (const std::string& setting : env) {
        const size_t equals = setting.find('=');  // the name must stay unquoted to be an assignment
        command += setting.substr(0, equals + 1) + shell_quote(setting.substr(equals + 1)) + " ";
    }
    command += shell_quote(KELVANE_CLI_PATH);
#endif
    for (const std::string& arg : args) command += " " + shell_quote(arg);
    command += " >" + shell_quote(out) + " 2>" + shell_quote(err);
#ifdef _WIN32
    command += "\"";
    (void)home;
    (void)env;
#endif
    CliRun run;
#ifdef _WIN32
    errno = 0;
    _doserrno = 0;
#endif
    const int raw = std::system(command.c_str());
#ifdef _WIN32
    run.status = raw;
    const int spawnErrno = errno;
    const unsigned long spawnError = _doserrno;
#else
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
#endif
    run.out = read_file(out);
    run.err = read_file(err);
#ifdef _WIN32
    // system() gives -1 both for a command that ended with -1 and for a shell
    // that never started; only the latter sets errno. Said in the test's output,
    // since nothing of kelvane-cli ran.
    if (raw == -1 && spawnErrno != 0) {
        const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
        const std::string said = "run_cli: the command shell did not start (errno " +
                                 std::to_string(spawnErrno) + ", Windows error " +
                                 std::to_string(spawnError) + ")";
        const std::string who =
            test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() + ": " : "";
        std::fprintf(stderr, "%s%s\n", who.c_str(), said.c_str());
        run.err += said + "\n";
    }
#endif
#ifdef _WIN32
    // A Windows console program ends its lines with CR LF; compare text as text.
    for (std::string* text : {&run.out, &run.err}) {
        for (size_t at; (at = text->find("\r\n")) != std::string::npos;) text->erase(at, 1);
    }
#endif
    return run;
}

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

pid_t start_cli(const std::vector<std::string>& args, const std::string& home,
                const std::vector<std::string>& wrapper, int output) {
    std::vector<char*> argv;
    for (const std::string& arg : wrapper) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(const_cast<char*>(KELVANE_CLI_PATH));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        setenv("KELVANE_HOME", home.c_str(), 1);
        // As a shell starts it: the tests' own ignored SIGPIPE is not inherited.
        signal(SIGPIPE, SIG_DFL);
        const int to = output >= 0 ? output : ::open("/dev/null", O_WRONLY);
        dup2(to, 1);
        dup2(to, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

int wait_cli(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
#endif
