#include "platform/x11/testing/test_window.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/testing/wait_until.h"

namespace pavonix::x11::testing {

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
    Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return r ? r->atom : XCB_NONE;
}

}  // namespace

TestWindow::TestWindow(const std::string& display, Options options) {
    c_ = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c_)) return;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    root_ = screen->root;
    window_ = xcb_generate_id(c_);
    const std::uint32_t mask = XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK;
    const std::uint32_t values[] = {screen->white_pixel,
                                    XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                                        XCB_EVENT_MASK_FOCUS_CHANGE |
                                        XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, root_, 0, 0, 400, 300, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, mask, values);

    auto set = [&](xcb_atom_t property, xcb_atom_t type, std::uint8_t format, std::size_t count, const void* data) {
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, property, type, format,
                            static_cast<std::uint32_t>(count), data);
    };
    const std::string wmClass = options.instanceName + '\0' + options.className + '\0';
    set(XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, wmClass.size(), wmClass.data());
    if (options.netWmName) {
        set(internAtom(c_, "_NET_WM_NAME"), internAtom(c_, "UTF8_STRING"), 8, options.netWmName->size(),
            options.netWmName->data());
    }
    if (options.wmName) set(XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, options.wmName->size(), options.wmName->data());
    if (options.processID != 0) set(internAtom(c_, "_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &options.processID);
    const xcb_atom_t fullscreen = internAtom(c_, "_NET_WM_STATE_FULLSCREEN");
    if (options.fullscreen) set(internAtom(c_, "_NET_WM_STATE"), XCB_ATOM_ATOM, 32, 1, &fullscreen);
    if (options.mapped) xcb_map_window(c_, window_);
    xcb_flush(c_);

    const xcb_setup_t* setup = xcb_get_setup(c_);
    minKeycode_ = setup->min_keycode;
    auto count = static_cast<std::uint8_t>(setup->max_keycode - minKeycode_ + 1);
    Reply<xcb_get_keyboard_mapping_reply_t> mapping(xcb_get_keyboard_mapping_reply(
        c_, xcb_get_keyboard_mapping(c_, minKeycode_, count), nullptr));
    if (mapping) {
        symsPerKeycode_ = mapping->keysyms_per_keycode;
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(mapping.get());
        keymap_.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(mapping.get()));
    }
}

TestWindow::~TestWindow() {
    destroy();
    if (c_) xcb_disconnect(c_);
}

void TestWindow::destroy() {
    if (!c_ || window_ == 0) return;
    xcb_destroy_window(c_, window_);
    // A round trip, so the window is gone for every other client once this returns.
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    window_ = 0;
}

void TestWindow::handle(const xcb_generic_event_t* event) {
    const auto type = event->response_type & 0x7f;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) return;
    const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event);
    std::uint32_t sym = 0;
    std::size_t index = static_cast<std::size_t>(key->detail - minKeycode_) * symsPerKeycode_;
    // With Shift held, the shifted level where the key has one, as clients read the core map.
    if ((key->state & XCB_MOD_MASK_SHIFT) && symsPerKeycode_ > 1 && index + 1 < keymap_.size() && keymap_[index + 1] != 0)
        ++index;
    if (key->detail >= minKeycode_ && index < keymap_.size()) sym = keymap_[index];
    keys_.push_back({type == XCB_KEY_PRESS, sym, key->state});
}

void TestWindow::pump() {
    if (!c_) return;
    while (xcb_generic_event_t* e = xcb_poll_for_event(c_)) {
        handle(e);
        std::free(e);
    }
}

bool TestWindow::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return pavonix::testing::waitUntil([&] {
        pump();
        return done();
    }, timeout, std::chrono::milliseconds(2));
}

bool TestWindow::waitUntilManaged(std::chrono::milliseconds timeout) {
    if (!c_ || window_ == 0) return false;
    xcb_atom_t clientList = internAtom(c_, "_NET_CLIENT_LIST");
    auto managed = [&] {
        Reply<xcb_get_window_attributes_reply_t> attr(
            xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window_), nullptr));
        Reply<xcb_get_property_reply_t> list(xcb_get_property_reply(
            c_, xcb_get_property(c_, 0, root_, clientList, XCB_ATOM_WINDOW, 0, 4096), nullptr));
        if (!attr || attr->map_state != XCB_MAP_STATE_VIEWABLE || !list) return false;
        const auto* ids = static_cast<const std::uint32_t*>(xcb_get_property_value(list.get()));
        const auto* end = ids + xcb_get_property_value_length(list.get()) / 4;
        return std::find(ids, end, window_) != end;
    };
    // A window mapped while the window manager is still starting can be missed for good: it is
    // mapped again every half second.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!waitUntil(managed, std::min(timeout, std::chrono::milliseconds(500)))) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        xcb_unmap_window(c_, window_);
        xcb_map_window(c_, window_);
        xcb_flush(c_);
    }
    return true;
}

bool TestWindow::waitForFocus(std::chrono::milliseconds timeout) {
    return waitUntil(
        [&] {
            Reply<xcb_get_input_focus_reply_t> focus(
                xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
            return focus && focus->focus == window_;
        },
        timeout);
}

bool TestWindow::waitForKeyPresses(std::size_t presses, std::chrono::milliseconds timeout) {
    return waitUntil(
        [&] {
            auto pressed = static_cast<std::size_t>(
                std::count_if(keys_.begin(), keys_.end(), [](const KeyEvent& k) { return k.press; }));
            return pressed >= presses && keys_.size() >= 2 * pressed;  // each press released too
        },
        timeout);
}

std::vector<std::uint32_t> TestWindow::pressedKeysyms() const {
    std::vector<std::uint32_t> syms;
    for (const auto& k : keys_) {
        if (k.press) syms.push_back(k.keysym);
    }
    return syms;
}

}  // namespace pavonix::x11::testing
