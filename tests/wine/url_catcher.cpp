// Stands in for the browser in the start-up tests: no page may be fetched, so
// the address the program hands over is only written down, each argument on a
// line of the file named by KELVANE_URL_CATCH.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char path[MAX_PATH] = "";
    const DWORD length = GetEnvironmentVariableA("KELVANE_URL_CATCH", path, sizeof path);
    if (length == 0 || length >= sizeof path) return 1;
    FILE* file = std::fopen(path, "ab");
    if (file == nullptr) return 1;
    for (int i = 1; i < __argc; ++i) std::fprintf(file, "%s\n", __argv[i]);
    return std::fclose(file) == 0 ? 0 : 1;
}
