// Key recording on Windows: a low-level keyboard hook (WH_KEYBOARD_LL) for
// all threads, installed on a thread of its own that runs the message loop
// Windows needs to call the hook. The hook always passes the key on.
//
// The record reports the hardware scan code and the extended-key flag of
// KBDLLHOOKSTRUCT as they are, whether or not the scan code table knows the
// key (Alt+Print Screen sends 0x54, Ctrl+Pause 0x46 extended); the X key code
// of the same key goes with them where there is one.

#include "platform/key_recorder.h"
#include "platform/scancode.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <windows.h>

namespace kelv::platform {

struct KeyRecorder::Impl
{
    std::thread thread;
    DWORD threadId = 0;
    Callback callback;

    std::mutex mutex;
    std::condition_variable changed;
    enum class State { Starting, Running, Failed, Ended } state = State::Ended;
    DWORD error = 0;

    void setState(State s)
    {
        std::lock_guard<std::mutex> lock(mutex);
        state = s;
        changed.notify_all();
    }

    void run();
    static LRESULT CALLBACK hookProc(int code, WPARAM message, LPARAM data);

    // The hook runs on the thread that installed it: each recording thread
    // knows its own recorder.
    static thread_local Impl *current;
};

thread_local KeyRecorder::Impl *KeyRecorder::Impl::current = nullptr;

LRESULT CALLBACK KeyRecorder::Impl::hookProc(int code, WPARAM message, LPARAM data)
{
    if (code == HC_ACTION && current) {
        const auto *event = reinterpret_cast<const KBDLLHOOKSTRUCT *>(data);
        const bool down = message == WM_KEYDOWN || message == WM_SYSKEYDOWN;
        const bool up = message == WM_KEYUP || message == WM_SYSKEYUP;
        ScanCode scan;
        scan.code = event->scanCode & 0xff;
        scan.extended = (event->flags & LLKHF_EXTENDED) != 0;
        // Scan code 0: a key sent by a program with a virtual key only,
        // which names no key of the keyboard.
        if ((down || up) && scan.code != 0) {
            RecordedKey key;
            key.pressed = down;
            xKeycodeForScanCode(scan, &key.keycode);
            key.scan = scan;
            key.time = event->time;
            current->callback(key);
        }
    }
    return CallNextHookEx(nullptr, code, message, data);
}

void KeyRecorder::Impl::run()
{
    MSG message;
    PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE); // creates the queue
    threadId = GetCurrentThreadId(); // read by start() once the state has changed
    current = this;
    HHOOK hook = SetWindowsHookExW(WH_KEYBOARD_LL, hookProc, GetModuleHandleW(nullptr), 0);
    if (!hook) {
        error = GetLastError();
        current = nullptr;
        setState(State::Failed);
        return;
    }
    setState(State::Running);
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    UnhookWindowsHookEx(hook);
    current = nullptr;
    setState(State::Ended);
}

KeyRecorder::KeyRecorder() : m_impl(std::make_unique<Impl>()) {}

KeyRecorder::~KeyRecorder()
{
    stop();
}

bool KeyRecorder::isRecording() const
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->state == Impl::State::Running;
}

bool KeyRecorder::start(Callback callback, std::string *error)
{
    stop();
    Impl &d = *m_impl;
    d.callback = std::move(callback);
    d.error = 0;
    d.setState(Impl::State::Starting);
    d.thread = std::thread([&d] { d.run(); });

    std::unique_lock<std::mutex> lock(d.mutex);
    d.changed.wait(lock, [&d] { return d.state != Impl::State::Starting; });
    const bool running = d.state == Impl::State::Running;
    lock.unlock();
    if (running)
        return true;
    d.thread.join();
    d.callback = nullptr;
    d.setState(Impl::State::Ended);
    if (error)
        *error = "the keyboard hook could not be installed (error " + std::to_string(d.error) + ")";
    return false;
}

void KeyRecorder::stop()
{
    Impl &d = *m_impl;
    if (d.thread.joinable()) {
        // The thread's queue exists (it peeked before installing the hook).
        PostThreadMessageW(d.threadId, WM_QUIT, 0, 0);
        d.thread.join();
        d.setState(Impl::State::Ended);
    }
    d.callback = nullptr;
}

} // namespace kelv::platform
