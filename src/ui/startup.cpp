#include "ui/startup.h"

#include <winsock2.h>

#include <cstdio>

#include "http/connection.h"
#include "shell/app_log.h"
#include "shell/files.h"
#include "shell/version.h"
#include "ui/main_window.h"

namespace {

inline constexpr const char* PRODUCT_NAME = "Kelvane";
inline constexpr double PRODUCT_VERSION = 8.2;

void settle_folder() {
    char folder[PATH_BUFFER_SIZE] = "";
    if (!program_folder(folder)) {
        GetCurrentDirectoryA(sizeof folder, folder);
        folder[sizeof folder - 1] = '\0';
    }
    settle_program_folder(folder);
}

void stop_at_start(const char* message) {
    app_log(message);
    MessageBoxA(nullptr, message, "错误", MB_OK | MB_ICONERROR);
    ExitProcess(static_cast<UINT>(-1));
}

void start_sockets() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) stop_at_start("WSAStartup() failed!");
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
        WSACleanup();
        stop_at_start("Invalid WinSock version!");
    }
}

}  // namespace

int run_message_loop() {
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        if (handle_link_message(&message)) continue;
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}

int run_window_program(HINSTANCE instance, int showCommand) {
    settle_folder();
    app_log_open(settled_program_folder());
    start_sockets();
    connection_tables_init();

    char title[64];
    std::snprintf(title, sizeof title, "%s(V%0.1f)", PRODUCT_NAME, PRODUCT_VERSION);
    HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(101));
    if (!register_main_window_class(instance, icon)) return 0;
    install_window_fatal_handler();
    if (create_main_window(instance, title, showCommand) == nullptr) return 0;
    return run_message_loop();
}
