// The window of an in-place active control. It only draws the control's icon: events reach the host
// through the core's own message-only window, whether or not this window exists.
#pragma once

#include <windows.h>

namespace voxtrel::com {

// Draws the icon stretched to bounds, the control's only picture in every drawing mode.
bool DrawControlIcon(HDC dc, const RECT& bounds, HICON icon);

class ControlWindow {
  public:
    ControlWindow() = default;
    ~ControlWindow() { Destroy(); }
    ControlWindow(const ControlWindow&) = delete;
    ControlWindow& operator=(const ControlWindow&) = delete;

    // A visible child of parent at position, clipped to clip (both in parent coordinates). The icon
    // is not owned and must outlive the window.
    bool Create(HWND parent, const RECT& position, const RECT& clip, HICON icon);
    void Destroy();
    void Move(const RECT& position, const RECT& clip);
    HWND Handle() const { return hwnd_; }

  private:
    HWND hwnd_ = nullptr;
};

}  // namespace voxtrel::com
