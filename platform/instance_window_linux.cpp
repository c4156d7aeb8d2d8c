#include "platform/instance_window.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>
#include <xcb/xcb.h>

namespace kelv::platform {
namespace {

struct Free
{
    void operator()(void *p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, Free>;

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, std::uint16_t(std::strlen(name)), name),
        nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// The property's value, or an empty vector.
std::vector<std::uint8_t> property(xcb_connection_t *connection, xcb_window_t window,
                                   xcb_atom_t name, xcb_atom_t type)
{
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, name, type, 0, 1 << 16), nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE)
        return {};
    const auto *data = static_cast<const std::uint8_t *>(xcb_get_property_value(reply.get()));
    return std::vector<std::uint8_t>(data, data + xcb_get_property_value_length(reply.get()));
}

std::u16string fromUtf8(const std::vector<std::uint8_t> &bytes)
{
    std::u16string text;
    for (size_t i = 0; i < bytes.size();) {
        const std::uint8_t lead = bytes[i];
        const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (i + size_t(length) > bytes.size())
            break;
        char32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (int k = 1; k < length; ++k)
            c = (c << 6) | (bytes[i + size_t(k)] & 0x3F);
        if (c >= 0x10000) {
            c -= 0x10000;
            text += char16_t(0xD800 + (c >> 10));
            text += char16_t(0xDC00 + (c & 0x3FF));
        } else {
            text += char16_t(c);
        }
        i += size_t(length);
    }
    return text;
}

} // namespace

bool raiseInstanceWindow(std::uint64_t pid, const std::u16string &mainWindowTitle)
{
    if (pid == 0)
        return false;
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return false;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const xcb_atom_t clientList = atom(connection, "_NET_CLIENT_LIST");
    const xcb_atom_t wmPid = atom(connection, "_NET_WM_PID");
    const xcb_atom_t wmName = atom(connection, "_NET_WM_NAME");
    const xcb_atom_t utf8 = atom(connection, "UTF8_STRING");
    const xcb_atom_t activeWindow = atom(connection, "_NET_ACTIVE_WINDOW");

    bool raised = false;
    const std::vector<std::uint8_t> list = property(connection, root, clientList, XCB_ATOM_WINDOW);
    for (size_t offset = 0; offset + 4 <= list.size() && !raised; offset += 4) {
        xcb_window_t window;
        std::memcpy(&window, list.data() + offset, 4);
        const std::vector<std::uint8_t> owner =
            property(connection, window, wmPid, XCB_ATOM_CARDINAL);
        std::uint32_t ownerPid = 0;
        if (owner.size() != 4)
            continue;
        std::memcpy(&ownerPid, owner.data(), 4);
        if (ownerPid != pid)
            continue;
        const std::u16string title = fromUtf8(property(connection, window, wmName, utf8));
        if (title.empty() || (!isInstanceWindowTitle(title) && title != mainWindowTitle))
            continue;
        // An activation request as a pager sends it (source 2), which window
        // managers honour without their focus-stealing prevention.
        xcb_client_message_event_t event = {};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = activeWindow;
        event.data.data32[0] = 2;
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(connection, 0, root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char *>(&event));
        raised = true;
    }
    xcb_flush(connection);
    xcb_disconnect(connection);
    return raised;
}

} // namespace kelv::platform
