#include "platform/x11/frame_extents.h"

#include <poll.h>
#include <xcb/xcb.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace pavonix::x11 {

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

std::optional<FrameExtents> readExtents(xcb_connection_t* c, WindowId window, xcb_atom_t extents) {
    Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, extents, XCB_ATOM_CARDINAL, 0, 4), nullptr));
    if (!reply || reply->type != XCB_ATOM_CARDINAL || reply->format != 32 ||
        xcb_get_property_value_length(reply.get()) != 16) {
        return std::nullopt;
    }
    const auto* value = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    // A frame wider than any screen is not one.
    for (int i = 0; i < 4; ++i) {
        if (value[i] > 4096) return std::nullopt;
    }
    return FrameExtents{int(value[0]), int(value[1]), int(value[2]), int(value[3])};
}

bool offersRequest(xcb_connection_t* c, xcb_window_t root, xcb_atom_t supported, xcb_atom_t request) {
    // Far more than any window manager lists.
    Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, root, supported, XCB_ATOM_ATOM, 0, 4096), nullptr));
    if (!reply || reply->type != XCB_ATOM_ATOM || reply->format != 32) return false;
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
    const int count = xcb_get_property_value_length(reply.get()) / 4;
    for (int i = 0; i < count; ++i) {
        if (atoms[i] == request) return true;
    }
    return false;
}

}  // namespace

std::optional<FrameExtents> requestFrameExtents(const std::string& display, WindowId window,
                                                std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int screenNumber = 0;
    std::unique_ptr<xcb_connection_t, Disconnect> owned(
        xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber));
    xcb_connection_t* c = owned.get();
    if (xcb_connection_has_error(c)) return std::nullopt;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
    if (!screens.rem) return std::nullopt;
    const xcb_window_t root = screens.data->root;

    const xcb_atom_t extents = atom(c, "_NET_FRAME_EXTENTS");
    const xcb_atom_t request = atom(c, "_NET_REQUEST_FRAME_EXTENTS");
    if (extents == XCB_ATOM_NONE || request == XCB_ATOM_NONE ||
        !offersRequest(c, root, atom(c, "_NET_SUPPORTED"), request)) {
        return std::nullopt;
    }
    // Told of the answer on this connection; the window's owner keeps its own event mask.
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    if (Reply<xcb_generic_error_t> error(
            xcb_request_check(c, xcb_change_window_attributes_checked(c, window, XCB_CW_EVENT_MASK, &mask)));
        error) {
        return std::nullopt;
    }
    if (auto known = readExtents(c, window, extents)) return known;

    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = request;
    xcb_send_event(c, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(c);

    pollfd descriptor{xcb_get_file_descriptor(c), POLLIN, 0};
    for (;;) {
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
            if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) continue;
            const auto* change = reinterpret_cast<const xcb_property_notify_event_t*>(event.get());
            if (change->window == window && change->atom == extents) return readExtents(c, window, extents);
        }
        if (xcb_connection_has_error(c)) return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        if (poll(&descriptor, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return std::nullopt;
    }
}

}  // namespace pavonix::x11
