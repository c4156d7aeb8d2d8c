#include "platform/key_recorder.h"
#include "platform/recorded_events.h"

#include <X11/XKBlib.h>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <xcb/record.h>
#include <xcb/xcb.h>

namespace kelv::platform {

namespace {

// Categories of RECORD's EnableContext replies.
constexpr std::uint8_t kFromServer = 0;
constexpr std::uint8_t kStartOfData = 4;
constexpr std::uint8_t kEndOfData = 5;

// Connects to the display named by $DISPLAY. Right after clients have come and
// gone the X server now and then resets a new connection during the
// handshake, for some tens of milliseconds, so attempts go on for a while
// before the display counts as unreachable.
xcb_connection_t *connectToDisplay()
{
    const char *display = std::getenv("DISPLAY");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    for (;;) {
        xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
        if (!xcb_connection_has_error(connection) || !display || !*display ||
            std::chrono::steady_clock::now() >= deadline)
            return connection; // the caller checks the error and disconnects
        xcb_disconnect(connection);
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
}

// The display's keyboard map: the XKB name of every key code. Names, not the
// codes themselves, tell which physical key a code stands for.
std::array<std::string, 256> keyNamesOfDisplay()
{
    std::array<std::string, 256> names;
    Display *display = XOpenDisplay(nullptr);
    if (!display)
        return names;
    XkbDescPtr keyboard = XkbGetMap(display, 0, XkbUseCoreKbd);
    if (keyboard && XkbGetNames(display, XkbKeyNamesMask, keyboard) == Success && keyboard->names &&
        keyboard->names->keys) {
        for (int code = keyboard->min_key_code; code <= keyboard->max_key_code && code < 256;
             ++code) {
            const char *name = keyboard->names->keys[code].name;
            names[size_t(code)] = std::string(name, strnlen(name, XkbKeyNameLength));
        }
    }
    if (keyboard)
        XkbFreeKeyboard(keyboard, 0, True);
    XCloseDisplay(display);
    return names;
}

} // namespace

struct KeyRecorder::Impl
{
    xcb_connection_t *control = nullptr; // creates, disables and frees the context
    xcb_connection_t *data = nullptr;    // blocked in EnableContext on the thread
    xcb_record_context_t context = 0;
    bool contextCreated = false;
    std::thread thread;
    Callback callback;
    std::array<std::string, 256> keyNames;

    std::mutex mutex;
    std::condition_variable changed;
    enum class State { Starting, Running, Failed, Ended } state = State::Ended;

    void setState(State s)
    {
        std::lock_guard<std::mutex> lock(mutex);
        state = s;
        changed.notify_all();
    }

    void run();
    void deliver(const xcb_record_enable_context_reply_t *reply);
    void release();
};

void KeyRecorder::Impl::run()
{
    const xcb_record_enable_context_cookie_t cookie = xcb_record_enable_context(data, context);
    xcb_flush(data);
    bool started = false;
    for (;;) {
        xcb_generic_error_t *error = nullptr;
        xcb_record_enable_context_reply_t *reply =
            xcb_record_enable_context_reply(data, cookie, &error);
        free(error);
        if (!reply)
            break; // connection lost, or the request failed
        const std::uint8_t category = reply->category;
        if (category == kStartOfData && !started) {
            started = true;
            setState(State::Running);
        } else if (category == kFromServer) {
            deliver(reply);
        }
        free(reply);
        if (category == kEndOfData)
            break;
    }
    setState(started ? State::Ended : State::Failed);
}

void KeyRecorder::Impl::deliver(const xcb_record_enable_context_reply_t *reply)
{
    const int length = xcb_record_enable_context_data_length(reply);
    if (length <= 0)
        return;
    // Device events, possibly several in one reply.
    forEachRecordedKeyEvent(xcb_record_enable_context_data(reply), std::size_t(length),
                            reply->client_swapped != 0, [this](const RecordedKeyEvent &event) {
                                RecordedKey key;
                                key.pressed = event.pressed;
                                key.keycode = event.keycode;
                                key.keyName = keyNames[key.keycode];
                                key.time = event.time;
                                callback(key);
                            });
}

void KeyRecorder::Impl::release()
{
    if (control && contextCreated) {
        xcb_record_free_context(control, context);
        xcb_flush(control);
    }
    contextCreated = false;
    if (data)
        xcb_disconnect(data);
    if (control)
        xcb_disconnect(control);
    data = nullptr;
    control = nullptr;
    callback = nullptr;
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
    auto fail = [&](const char *why) {
        if (error)
            *error = why;
        m_impl->release();
        return false;
    };
    Impl &d = *m_impl;

    d.control = connectToDisplay();
    if (xcb_connection_has_error(d.control))
        return fail("cannot connect to the X display");
    const xcb_query_extension_reply_t *extension =
        xcb_get_extension_data(d.control, &xcb_record_id);
    if (!extension || !extension->present)
        return fail("the X display has no RECORD extension");
    xcb_record_query_version_reply_t *version = xcb_record_query_version_reply(
        d.control,
        xcb_record_query_version(d.control, XCB_RECORD_MAJOR_VERSION, XCB_RECORD_MINOR_VERSION),
        nullptr);
    if (!version)
        return fail("the RECORD extension does not answer");
    free(version);

    d.context = xcb_generate_id(d.control);
    xcb_record_range_t range;
    std::memset(&range, 0, sizeof range);
    range.device_events.first = XCB_KEY_PRESS;
    range.device_events.last = XCB_KEY_RELEASE;
    const xcb_record_client_spec_t clients = XCB_RECORD_CS_ALL_CLIENTS;
    xcb_generic_error_t *createError =
        xcb_request_check(d.control, xcb_record_create_context_checked(d.control, d.context, 0, 1,
                                                                       1, &clients, &range));
    if (createError) {
        free(createError);
        return fail("cannot create a RECORD context");
    }
    d.contextCreated = true;

    d.data = connectToDisplay();
    if (xcb_connection_has_error(d.data))
        return fail("cannot open the recording connection");

    d.keyNames = keyNamesOfDisplay();
    d.callback = std::move(callback);
    d.setState(Impl::State::Starting);
    d.thread = std::thread([&d] { d.run(); });

    std::unique_lock<std::mutex> lock(d.mutex);
    const bool answered = d.changed.wait_for(lock, std::chrono::seconds(5),
                                             [&d] { return d.state != Impl::State::Starting; });
    const Impl::State state = d.state;
    lock.unlock();
    if (answered && state == Impl::State::Running)
        return true;

    // The server refused or never answered: unblock the reader and clean up.
    if (!answered)
        shutdown(xcb_get_file_descriptor(d.data), SHUT_RDWR);
    d.thread.join();
    d.setState(Impl::State::Ended);
    return fail("the RECORD context could not be enabled");
}

void KeyRecorder::stop()
{
    Impl &d = *m_impl;
    if (d.thread.joinable()) {
        // Disabling the context from the other connection makes the server send
        // the final EndOfData reply to the reading thread.
        xcb_record_disable_context(d.control, d.context);
        xcb_flush(d.control);
        std::unique_lock<std::mutex> lock(d.mutex);
        const bool ended = d.changed.wait_for(lock, std::chrono::seconds(3), [&d] {
            return d.state == Impl::State::Ended || d.state == Impl::State::Failed;
        });
        lock.unlock();
        if (!ended)
            shutdown(xcb_get_file_descriptor(d.data), SHUT_RDWR);
        d.thread.join();
        d.setState(Impl::State::Ended);
    }
    d.release();
}

} // namespace kelv::platform
