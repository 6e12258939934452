// wintool: a small Windows program the tests run beside the installer (same
// Wine prefix, same display) to look at its windows and answer its boxes.
//
//   wintool window CLASS [--timeout MS] [--visible]
//       Waits for a top-level window of CLASS and prints its properties.
//   wintool gone CLASS [--timeout MS]
//       Waits until no visible top-level window of CLASS is left.
//   wintool post CLASS MESSAGE WPARAM LPARAM
//       Posts a message (numbers decimal or 0x hex) to the window of CLASS.
//   wintool lbuttonup CLASS X Y
//       Posts a left-button release at client coordinates (X, Y).
//   wintool box [--caption TEXT] [--text TEXT] [--click ok|cancel|none] [--timeout MS]
//       Waits for a visible dialog box with that caption and text (a line
//       break in it written as "\n"), prints it and clicks the button
//       (BM_CLICK). Default: any box, click none.
//   wintool sample CLASS CHILD_ID MESSAGE [--timeout MS] [--interval MS]
//       Every interval (default 50 ms) sends MESSAGE (wParam and lParam 0) to
//       the child CHILD_ID of the visible window of CLASS and prints the answer
//       as "value=N", until that window is hidden or gone ("end=hidden") or
//       the timeout ends ("end=timeout"). Exit code 1 when nothing was sampled.
//
// Exit code 0 when the window or box was found (and acted on), 1 on a
// timeout, 2 on bad arguments. Output is UTF-8, one "key=value" per line.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// A line break in a text is written as the two characters "\n", so that
// each value stays on its line; --text takes it in that form too.
std::wstring OneLine(const std::wstring& text) {
    std::wstring line;
    for (wchar_t unit : text)
        line += unit == L'\n' ? std::wstring(L"\\n") : std::wstring(1, unit);
    return line;
}

void Print(const char* key, const std::wstring& value) {
    std::printf("%s=%s\n", key, Utf8(OneLine(value)).c_str());
}
void Print(const char* key, long long value) {
    std::printf("%s=%lld\n", key, value);
}

std::wstring WindowText(HWND window) {
    wchar_t buffer[1024] = {};
    GetWindowTextW(window, buffer, 1024);
    return buffer;
}

std::wstring ClassOf(HWND window) {
    wchar_t buffer[256] = {};
    GetClassNameW(window, buffer, 256);
    return buffer;
}

std::wstring DialogText(HWND dialog) {
    // The message box's text is the static control with identifier 0xFFFF.
    wchar_t buffer[1024] = {};
    GetDlgItemTextW(dialog, 0xFFFF, buffer, 1024);
    return buffer;
}

struct Options {
    std::vector<std::wstring> positional;
    DWORD timeout = 10000;
    DWORD interval = 50;
    bool visible = false;
    std::wstring caption, text, click = L"none";
    bool hasCaption = false, hasText = false;
};

Options Parse(int argc, wchar_t** argv) {
    Options options;
    for (int i = 2; i < argc; ++i) {
        std::wstring arg = argv[i];
        auto next = [&]() -> std::wstring { return i + 1 < argc ? argv[++i] : L""; };
        if (arg == L"--timeout")
            options.timeout = static_cast<DWORD>(std::wcstoul(next().c_str(), nullptr, 10));
        else if (arg == L"--interval")
            options.interval = static_cast<DWORD>(std::wcstoul(next().c_str(), nullptr, 10));
        else if (arg == L"--visible")
            options.visible = true;
        else if (arg == L"--caption")
            options.caption = next(), options.hasCaption = true;
        else if (arg == L"--text")
            options.text = next(), options.hasText = true;
        else if (arg == L"--click")
            options.click = next();
        else
            options.positional.push_back(arg);
    }
    return options;
}

template <typename Predicate> bool WaitFor(DWORD timeout, Predicate ready) {
    const ULONGLONG deadline = GetTickCount64() + timeout;
    for (;;) {
        if (ready())
            return true;
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(50);
    }
}

HWND FindTop(const std::wstring& className, bool mustBeVisible) {
    HWND window = FindWindowW(className.c_str(), nullptr);
    while (window && mustBeVisible && !IsWindowVisible(window))
        window = FindWindowExW(nullptr, window, className.c_str(), nullptr);
    return window;
}

void PrintWindow(HWND window) {
    RECT rect{}, client{};
    GetWindowRect(window, &rect);
    GetClientRect(window, &client);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    Print("hwnd", reinterpret_cast<long long>(window));
    Print("pid", pid);
    Print("class", ClassOf(window));
    Print("title", WindowText(window));
    Print("style", static_cast<long long>(static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE))));
    Print("exstyle",
          static_cast<long long>(static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE))));
    Print("left", rect.left);
    Print("top", rect.top);
    Print("width", rect.right - rect.left);
    Print("height", rect.bottom - rect.top);
    Print("client_width", client.right);
    Print("client_height", client.bottom);
    Print("visible", IsWindowVisible(window) ? 1 : 0);
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        Print("child_class", ClassOf(child));
        Print("child_id", GetDlgCtrlID(child));
    }
}

struct BoxQuery {
    const Options* options;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectBox(HWND window, LPARAM lParam) {
    auto* query = reinterpret_cast<BoxQuery*>(lParam);
    if (!IsWindowVisible(window) || ClassOf(window) != L"#32770")
        return TRUE;
    const Options& options = *query->options;
    if (options.hasCaption && WindowText(window) != options.caption)
        return TRUE;
    if (options.hasText && OneLine(DialogText(window)) != options.text)
        return TRUE;
    query->found.push_back(window);
    return TRUE;
}

std::vector<HWND> FindBoxes(const Options& options) {
    BoxQuery query{&options, {}};
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

void PrintBox(HWND box) {
    HWND owner = GetWindow(box, GW_OWNER);
    DWORD pid = 0;
    GetWindowThreadProcessId(box, &pid);
    Print("box", reinterpret_cast<long long>(box));
    Print("pid", pid);
    Print("caption", WindowText(box));
    Print("text", DialogText(box));
    Print("owner", reinterpret_cast<long long>(owner));
    Print("owner_class", owner ? ClassOf(owner) : L"");
    Print("has_icon", GetDlgItem(box, 0x0440) ? 1 : 0);
    for (int id : {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO}) {
        if (HWND button = GetDlgItem(box, id))
            Print("button", id), Print("button_text", WindowText(button));
    }
}

long long Number(const std::wstring& text) {
    return std::wcstoll(text.c_str(), nullptr, 0);
}

int CommandWindow(const Options& options) {
    if (options.positional.size() != 1)
        return 2;
    HWND window = nullptr;
    if (!WaitFor(options.timeout, [&] {
            return (window = FindTop(options.positional[0], options.visible)) != nullptr;
        }))
        return 1;
    PrintWindow(window);
    return 0;
}

int CommandGone(const Options& options) {
    if (options.positional.size() != 1)
        return 2;
    return WaitFor(options.timeout, [&] { return !FindTop(options.positional[0], true); }) ? 0 : 1;
}

int CommandPost(const Options& options, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND window = FindTop(options.positional[0], false);
    if (!window)
        return 1;
    return PostMessageW(window, message, wParam, lParam) ? 0 : 1;
}

int CommandBox(const Options& options) {
    std::vector<HWND> boxes;
    if (!WaitFor(options.timeout, [&] { return !(boxes = FindBoxes(options)).empty(); }))
        return 1;
    HWND box = boxes.front();
    PrintBox(box);
    std::fflush(stdout);
    int button = 0;
    if (options.click == L"ok")
        button = IDOK;
    else if (options.click == L"cancel")
        button = IDCANCEL;
    if (button) {
        HWND control = GetDlgItem(box, button);
        if (!control)
            return 1;
        SendMessageW(control, BM_CLICK, 0, 0);
    }
    return 0;
}

int CommandSample(const Options& options, int childId, UINT message) {
    const ULONGLONG deadline = GetTickCount64() + options.timeout;
    int samples = 0;
    for (;;) {
        HWND window = FindTop(options.positional[0], true);
        if (!window) {
            std::printf("end=hidden\n");
            break;
        }
        if (GetTickCount64() >= deadline) {
            std::printf("end=timeout\n");
            break;
        }
        DWORD_PTR answer = 0;
        if (SendMessageTimeoutW(GetDlgItem(window, childId), message, 0, 0, SMTO_ABORTIFHUNG, 1000,
                                &answer)) {
            Print("value", static_cast<long long>(answer));
            ++samples;
        }
        Sleep(options.interval);
    }
    return samples > 0 ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2)
        return 2;
    const std::wstring command = argv[1];
    const Options options = Parse(argc, argv);
    const auto& args = options.positional;
    if (command == L"window")
        return CommandWindow(options);
    if (command == L"gone")
        return CommandGone(options);
    if (command == L"post" && args.size() == 4)
        return CommandPost(options, static_cast<UINT>(Number(args[1])),
                           static_cast<WPARAM>(Number(args[2])),
                           static_cast<LPARAM>(Number(args[3])));
    if (command == L"lbuttonup" && args.size() == 3)
        return CommandPost(
            options, WM_LBUTTONUP, 0,
            MAKELPARAM(static_cast<WORD>(Number(args[1])), static_cast<WORD>(Number(args[2]))));
    if (command == L"box")
        return CommandBox(options);
    if (command == L"sample" && args.size() == 3)
        return CommandSample(options, static_cast<int>(Number(args[1])),
                             static_cast<UINT>(Number(args[2])));
    return 2;
}
