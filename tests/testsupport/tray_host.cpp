// kelv_tray_host: a notification area for tests on a private X server. It owns the
// screen's _NET_SYSTEM_TRAY_S<n> selection as a panel's tray does, tells running clients
// (MANAGER) and embeds every icon that asks to dock into its own window, so a program
// there finds a tray to rest in. Prints "tray" once it owns the selection; runs until it
// is ended or the X server goes.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <xcb/xcb.h>

namespace {

constexpr uint32_t kRequestDock = 0; // SYSTEM_TRAY_REQUEST_DOCK
constexpr uint16_t kIconSize = 24;

xcb_atom_t atom(xcb_connection_t *c, const std::string &name)
{
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, uint16_t(name.size()), name.c_str()), nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return result;
}

xcb_screen_t *screenOf(xcb_connection_t *c, int number)
{
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; it.rem && i < number; ++i)
        xcb_screen_next(&it);
    return it.rem ? it.data : nullptr;
}

} // namespace

int main()
{
    int screenNumber = 0;
    xcb_connection_t *c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "kelv_tray_host: no X server\n");
        return 1;
    }
    xcb_screen_t *screen = screenOf(c, screenNumber);
    if (!screen)
        return 1;

    // The tray's own window: a strip in the top right corner, as a panel would show it.
    const xcb_window_t tray = xcb_generate_id(c);
    const uint32_t values[] = {screen->black_pixel, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, tray, screen->root,
                      int16_t(screen->width_in_pixels - 8 * kIconSize), 0, 8 * kIconSize, kIconSize,
                      0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    const uint32_t overrideRedirect = 1;
    xcb_change_window_attributes(c, tray, XCB_CW_OVERRIDE_REDIRECT, &overrideRedirect);
    xcb_map_window(c, tray);

    const xcb_atom_t selection = atom(c, "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber));
    const xcb_atom_t opcode = atom(c, "_NET_SYSTEM_TRAY_OPCODE");
    const xcb_atom_t manager = atom(c, "MANAGER");
    const xcb_atom_t orientation = atom(c, "_NET_SYSTEM_TRAY_ORIENTATION");
    const uint32_t horizontal = 0;
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, tray, orientation, XCB_ATOM_CARDINAL, 32, 1,
                        &horizontal);

    xcb_set_selection_owner(c, tray, selection, XCB_CURRENT_TIME);
    xcb_get_selection_owner_reply_t *owner =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
    const bool owned = owner && owner->owner == tray;
    std::free(owner);
    if (!owned) {
        std::fprintf(stderr, "kelv_tray_host: another tray owns the selection\n");
        return 1;
    }

    // Clients already waiting for a tray learn of this one.
    xcb_client_message_event_t announce{};
    announce.response_type = XCB_CLIENT_MESSAGE;
    announce.format = 32;
    announce.window = screen->root;
    announce.type = manager;
    announce.data.data32[0] = XCB_CURRENT_TIME;
    announce.data.data32[1] = selection;
    announce.data.data32[2] = tray;
    xcb_send_event(c, 0, screen->root, XCB_EVENT_MASK_STRUCTURE_NOTIFY,
                   reinterpret_cast<const char *>(&announce));
    xcb_flush(c);
    std::printf("tray\n");
    std::fflush(stdout);

    int16_t next = 0;
    while (xcb_generic_event_t *event = xcb_wait_for_event(c)) {
        if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
            const auto *message = reinterpret_cast<xcb_client_message_event_t *>(event);
            if (message->type == opcode && message->data.data32[1] == kRequestDock) {
                const xcb_window_t icon = message->data.data32[2];
                xcb_reparent_window(c, icon, tray, next, 0);
                const uint32_t size[] = {kIconSize, kIconSize};
                xcb_configure_window(c, icon, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                                     size);
                xcb_map_window(c, icon);
                xcb_flush(c);
                next = int16_t(next + kIconSize);
            }
        }
        std::free(event);
    }
    xcb_disconnect(c);
    return 0;
}
