// System-wide hot keys on X11: passive key grabs on the root window through
// XCB. A grab that the server refuses (another client holds the same key and
// modifiers) makes the registration fail, like RegisterHotKey on Windows. Each
// key is grabbed four times, with and without NumLock (Mod2) and CapsLock
// (Lock), so the hot key works whatever the lock keys' state. One connection
// per display is shared by all registrations; a background thread reads its
// key presses and calls the matching registration's callback.

#include "platform/global_hotkey.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

namespace kelv::platform {
namespace {

constexpr std::uint16_t kChordModifiers =
    XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;
constexpr std::uint16_t kLockVariants[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2,
                                           XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};

std::uint16_t modifierMask(const HotKeyChord &chord)
{
    std::uint16_t mask = 0;
    if (chord.shift)
        mask |= XCB_MOD_MASK_SHIFT;
    if (chord.control)
        mask |= XCB_MOD_MASK_CONTROL;
    if (chord.alt)
        mask |= XCB_MOD_MASK_1;
    if (chord.meta)
        mask |= XCB_MOD_MASK_4;
    return mask;
}

class Connection
{
public:
    struct Registration
    {
        std::vector<xcb_keycode_t> keycodes;
        std::uint16_t modifiers = 0;
        GlobalHotKey::Callback callback;
    };

    static std::shared_ptr<Connection> forDisplay(const std::string &display)
    {
        static std::mutex registryMutex;
        static std::map<std::string, std::weak_ptr<Connection>> registry;
        std::lock_guard<std::mutex> lock(registryMutex);
        std::weak_ptr<Connection> &slot = registry[display];
        if (std::shared_ptr<Connection> existing = slot.lock())
            return existing;
        auto created = std::make_shared<Connection>(display);
        if (!created->isOpen())
            return nullptr;
        slot = created;
        return created;
    }

    explicit Connection(const std::string &display)
    {
        m_connection = xcb_connect(display.empty() ? nullptr : display.c_str(), nullptr);
        if (!m_connection || xcb_connection_has_error(m_connection))
            return;
        const xcb_setup_t *setup = xcb_get_setup(m_connection);
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
        if (!screens.rem)
            return;
        m_root = screens.data->root;
        m_symbols = xcb_key_symbols_alloc(m_connection);
        if (!m_symbols || pipe(m_wake) != 0) {
            m_wake[0] = m_wake[1] = -1;
            return;
        }
        m_open = true;
        m_reader = std::thread([this] { readEvents(); });
    }

    ~Connection()
    {
        if (m_reader.joinable()) {
            m_stop = true;
            wakeReader();
            m_reader.join();
        }
        for (int fd : m_wake) {
            if (fd >= 0)
                close(fd);
        }
        if (m_symbols)
            xcb_key_symbols_free(m_symbols);
        if (m_connection)
            xcb_disconnect(m_connection);
    }

    bool isOpen() const { return m_open; }

    // Returns the registration id, or 0 when the key cannot be grabbed.
    int add(const HotKeyChord &chord, GlobalHotKey::Callback callback)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const RecheckOnReturn recheck(*this);
        Registration registration;
        registration.modifiers = modifierMask(chord);
        registration.callback = std::move(callback);
        if (xcb_keycode_t *codes = xcb_key_symbols_get_keycode(m_symbols, chord.keysym)) {
            for (xcb_keycode_t *code = codes; *code != XCB_NO_SYMBOL; ++code) {
                if (std::find(registration.keycodes.begin(), registration.keycodes.end(), *code) ==
                    registration.keycodes.end())
                    registration.keycodes.push_back(*code);
            }
            std::free(codes);
        }
        if (registration.keycodes.empty())
            return 0;

        // Our own grabs are not refused by the server (a client may grab the
        // same key twice), so a chord taken by another registration of this
        // process is refused here.
        for (const auto &entry : m_registrations) {
            if (entry.second.modifiers != registration.modifiers)
                continue;
            for (xcb_keycode_t code : registration.keycodes) {
                if (std::find(entry.second.keycodes.begin(), entry.second.keycodes.end(), code) !=
                    entry.second.keycodes.end())
                    return 0;
            }
        }

        std::vector<xcb_void_cookie_t> cookies;
        for (xcb_keycode_t code : registration.keycodes) {
            for (std::uint16_t variant : kLockVariants) {
                cookies.push_back(xcb_grab_key_checked(
                    m_connection, 1, m_root, std::uint16_t(registration.modifiers | variant), code,
                    XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
            }
        }
        bool refused = false;
        for (xcb_void_cookie_t cookie : cookies) {
            if (xcb_generic_error_t *error = xcb_request_check(m_connection, cookie)) {
                refused = true;
                std::free(error);
            }
        }
        if (refused) {
            ungrab(registration);
            return 0;
        }
        const int id = ++m_lastId;
        m_registrations.emplace(id, std::move(registration));
        return id;
    }

    void remove(int id)
    {
        // Taking the lock also waits for a callback of this registration that
        // the reader may be running right now.
        std::lock_guard<std::mutex> lock(m_mutex);
        const RecheckOnReturn recheck(*this);
        auto it = m_registrations.find(id);
        if (it == m_registrations.end())
            return;
        ungrab(it->second);
        m_registrations.erase(it);
    }

private:
    // Waiting for a reply here may read the reader's key events into xcb's
    // queue, where its poll() cannot see them: the reader is told to look.
    struct RecheckOnReturn
    {
        explicit RecheckOnReturn(Connection &connection) : m_connection(connection) {}
        ~RecheckOnReturn() { m_connection.wakeReader(); }
        Connection &m_connection;
    };

    void wakeReader()
    {
        const char byte = 0;
        if (write(m_wake[1], &byte, 1) < 0) {
            // A full pipe wakes the reader already.
        }
    }

    // Waits until the server has released the key, so that a registration
    // made right after this (by us over a new connection, or by another
    // program) finds it free.
    void ungrab(const Registration &registration)
    {
        std::vector<xcb_void_cookie_t> cookies;
        for (xcb_keycode_t code : registration.keycodes) {
            for (std::uint16_t variant : kLockVariants)
                cookies.push_back(xcb_ungrab_key_checked(
                    m_connection, code, m_root, std::uint16_t(registration.modifiers | variant)));
        }
        for (xcb_void_cookie_t cookie : cookies)
            std::free(xcb_request_check(m_connection, cookie));
    }

    void readEvents()
    {
        pollfd fds[2] = {{xcb_get_file_descriptor(m_connection), POLLIN, 0},
                         {m_wake[0], POLLIN, 0}};
        while (!m_stop) {
            // Sleeps until the server sends something or another thread wakes
            // it (to end, or to look at xcb's queue after waiting for a reply).
            if (poll(fds, 2, -1) < 0 && errno != EINTR)
                break;
            if (fds[1].revents & POLLIN) {
                char bytes[64];
                if (read(m_wake[0], bytes, sizeof bytes) < 0) {
                    // Nothing to drain after all.
                }
            }
            if (m_stop)
                break;
            while (xcb_generic_event_t *event = xcb_poll_for_event(m_connection)) {
                if ((event->response_type & 0x7f) == XCB_KEY_PRESS)
                    dispatch(*reinterpret_cast<xcb_key_press_event_t *>(event));
                std::free(event);
            }
            if (xcb_connection_has_error(m_connection))
                break;
        }
    }

    void dispatch(const xcb_key_press_event_t &press)
    {
        const std::uint16_t modifiers = press.state & kChordModifiers;
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto &entry : m_registrations) {
            const Registration &registration = entry.second;
            if (registration.modifiers == modifiers &&
                std::find(registration.keycodes.begin(), registration.keycodes.end(),
                          press.detail) != registration.keycodes.end()) {
                registration.callback();
                return;
            }
        }
    }

    xcb_connection_t *m_connection = nullptr;
    xcb_window_t m_root = 0;
    xcb_key_symbols_t *m_symbols = nullptr;
    int m_wake[2] = {-1, -1};
    bool m_open = false;
    std::atomic<bool> m_stop{false};
    std::thread m_reader;
    std::mutex m_mutex;
    std::map<int, Registration> m_registrations;
    int m_lastId = 0;
};

class X11HotKey final : public GlobalHotKey
{
public:
    X11HotKey(std::shared_ptr<Connection> connection, int id)
        : m_connection(std::move(connection)), m_id(id)
    {
    }
    ~X11HotKey() override { m_connection->remove(m_id); }

private:
    std::shared_ptr<Connection> m_connection;
    int m_id;
};

} // namespace

std::unique_ptr<GlobalHotKey>
GlobalHotKey::registerChord(const HotKeyChord &chord, Callback callback, const std::string &display)
{
    if (chord.keysym == 0 || !callback)
        return nullptr;
    std::string name = display;
    if (name.empty()) {
        const char *env = std::getenv("DISPLAY");
        if (!env || !*env)
            return nullptr;
        name = env;
    }
    std::shared_ptr<Connection> connection = Connection::forDisplay(name);
    if (!connection)
        return nullptr;
    const int id = connection->add(chord, std::move(callback));
    if (id == 0)
        return nullptr;
    return std::make_unique<X11HotKey>(std::move(connection), id);
}

} // namespace kelv::platform
