// System-wide hot keys on Windows: RegisterHotKey on a thread of its own that
// runs a message loop, so WM_HOTKEY arrives whatever the program's main
// thread is doing. Windows refuses a chord that another program (or an
// earlier registration of this one) holds, and the registration fails.

#include "platform/global_hotkey.h"

#include <atomic>
#include <future>
#include <thread>
#include <windows.h>

namespace kelv::platform {
namespace {

struct SpecialKey
{
    std::uint32_t keysym;
    UINT virtualKey;
};

constexpr SpecialKey kSpecialKeys[] = {
    {0xff1b, VK_ESCAPE}, {0xff09, VK_TAB},      {0xfe20, VK_TAB},      {0xff08, VK_BACK},
    {0xff0d, VK_RETURN}, {0xff8d, VK_RETURN},   {0xff63, VK_INSERT},   {0xffff, VK_DELETE},
    {0xff13, VK_PAUSE},  {0xff61, VK_SNAPSHOT}, {0xff15, VK_SNAPSHOT}, {0xff0b, VK_CLEAR},
    {0xff50, VK_HOME},   {0xff57, VK_END},      {0xff51, VK_LEFT},     {0xff52, VK_UP},
    {0xff53, VK_RIGHT},  {0xff54, VK_DOWN},     {0xff55, VK_PRIOR},    {0xff56, VK_NEXT},
    {0xff67, VK_APPS},   {0xff6a, VK_HELP},
};

// The virtual key of a keysym: letters and digits are their own virtual
// keys, F1..F24 follow VK_F1, other Latin-1 characters go through the
// keyboard layout (VkKeyScanW, as a Windows program names a character key).
UINT virtualKeyFor(std::uint32_t keysym)
{
    if (keysym >= 'a' && keysym <= 'z')
        return UINT('A' + (keysym - 'a'));
    if ((keysym >= 'A' && keysym <= 'Z') || (keysym >= '0' && keysym <= '9'))
        return UINT(keysym);
    if (keysym == ' ')
        return VK_SPACE;
    if (keysym >= 0xffbe && keysym < 0xffbe + 24)
        return UINT(VK_F1 + (keysym - 0xffbe));
    for (const SpecialKey &key : kSpecialKeys) {
        if (key.keysym == keysym)
            return key.virtualKey;
    }
    if (keysym > ' ' && keysym <= 0xff) {
        const SHORT scan = VkKeyScanW(WCHAR(keysym));
        if (scan != -1 && (scan & 0xff) != 0xff)
            return UINT(scan & 0xff);
    }
    return 0;
}

UINT modifiersFor(const HotKeyChord &chord)
{
    UINT modifiers = 0;
    if (chord.shift)
        modifiers |= MOD_SHIFT;
    if (chord.control)
        modifiers |= MOD_CONTROL;
    if (chord.alt)
        modifiers |= MOD_ALT;
    if (chord.meta)
        modifiers |= MOD_WIN;
    return modifiers;
}

constexpr int kHotKeyId = 1;

class Win32HotKey final : public GlobalHotKey
{
public:
    Win32HotKey(UINT modifiers, UINT virtualKey, Callback callback)
        : m_callback(std::move(callback))
    {
        std::promise<bool> registered;
        std::future<bool> result = registered.get_future();
        m_thread = std::thread(
            [this, modifiers, virtualKey, &registered] { run(modifiers, virtualKey, registered); });
        m_registered = result.get();
        if (!m_registered)
            m_thread.join();
    }

    ~Win32HotKey() override
    {
        if (m_thread.joinable()) {
            PostThreadMessageW(m_threadId.load(), WM_QUIT, 0, 0);
            m_thread.join();
        }
    }

    bool registered() const { return m_registered; }

private:
    void run(UINT modifiers, UINT virtualKey, std::promise<bool> &registered)
    {
        MSG message;
        // The thread's message queue exists once it has peeked.
        PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        m_threadId = GetCurrentThreadId();
        if (!RegisterHotKey(nullptr, kHotKeyId, modifiers, virtualKey)) {
            registered.set_value(false);
            return;
        }
        registered.set_value(true);
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (message.message == WM_HOTKEY && message.wParam == kHotKeyId)
                m_callback();
        }
        UnregisterHotKey(nullptr, kHotKeyId);
    }

    Callback m_callback;
    std::thread m_thread;
    std::atomic<DWORD> m_threadId{0};
    bool m_registered = false;
};

} // namespace

std::unique_ptr<GlobalHotKey> GlobalHotKey::registerChord(const HotKeyChord &chord,
                                                          Callback callback, const std::string &)
{
    if (chord.keysym == 0 || !callback)
        return nullptr;
    const UINT virtualKey = virtualKeyFor(chord.keysym);
    if (virtualKey == 0)
        return nullptr;
    auto hotKey =
        std::make_unique<Win32HotKey>(modifiersFor(chord), virtualKey, std::move(callback));
    if (!hotKey->registered())
        return nullptr;
    return hotKey;
}

} // namespace kelv::platform
