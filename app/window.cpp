#include "app/window.h"

#include <commctrl.h>

#include <system_error>
#include <thread>

#include "app/progress.h"
#include "base/unique_handle.h"
#include "install/worker.h"
#include "registration/register_product.h"

HINSTANCE g_instance = nullptr;
HWND g_mainWindow = nullptr;
HWND g_progressBar = nullptr;
HBITMAP g_background = nullptr;

namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBarFill = RGB(117, 130, 225);
// Fixed, not taken from the client rectangle: the text sits just above the bar.
constexpr RECT kProgressTextRect = {8, 276, 560, 300};

using UniqueMemoryDc = UniqueAny<HDC, DeleteDC>;
using UniqueFont = UniqueAny<HFONT, DeleteObject>;

// Selects a GDI object into a device context and puts the previous one back.
class ScopedSelection {
  public:
    ScopedSelection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    ~ScopedSelection() { SelectObject(dc_, previous_); }
    ScopedSelection(const ScopedSelection&) = delete;
    ScopedSelection& operator=(const ScopedSelection&) = delete;

  private:
    HDC dc_;
    HGDIOBJ previous_;
};

// BeginPaint and its EndPaint.
class PaintScope {
  public:
    explicit PaintScope(HWND window) : window_(window) { dc_ = BeginPaint(window, &paint_); }
    ~PaintScope() { EndPaint(window_, &paint_); }
    PaintScope(const PaintScope&) = delete;
    PaintScope& operator=(const PaintScope&) = delete;
    HDC dc() const { return dc_; }
    const RECT& updateRect() const { return paint_.rcPaint; }

  private:
    HWND window_;
    PAINTSTRUCT paint_{};
    HDC dc_ = nullptr;
};

void DrawBackground(HDC dc, const RECT& client) {
    UniqueMemoryDc memory(CreateCompatibleDC(dc));
    ScopedSelection selection(memory.get(), g_background);
    BITMAP bitmap{};
    GetObjectW(g_background, sizeof bitmap, &bitmap);
    StretchBlt(dc, 0, 0, client.right - client.left, client.bottom - client.top, memory.get(), 0, 0,
               bitmap.bmWidth, bitmap.bmHeight, SRCCOPY);
}

int CALLBACK NoteFace(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

bool FaceInstalled(HDC dc, const wchar_t* face) {
    LOGFONTW query{};
    query.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(query.lfFaceName, face, LF_FACESIZE);
    bool found = false;
    EnumFontFamiliesExW(dc, &query, NoteFace, reinterpret_cast<LPARAM>(&found), 0);
    return found;
}

// The installed face that has the progress text's characters (Microsoft
// YaHei, else SimSun); null when neither is installed.
const wchar_t* ChineseFace(HDC dc) {
    for (const wchar_t* candidate : {L"Microsoft YaHei", L"SimSun"})
        if (FaceInstalled(dc, candidate))
            return candidate;
    return nullptr;
}

// The font for the progress text where the system font cannot show it (see
// NeedsChineseFont): ChineseFace at the system font's height. Null where the
// system font serves, as on Chinese Windows, or where neither face is
// installed.
UniqueFont ProgressTextFont(HWND window) {
    LOGFONTW font{};
    if (!NeedsChineseFont(GetACP()) || !GetObjectW(GetStockObject(SYSTEM_FONT), sizeof font, &font))
        return UniqueFont();
    const HDC dc = GetDC(window);
    const wchar_t* face = dc ? ChineseFace(dc) : nullptr;
    if (dc)
        ReleaseDC(window, dc);
    if (!face)
        return UniqueFont();
    const LONG height = font.lfHeight;
    font = LOGFONTW{};
    font.lfHeight = height;
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfOutPrecision = OUT_TT_PRECIS;
    font.lfQuality = DEFAULT_QUALITY;
    lstrcpynW(font.lfFaceName, face, LF_FACESIZE);
    return UniqueFont(CreateFontIndirectW(&font));
}

UniqueFont g_progressTextFont;

void DrawWhiteText(HDC dc, const wchar_t* text, int length, RECT rect, UINT format) {
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, kWhite);
    DrawTextW(dc, text, length, &rect, format);
}

// Starts the worker on a detached thread. Both steps can throw: without a
// worker nothing would ever be downloaded, so the user is told as after a
// failed download, rather than the process ending unexplained. A thread that
// started but could not be detached is left to do its work: destroying a
// joinable std::thread would end the process, so its owner is never freed.
void StartInstallWorker(HWND window) {
    std::thread* worker = nullptr;
    try {
        worker = new std::thread(InstallWorker, window);
        worker->detach();
        delete worker;
    } catch (const std::system_error&) {
        if (!worker)
            ShowFailureAndOfferSupport(window, kDownloadFailureText);
    }
}

LRESULT OnCreate(HWND window) {
    // The entry function loaded the picture already; keep only this newer copy.
    HBITMAP fresh = LoadBackground(window);
    if (g_background)
        DeleteObject(g_background);
    g_background = fresh;

    g_progressBar = CreateWindowExW(
        0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 0, 300, kWindowWidth, 10, window,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kProgressBarId)), g_instance, nullptr);
    SendMessageW(g_progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageW(g_progressBar, PBM_SETBKCOLOR, 0, kWhite);
    SendMessageW(g_progressBar, PBM_SETBARCOLOR, 0, kBarFill);
    g_progressTextFont = ProgressTextFont(window);
    StartInstallWorker(window);

    // Before the window is shown; nothing below depends on how it went.
    RegisterProduct();
    return 0;
}

LRESULT OnDestroy() {
    if (g_background)
        DeleteObject(g_background);
    g_background = nullptr;
    g_progressTextFont.reset();
    PostQuitMessage(0);
    return 0;
}

LRESULT OnPaint(HWND window) {
    PaintScope paint(window);
    RECT client{};
    GetClientRect(window, &client);
    if (g_background)
        DrawBackground(paint.dc(), client);
    else
        FillRect(paint.dc(), &paint.updateRect(), reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));

    // The glyph is drawn centred on its hotspot.
    const LONG glyphRight = client.right - kCloseHotspotMargin;
    const RECT glyph = {glyphRight - (kCloseHotspotSide - 1), kCloseHotspotMargin, glyphRight,
                        kCloseHotspotMargin + kCloseHotspotSide - 1};
    DrawWhiteText(paint.dc(), L"X", 1, glyph, DT_SINGLELINE | DT_VCENTER | DT_CENTER);

    const std::uint64_t total = ProgressState.total.load(std::memory_order_relaxed);
    const std::uint64_t downloaded = ProgressState.downloaded.load(std::memory_order_relaxed);
    const ProgressText text = FormatProgressText(ProgressPercent(downloaded, total));
    // Without a font of its own the text keeps the DC's: selected again, it stays.
    ScopedSelection selection(paint.dc(), g_progressTextFont
                                              ? g_progressTextFont.get()
                                              : GetCurrentObject(paint.dc(), OBJ_FONT));
    DrawWhiteText(paint.dc(), text.data(), -1, kProgressTextRect, DT_SINGLELINE | DT_BOTTOM);
    return 0;
}

LRESULT OnLButtonUp(HWND window, LPARAM lParam) {
    RECT client{};
    GetClientRect(window, &client);
    if (IsInCloseHotspot(client.right, LOWORD(lParam), HIWORD(lParam)))
        PostMessageW(window, WM_CLOSE, 0, 0);
    return 0;
}

} // namespace

HBITMAP LoadBackground(HWND owner) {
    auto bitmap = static_cast<HBITMAP>(LoadImageW(g_instance, MAKEINTRESOURCEW(kBackgroundBitmapId),
                                                  IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
    if (!bitmap)
        MessageBoxW(owner, kBackgroundMissingText, kBackgroundMissingCaption, MB_ICONERROR);
    return bitmap;
}

int CenteredOrigin(int screenExtent, int windowExtent) {
    return (screenExtent - windowExtent) / 2;
}

bool IsInCloseHotspot(LONG clientRight, unsigned x, unsigned y) {
    const LONG column = static_cast<LONG>(x);
    const LONG right = clientRight - kCloseHotspotMargin;
    const unsigned bottom = kCloseHotspotMargin + kCloseHotspotSide - 1;
    return right - (kCloseHotspotSide - 1) <= column && column <= right &&
           kCloseHotspotMargin <= y && y <= bottom;
}

LRESULT CALLBACK InstallerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_DESTROY:
        return OnDestroy();
    case WM_PAINT:
        return OnPaint(window);
    case WM_LBUTTONUP:
        return OnLButtonUp(window, lParam);
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}
