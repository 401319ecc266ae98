// The Windows doorbell: a message-only window on the host's thread. A ring posts it a private
// message; its window procedure hands the waiting events to the host's thread.
#include <windows.h>

#include "control/host_doorbell.h"

namespace voxtrel {

namespace {

constexpr UINT kRingMessage = WM_APP + 0x100;
const wchar_t kClassName[] = L"VoxtrelHostDoorbell";

class WindowDoorbell : public HostDoorbell {
  public:
    explicit WindowDoorbell(std::function<void()> onRing) : onRing_(std::move(onRing)) {}
    ~WindowDoorbell() override {
        if (window_ != nullptr) DestroyWindow(window_);
    }

    bool Open() {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = Procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kClassName;
        RegisterClassW(&windowClass);  // fails harmlessly when registered already
        window_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, this);
        return window_ != nullptr;
    }

    void Ring() override { PostMessageW(window_, kRingMessage, 0, 0); }

    bool Wait(int timeoutMs) override {
        DWORD start = GetTickCount();
        rung_ = false;
        for (;;) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            if (rung_) return true;
            DWORD elapsed = GetTickCount() - start;
            if (timeoutMs <= 0 || elapsed >= static_cast<DWORD>(timeoutMs)) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
        }
    }

    int Descriptor() const override { return -1; }

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        } else if (message == kRingMessage) {
            auto* self =
                reinterpret_cast<WindowDoorbell*>(GetWindowLongPtrW(window, GWLP_USERDATA));
            if (self != nullptr) {
                self->rung_ = true;
                self->onRing_();
            }
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    std::function<void()> onRing_;
    HWND window_ = nullptr;
    bool rung_ = false;
};

}  // namespace

std::unique_ptr<HostDoorbell> HostDoorbell::Create(std::function<void()> onRing) {
    auto doorbell = std::make_unique<WindowDoorbell>(std::move(onRing));
    if (!doorbell->Open()) return nullptr;
    return doorbell;
}

}  // namespace voxtrel
