#include "gui_driver.h"

#include <commctrl.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

std::string kelvaneExe;
std::string screenshotFolder;

std::string windows_path(const std::string& path) {
    if (path.empty() || path[0] != '/') return path;
    std::string out = "Z:" + path;
    for (char& c : out) {
        if (c == '/') c = '\\';
    }
    return out;
}

namespace {

// Memory inside the program's process, for messages that carry pointers
// (the list view does not copy them across processes by itself).
class RemoteBuffer {
  public:
    RemoteBuffer(DWORD processId, size_t size) : size_(size) {
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                               processId);
        if (process_ != nullptr) {
            base_ = static_cast<char*>(
                VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        }
    }
    ~RemoteBuffer() {
        if (base_ != nullptr) VirtualFreeEx(process_, base_, 0, MEM_RELEASE);
        if (process_ != nullptr) CloseHandle(process_);
    }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;

    bool ok() const { return base_ != nullptr; }
    char* at(size_t offset) const { return base_ + offset; }
    bool write(size_t offset, const void* data, size_t length) const {
        if (offset + length > size_) return false;
        SIZE_T done = 0;
        return WriteProcessMemory(process_, base_ + offset, data, length, &done) && done == length;
    }
    bool read(size_t offset, void* out, size_t length) const {
        if (offset + length > size_) return false;
        SIZE_T done = 0;
        return ReadProcessMemory(process_, base_ + offset, out, length, &done) && done == length;
    }

  private:
    HANDLE process_ = nullptr;
    char* base_ = nullptr;
    size_t size_;
};

struct FindMain {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK find_main(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<FindMain*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    if (owner == search->processId && std::strcmp(name, "CodeBlocksWindowsApp") == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

struct FindBox {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK find_box(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<FindBox*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    if (owner == search->processId && std::strcmp(name, "#32770") == 0 && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK collect(HWND window, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

std::string read_text(HWND window) {
    char buffer[16384] = "";
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer),
                             SMTO_ABORTIFHUNG, 5000, &length)) {
        return "";
    }
    buffer[sizeof buffer - 1] = '\0';
    return buffer;
}

std::wstring read_wide_text(HWND window) {
    wchar_t buffer[16384] = L"";
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 16384, reinterpret_cast<LPARAM>(buffer),
                             SMTO_ABORTIFHUNG, 5000, &length)) {
        return L"";
    }
    buffer[16383] = L'\0';
    return buffer;
}

uint32_t crc_table[256];

void make_crc_table() {
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        crc_table[n] = c;
    }
}

uint32_t crc32(const std::string& bytes, size_t from) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = from; i < bytes.size(); ++i) {
        c = crc_table[(c ^ static_cast<unsigned char>(bytes[i])) & 0xFF] ^ (c >> 8);
    }
    return c ^ 0xFFFFFFFFu;
}

void put32(std::string* out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<char>(value >> shift));
}

void chunk(std::string* png, const char* type, const std::string& data) {
    put32(png, static_cast<uint32_t>(data.size()));
    const size_t start = png->size();
    png->append(type, 4);
    png->append(data);
    put32(png, crc32(*png, start));
}

HWND list_of(HWND main) {
    std::vector<HWND> all;
    EnumChildWindows(main, collect, reinterpret_cast<LPARAM>(&all));
    for (HWND window : all) {
        char name[64] = "";
        GetClassNameA(window, name, sizeof name);
        if (std::strcmp(name, "SysListView32") == 0) return window;
    }
    return nullptr;
}

}  // namespace

bool write_png(const std::string& path, int width, int height, const unsigned char* bgrx) {
    make_crc_table();
    std::string raw;
    raw.reserve(static_cast<size_t>(height) * (width * 3 + 1));
    for (int y = 0; y < height; ++y) {
        raw.push_back('\0');  // no filter
        const unsigned char* row = bgrx + static_cast<size_t>(y) * width * 4;
        for (int x = 0; x < width; ++x) {
            raw.push_back(static_cast<char>(row[x * 4 + 2]));
            raw.push_back(static_cast<char>(row[x * 4 + 1]));
            raw.push_back(static_cast<char>(row[x * 4 + 0]));
        }
    }
    // zlib stream of stored blocks: no compressor needed.
    std::string z = "\x78\x01";
    uint32_t a = 1, b = 0;
    for (unsigned char byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    for (size_t at = 0; at < raw.size() || at == 0; at += 65535) {
        const size_t length = raw.size() - at < 65535 ? raw.size() - at : 65535;
        const bool last = at + length >= raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(static_cast<char>(length & 0xFF));
        z.push_back(static_cast<char>(length >> 8));
        z.push_back(static_cast<char>(~length & 0xFF));
        z.push_back(static_cast<char>((~length >> 8) & 0xFF));
        z.append(raw, at, length);
        if (last) break;
    }
    put32(&z, (b << 16) | a);
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string header;
    put32(&header, static_cast<uint32_t>(width));
    put32(&header, static_cast<uint32_t>(height));
    header += std::string("\x08\x02\x00\x00\x00", 5);
    chunk(&png, "IHDR", header);
    chunk(&png, "IDAT", z);
    chunk(&png, "IEND", "");
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(png.data(), 1, png.size(), file) == png.size();
    return std::fclose(file) == 0 && written;
}

namespace {

void set_log_pixels(DWORD dpi) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    RegSetValueExA(key, "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof dpi);
    RegCloseKey(key);
}

}  // namespace

ScreenDpi::ScreenDpi(int dpi) {
    set_log_pixels(static_cast<DWORD>(dpi));
}

ScreenDpi::~ScreenDpi() {
    set_log_pixels(96);
}

RunningProgram::RunningProgram(const std::string& folder, bool waitForMain) {
    const std::string copy = folder + "\\kelvane.exe";
    if (!CopyFileA(kelvaneExe.c_str(), copy.c_str(), FALSE)) return;
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESHOWWINDOW;
    start.wShowWindow = SW_SHOWNORMAL;
    std::string commandLine = "\"" + copy + "\"";
    if (!CreateProcessA(copy.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &start, &info_)) {
        return;
    }
    WaitForInputIdle(info_.hProcess, 10000);
    if (!waitForMain) return;
    wait_for([&] {
        FindMain search{info_.dwProcessId, nullptr};
        EnumWindows(find_main, reinterpret_cast<LPARAM>(&search));
        main_ = search.found;
        return main_ != nullptr && IsWindowVisible(main_);
    });
}

RunningProgram::~RunningProgram() {
    if (info_.hProcess == nullptr) return;
    if (!exited()) {
        TerminateProcess(info_.hProcess, 99);
        WaitForSingleObject(info_.hProcess, 5000);
    }
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
}

bool RunningProgram::exited(DWORD waitMs) const {
    return WaitForSingleObject(info_.hProcess, waitMs) == WAIT_OBJECT_0;
}

DWORD RunningProgram::exit_code() const {
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(info_.hProcess, &code);
    return code;
}

std::vector<HWND> RunningProgram::children(HWND parent) const {
    // Creation order: every new child goes to the bottom of its siblings.
    std::vector<HWND> out;
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        out.push_back(child);
    }
    return out;
}

HWND RunningProgram::child(HWND parent, int index) const {
    const std::vector<HWND> all = children(parent);
    return index >= 0 && index < static_cast<int>(all.size()) ? all[index] : nullptr;
}

HWND RunningProgram::control(int id) const {
    std::vector<HWND> all;
    EnumChildWindows(main_, collect, reinterpret_cast<LPARAM>(&all));
    for (HWND window : all) {
        if (GetDlgCtrlID(window) == id) return window;
    }
    return nullptr;
}

HWND RunningProgram::control_by_text(const std::string& wanted) const {
    std::vector<HWND> all;
    EnumChildWindows(main_, collect, reinterpret_cast<LPARAM>(&all));
    for (HWND window : all) {
        if (read_text(window) == wanted) return window;
    }
    return nullptr;
}

std::string RunningProgram::text(HWND window) const {
    return read_text(window);
}

void RunningProgram::set_text(HWND window, const std::string& text) const {
    SendMessageA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::wstring RunningProgram::wide_text(HWND window) const {
    return read_wide_text(window);
}

void RunningProgram::set_text(HWND window, const std::wstring& text) const {
    SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void RunningProgram::click(HWND button) const {
    PostMessageA(button, BM_CLICK, 0, 0);
}

void RunningProgram::set_check(HWND box, bool on) const {
    SendMessageA(box, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool RunningProgram::checked(HWND box) const {
    return SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

HWND RunningProgram::focus() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(thread_id(), &info)) return nullptr;
    return info.hwndFocus;
}

void RunningProgram::key(WORD virtualKey, bool shift) const {
    // Into the program's window in front: a message box of its own stays there.
    DWORD owner = 0;
    GetWindowThreadProcessId(GetForegroundWindow(), &owner);
    if (owner != info_.dwProcessId) SetForegroundWindow(main_);
    std::vector<INPUT> inputs;
    auto add = [&](WORD vk, bool up) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = vk;
        input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
        inputs.push_back(input);
    };
    if (shift) add(VK_SHIFT, false);
    add(virtualKey, false);
    add(virtualKey, true);
    if (shift) add(VK_SHIFT, true);
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

int RunningProgram::row_count() const {
    return static_cast<int>(SendMessageA(list_of(main_), LVM_GETITEMCOUNT, 0, 0));
}

std::string RunningProgram::cell(int row, int column) const {
    constexpr size_t TEXT_SIZE = 1024;
    RemoteBuffer remote(info_.dwProcessId, sizeof(LVITEMA) + TEXT_SIZE);
    if (!remote.ok()) return "<no remote memory>";
    LVITEMA item{};
    item.iSubItem = column;
    item.pszText = remote.at(sizeof item);
    item.cchTextMax = TEXT_SIZE;
    const char nothing = '\0';
    remote.write(0, &item, sizeof item);
    remote.write(sizeof item, &nothing, 1);
    SendMessageA(list_of(main_), LVM_GETITEMTEXTA, static_cast<WPARAM>(row),
                 reinterpret_cast<LPARAM>(remote.at(0)));
    char text[TEXT_SIZE] = "";
    remote.read(sizeof item, text, TEXT_SIZE);
    text[TEXT_SIZE - 1] = '\0';
    return text;
}

std::string RunningProgram::column_header(int column) const {
    constexpr size_t TEXT_SIZE = 256;
    RemoteBuffer remote(info_.dwProcessId, sizeof(LVCOLUMNA) + TEXT_SIZE);
    if (!remote.ok()) return "<no remote memory>";
    LVCOLUMNA header{};
    header.mask = LVCF_TEXT;
    header.pszText = remote.at(sizeof header);
    header.cchTextMax = TEXT_SIZE;
    remote.write(0, &header, sizeof header);
    SendMessageA(list_of(main_), LVM_GETCOLUMNA, static_cast<WPARAM>(column),
                 reinterpret_cast<LPARAM>(remote.at(0)));
    char text[TEXT_SIZE] = "";
    remote.read(sizeof header, text, TEXT_SIZE);
    text[TEXT_SIZE - 1] = '\0';
    return text;
}

void RunningProgram::select_row(int row) const {
    RemoteBuffer remote(info_.dwProcessId, sizeof(LVITEMA));
    if (!remote.ok()) return;
    LVITEMA item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = row >= 0 ? LVIS_SELECTED | LVIS_FOCUSED : 0;
    remote.write(0, &item, sizeof item);
    // -1 addresses every row: clears the selection.
    SendMessageA(list_of(main_), LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                 reinterpret_cast<LPARAM>(remote.at(0)));
}

bool RunningProgram::row_selected(int row) const {
    return SendMessageA(list_of(main_), LVM_GETITEMSTATE, static_cast<WPARAM>(row),
                        LVIS_SELECTED) == LVIS_SELECTED;
}

MessageBoxSeen RunningProgram::message_box() const {
    MessageBoxSeen seen;
    FindBox search{info_.dwProcessId, nullptr};
    EnumWindows(find_box, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) return seen;
    seen.window = search.found;
    char caption[256] = "";
    GetWindowTextA(search.found, caption, sizeof caption);
    seen.caption = caption;
    seen.wideCaption = read_wide_text(search.found);
    for (HWND child : children(search.found)) {
        char name[64] = "";
        GetClassNameA(child, name, sizeof name);
        if (_stricmp(name, "Static") == 0) {
            const std::string text = read_text(child);
            if (text.size() > seen.text.size()) seen.text = text;
            const std::wstring wide = read_wide_text(child);
            if (wide.size() > seen.wideText.size()) seen.wideText = wide;
        }
    }
    auto shown = [&](int id) {
        HWND button = GetDlgItem(search.found, id);
        return button != nullptr && IsWindowVisible(button);
    };
    seen.hasOk = shown(IDOK);
    seen.hasCancel = shown(IDCANCEL);
    seen.hasYes = shown(IDYES);
    seen.hasNo = shown(IDNO);
    return seen;
}

MessageBoxSeen RunningProgram::wait_message_box(double seconds) const {
    MessageBoxSeen seen;
    wait_for(
        [&] {
            seen = message_box();
            return seen.window != nullptr && !seen.text.empty();
        },
        seconds);
    return seen;
}

void RunningProgram::press(const MessageBoxSeen& box, int buttonId) const {
    HWND button = GetDlgItem(box.window, buttonId);
    PostMessageA(box.window, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
    wait_for([&] { return !IsWindow(box.window) || !IsWindowVisible(box.window); }, 5);
}

bool RunningProgram::screenshot(const std::string& name) const {
    SetForegroundWindow(main_);
    RedrawWindow(main_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(500);  // let the program's thread finish painting
    RECT frame;
    GetWindowRect(main_, &frame);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY);
    GdiFlush();
    const bool written = write_png(screenshotFolder + "\\" + name, width, height,
                                   static_cast<const unsigned char*>(bits));
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return written;
}
