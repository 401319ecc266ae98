// The Windows doorbell: a message-only window on the host's thread, rung by a posted private
// message, so that any message loop of the host runs onRing on that thread.
#include "control/host_doorbell.h"
#include "control/win/window_class.h"

#include <windows.h>

#include <atomic>
#include <utility>

namespace voxtrel {

namespace {

constexpr wchar_t kClassName[] = L"VoxtrelHostDoorbell";
constexpr UINT kRingMessage = WM_APP;
// Posted by a doorbell destroyed on another thread: only the window's own thread can destroy it.
constexpr UINT kCloseMessage = WM_APP + 1;

class WindowsDoorbell final : public HostDoorbell {
  public:
    static std::unique_ptr<HostDoorbell> Make(std::function<void()> onRing);
    ~WindowsDoorbell() override;

    void Ring() override;
    bool Wait(int timeoutMs) override;
    int Descriptor() const override { return -1; }
    bool PumpsMessages() const override { return true; }

  private:
    explicit WindowsDoorbell(std::function<void()> onRing) : onRing_(std::move(onRing)) {}
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static ModuleWindowClass windowClass_;

    HWND hwnd_ = nullptr;
    std::function<void()> onRing_;
    // At most one ring message waits in the queue: rings that come while one waits add nothing.
    std::atomic<bool> posted_{false};
    unsigned handledRings_ = 0;  // host's thread only
    // Cleared by the destructor: lets Wait see that onRing destroyed the doorbell under it.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

ModuleWindowClass WindowsDoorbell::windowClass_(kClassName, WindowsDoorbell::WindowProc);

std::unique_ptr<HostDoorbell> WindowsDoorbell::Make(std::function<void()> onRing) {
    std::unique_ptr<WindowsDoorbell> bell(new WindowsDoorbell(std::move(onRing)));
    if (!windowClass_.Acquire()) return nullptr;
    bell->hwnd_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  CodeModule(), bell.get());
    if (!bell->hwnd_) {
        windowClass_.Release();
        return nullptr;
    }
    return bell;
}

WindowsDoorbell::~WindowsDoorbell() {
    *alive_ = false;
    if (hwnd_) {
        // A ring still queued goes with the window.
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        if (GetWindowThreadProcessId(hwnd_, nullptr) == GetCurrentThreadId()) {
            DestroyWindow(hwnd_);
            windowClass_.Release();
        } else {
            // Destroyed on another thread (a host may release the control anywhere): the window's
            // own loop ends it and then lets go of the class. Left alone, the window would keep
            // the class registered after its last user, and no later doorbell could register it.
            PostMessageW(hwnd_, kCloseMessage, 0, 0);
        }
    }
}

void WindowsDoorbell::Ring() {
    if (posted_.exchange(true)) return;
    if (!PostMessageW(hwnd_, kRingMessage, 0, 0)) posted_.store(false);
}

bool WindowsDoorbell::Wait(int timeoutMs) {
    const unsigned before = handledRings_;
    const std::shared_ptr<bool> alive = alive_;
    const ULONGLONG deadline =
        GetTickCount64() + static_cast<ULONGLONG>(timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                // The host's own loop must still see it.
                PostQuitMessage(static_cast<int>(msg.wParam));
                return *alive && handledRings_ != before;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            if (!*alive) return true;
            if (handledRings_ != before) return true;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

LRESULT CALLBACK WindowsDoorbell::WindowProc(HWND hwnd, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    } else if (message == kCloseMessage) {
        DestroyWindow(hwnd);
        windowClass_.Release();
        return 0;
    } else if (message == kRingMessage) {
        auto* bell = reinterpret_cast<WindowsDoorbell*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (!bell) return 0;
        // Cleared first: a ring that comes while onRing runs posts a new message.
        bell->posted_.store(false);
        ++bell->handledRings_;
        // onRing may destroy the doorbell; nothing of it is touched afterwards.
        if (bell->onRing_) bell->onRing_();
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

std::unique_ptr<HostDoorbell> HostDoorbell::Create(std::function<void()> onRing) {
    return WindowsDoorbell::Make(std::move(onRing));
}

}  // namespace voxtrel
