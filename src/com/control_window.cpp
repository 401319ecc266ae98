// The in-place window: its class, registered while any such window exists, and its painting.
#include "com/control_window.h"

#include "com/module.h"
#include "control/win/window_class.h"

namespace voxtrel::com {

namespace {

constexpr wchar_t kClassName[] = L"VoxtrelControlWindow";

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_NCCREATE: {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
            break;
        }
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(hwnd, &paint);
            RECT client;
            GetClientRect(hwnd, &client);
            DrawControlIcon(dc, client,
                            reinterpret_cast<HICON>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)));
            EndPaint(hwnd, &paint);
            return 0;
        }
        case WM_SIZE:
            InvalidateRect(hwnd, nullptr, TRUE);  // the icon is stretched: all of it changes
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

ModuleWindowClass windowClass(kClassName, WindowProc, COLOR_WINDOW + 1, IDC_ARROW);

void ApplyClip(HWND hwnd, const RECT& position, const RECT& clip) {
    RECT visible;
    if (!IntersectRect(&visible, &position, &clip)) SetRectEmpty(&visible);
    if (EqualRect(&visible, &position)) {
        SetWindowRgn(hwnd, nullptr, TRUE);
        return;
    }
    OffsetRect(&visible, -position.left, -position.top);
    HRGN region = CreateRectRgnIndirect(&visible);
    if (region && !SetWindowRgn(hwnd, region, TRUE))
        DeleteObject(region);  // else the window owns it
}

}  // namespace

bool DrawControlIcon(HDC dc, const RECT& bounds, HICON icon) {
    if (!dc || !icon) return false;
    return DrawIconEx(dc, bounds.left, bounds.top, icon, bounds.right - bounds.left,
                      bounds.bottom - bounds.top, 0, nullptr, DI_NORMAL) != FALSE;
}

bool ControlWindow::Create(HWND parent, const RECT& position, const RECT& clip, HICON icon) {
    if (hwnd_) return false;
    if (!windowClass.Acquire()) return false;
    hwnd_ = CreateWindowExW(0, kClassName, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS,
                            position.left, position.top, position.right - position.left,
                            position.bottom - position.top, parent, nullptr, ThisModule(), icon);
    if (!hwnd_) {
        windowClass.Release();
        return false;
    }
    ApplyClip(hwnd_, position, clip);
    return true;
}

void ControlWindow::Destroy() {
    if (!hwnd_) return;
    DestroyWindow(hwnd_);
    hwnd_ = nullptr;
    windowClass.Release();
}

void ControlWindow::Move(const RECT& position, const RECT& clip) {
    if (!hwnd_) return;
    MoveWindow(hwnd_, position.left, position.top, position.right - position.left,
               position.bottom - position.top, TRUE);
    ApplyClip(hwnd_, position, clip);
}

}  // namespace voxtrel::com
