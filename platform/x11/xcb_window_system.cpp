#include "platform/x11/xcb_window_system.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/utf8/utf8.h"

namespace pavonix::x11 {

namespace {

using SteadyClock = std::chrono::steady_clock;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// Bounds on what a client can make us read: titles beyond this are cut, longer client lists are
// ignored past this many entries.
constexpr std::uint32_t kMaxTextBytes = 4096;
constexpr std::uint32_t kMaxClients = 4096;
constexpr int kMaxTreeDepth = 64;
constexpr std::uint32_t kAllDesktops = 0xffffffff;

enum AtomIndex : std::size_t {
    NET_CLIENT_LIST,
    NET_ACTIVE_WINDOW,
    NET_SUPPORTED,
    NET_SUPPORTING_WM_CHECK,
    NET_WM_NAME,
    NET_WM_PID,
    NET_WM_STATE,
    NET_WM_STATE_HIDDEN,
    NET_WM_STATE_FULLSCREEN,
    NET_WM_DESKTOP,
    NET_CURRENT_DESKTOP,
    NET_WM_WINDOW_TYPE,
    NET_WM_WINDOW_TYPE_DESKTOP,
    NET_WM_WINDOW_TYPE_DOCK,
    UTF8_STRING,
    WM_STATE,
    ATOM_COUNT
};

constexpr std::array<const char*, ATOM_COUNT> kAtomNames = {
    "_NET_CLIENT_LIST",
    "_NET_ACTIVE_WINDOW",
    "_NET_SUPPORTED",
    "_NET_SUPPORTING_WM_CHECK",
    "_NET_WM_NAME",
    "_NET_WM_PID",
    "_NET_WM_STATE",
    "_NET_WM_STATE_HIDDEN",
    "_NET_WM_STATE_FULLSCREEN",
    "_NET_WM_DESKTOP",
    "_NET_CURRENT_DESKTOP",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_DESKTOP",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "UTF8_STRING",
    "WM_STATE",
};

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xc0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xe0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    }
}

std::string latin1ToUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size() * 2);
    for (unsigned char ch : s) appendUtf8(out, ch);
    return out;
}

// Window titles may hold NULs (lists of strings); only the first string is the title.
std::string_view firstString(std::string_view s) {
    auto nul = s.find('\0');
    return nul == std::string_view::npos ? s : s.substr(0, nul);
}

// A title cut at our read limit may end inside a UTF-8 sequence: drop that partial character
// rather than show a replacement mark.
std::string_view withoutPartialTail(std::string_view s) {
    for (std::size_t back = 1; back <= std::min<std::size_t>(4, s.size()); ++back) {
        auto b = static_cast<unsigned char>(s[s.size() - back]);
        if ((b & 0xc0) == 0x80) continue;  // continuation byte: keep looking for the lead
        std::size_t need = (b & 0xe0) == 0xc0 ? 2 : (b & 0xf0) == 0xe0 ? 3 : (b & 0xf8) == 0xf0 ? 4 : 1;
        return need > back ? s.substr(0, s.size() - back) : s;
    }
    return s;
}

}  // namespace

struct XcbWindowSystem::Connection {
    xcb_connection_t* c = nullptr;
    xcb_window_t root = XCB_NONE;
    int rootWidth = 0;
    int rootHeight = 0;
    std::array<xcb_atom_t, ATOM_COUNT> atoms{};
    bool xtest = false;
    std::uint8_t xtestOpcode = 0;
    bool sawError = false;  // an X error arrived for a request that had no reply

    bool keymapValid = false;
    xcb_keycode_t minKeycode = 0;
    std::uint8_t symsPerKeycode = 0;
    std::vector<xcb_keysym_t> keymap;

    ~Connection() {
        if (c) xcb_disconnect(c);
    }

    bool broken() const { return xcb_connection_has_error(c) != 0; }

    // Reads pending events so that errors of unchecked requests and keyboard-mapping changes
    // are seen, and the queue never grows.
    void drainEvents() {
        while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
            std::uint8_t type = e->response_type & 0x7f;
            if (type == 0) {
                sawError = true;
            } else if (type == XCB_MAPPING_NOTIFY) {
                keymapValid = false;
            }
            std::free(e);
        }
    }

    // A round trip: everything sent before it has been processed by the server when it returns.
    bool sync() {
        Reply<xcb_get_input_focus_reply_t> r(
            xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        return r != nullptr;
    }

    xcb_get_property_cookie_t requestProperty(xcb_window_t w, xcb_atom_t property,
                                              std::uint32_t maxBytes,
                                              xcb_atom_t type = XCB_GET_PROPERTY_TYPE_ANY) {
        return xcb_get_property(c, 0, w, property, type, 0, (maxBytes + 3) / 4);
    }

    Reply<xcb_get_property_reply_t> property(xcb_get_property_cookie_t cookie) {
        return Reply<xcb_get_property_reply_t>(xcb_get_property_reply(c, cookie, nullptr));
    }

    static std::string_view bytes(const xcb_get_property_reply_t* r) {
        if (!r || r->format != 8) return {};
        return {static_cast<const char*>(xcb_get_property_value(r)),
                static_cast<std::size_t>(xcb_get_property_value_length(r))};
    }

    static std::vector<std::uint32_t> cardinals(const xcb_get_property_reply_t* r,
                                                std::size_t max = kMaxClients) {
        if (!r || r->format != 32) return {};
        auto count = static_cast<std::size_t>(xcb_get_property_value_length(r)) / 4;
        const auto* v = static_cast<const std::uint32_t*>(xcb_get_property_value(r));
        return {v, v + std::min(count, max)};
    }

    std::optional<std::uint32_t> cardinal(const xcb_get_property_reply_t* r) {
        auto v = cardinals(r, 1);
        if (v.empty()) return std::nullopt;
        return v.front();
    }

    // The window manager's check window, when an EWMH window manager is running.
    bool hasEwmhWindowManager() {
        auto rootCheck = property(requestProperty(root, atoms[NET_SUPPORTING_WM_CHECK], 4,
                                                  XCB_ATOM_WINDOW));
        auto wm = cardinal(rootCheck.get());
        if (!wm || *wm == XCB_NONE) return false;
        auto childCheck = property(requestProperty(*wm, atoms[NET_SUPPORTING_WM_CHECK], 4,
                                                   XCB_ATOM_WINDOW));
        auto self = cardinal(childCheck.get());
        return self && *self == *wm;
    }

    bool wmSupports(xcb_atom_t atom) {
        auto r = property(requestProperty(root, atoms[NET_SUPPORTED], 4 * 1024, XCB_ATOM_ATOM));
        auto list = cardinals(r.get(), 1024);
        return std::find(list.begin(), list.end(), atom) != list.end();
    }

    std::optional<xcb_window_t> parentOf(xcb_window_t w) {
        Reply<xcb_query_tree_reply_t> r(xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr));
        if (!r) return std::nullopt;
        return r->parent;
    }

    // The managed top-level windows: the window manager's client list, or, with no window
    // manager, the viewable top-level children of the root (a client window inside a frame
    // when an old-style manager reparents without publishing a list).
    std::vector<xcb_window_t> clientWindows() {
        if (hasEwmhWindowManager()) {
            auto r = property(requestProperty(root, atoms[NET_CLIENT_LIST], kMaxClients * 4,
                                              XCB_ATOM_WINDOW));
            if (r && r->type == XCB_ATOM_WINDOW) {
                std::vector<xcb_window_t> list;
                for (auto w : cardinals(r.get())) {
                    if (w != XCB_NONE && std::find(list.begin(), list.end(), w) == list.end()) {
                        list.push_back(w);
                    }
                }
                return list;
            }
        }
        Reply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
        if (!tree) return {};
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        auto count = std::min<std::size_t>(
            static_cast<std::size_t>(xcb_query_tree_children_length(tree.get())), kMaxClients);
        std::vector<xcb_get_window_attributes_cookie_t> attrCookies;
        std::vector<xcb_get_property_cookie_t> stateCookies;
        for (std::size_t i = 0; i < count; ++i) {
            attrCookies.push_back(xcb_get_window_attributes(c, children[i]));
            stateCookies.push_back(requestProperty(children[i], atoms[WM_STATE], 8));
        }
        std::vector<xcb_window_t> list;
        for (std::size_t i = 0; i < count; ++i) {
            Reply<xcb_get_window_attributes_reply_t> attr(
                xcb_get_window_attributes_reply(c, attrCookies[i], nullptr));
            auto state = property(stateCookies[i]);
            if (!attr || attr->override_redirect || attr->map_state != XCB_MAP_STATE_VIEWABLE ||
                attr->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT) {
                continue;
            }
            xcb_window_t w = children[i];
            if (!state || state->type == XCB_NONE) w = clientInside(w).value_or(w);
            list.push_back(w);
        }
        return list;
    }

    std::optional<xcb_window_t> clientInside(xcb_window_t frame) {
        Reply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(c, xcb_query_tree(c, frame), nullptr));
        if (!tree) return std::nullopt;
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        int count = std::min(xcb_query_tree_children_length(tree.get()), 64);
        for (int i = 0; i < count; ++i) {
            auto state = property(requestProperty(children[i], atoms[WM_STATE], 8));
            if (state && state->type != XCB_NONE) return children[i];
        }
        return std::nullopt;
    }

    // Everything the listing needs about the given windows, asked for in one pipelined burst.
    std::vector<WindowInfo> describe(const std::vector<xcb_window_t>& windows) {
        struct Cookies {
            xcb_get_window_attributes_cookie_t attributes;
            xcb_get_geometry_cookie_t geometry;
            xcb_translate_coordinates_cookie_t position;
            xcb_get_property_cookie_t netName, name, pid, wmClass, state, desktop, type;
        };
        auto currentDesktopCookie = requestProperty(root, atoms[NET_CURRENT_DESKTOP], 4,
                                                    XCB_ATOM_CARDINAL);
        std::vector<Cookies> cookies;
        cookies.reserve(windows.size());
        for (xcb_window_t w : windows) {
            cookies.push_back({
                xcb_get_window_attributes(c, w),
                xcb_get_geometry(c, w),
                xcb_translate_coordinates(c, w, root, 0, 0),
                requestProperty(w, atoms[NET_WM_NAME], kMaxTextBytes),
                requestProperty(w, XCB_ATOM_WM_NAME, kMaxTextBytes),
                requestProperty(w, atoms[NET_WM_PID], 4, XCB_ATOM_CARDINAL),
                requestProperty(w, XCB_ATOM_WM_CLASS, kMaxTextBytes),
                requestProperty(w, atoms[NET_WM_STATE], 64 * 4, XCB_ATOM_ATOM),
                requestProperty(w, atoms[NET_WM_DESKTOP], 4, XCB_ATOM_CARDINAL),
                requestProperty(w, atoms[NET_WM_WINDOW_TYPE], 16 * 4, XCB_ATOM_ATOM),
            });
        }
        auto currentDesktop = cardinal(property(currentDesktopCookie).get());

        std::vector<WindowInfo> result;
        result.reserve(windows.size());
        for (std::size_t i = 0; i < windows.size(); ++i) {
            const Cookies& k = cookies[i];
            Reply<xcb_get_window_attributes_reply_t> attributes(
                xcb_get_window_attributes_reply(c, k.attributes, nullptr));
            Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, k.geometry, nullptr));
            Reply<xcb_translate_coordinates_reply_t> position(
                xcb_translate_coordinates_reply(c, k.position, nullptr));
            auto netName = property(k.netName);
            auto name = property(k.name);
            auto pid = property(k.pid);
            auto wmClass = property(k.wmClass);
            auto state = property(k.state);
            auto desktop = property(k.desktop);
            auto type = property(k.type);
            // A window destroyed since it was listed answers with errors: leave it out.
            if (!attributes || !geometry || !position) continue;

            auto types = cardinals(type.get(), 16);
            bool isDesktopOrDock =
                std::any_of(types.begin(), types.end(), [this](std::uint32_t t) {
                    return t == atoms[NET_WM_WINDOW_TYPE_DESKTOP] ||
                           t == atoms[NET_WM_WINDOW_TYPE_DOCK];
                });
            if (isDesktopOrDock) continue;

            WindowInfo info;
            info.id = windows[i];
            info.title = title(netName.get(), name.get());
            info.processID = cardinal(pid.get()).value_or(0);
            auto classBytes = bytes(wmClass.get());
            info.instanceName = utf8::sanitized(firstString(classBytes));
            if (info.instanceName.size() < classBytes.size()) {
                info.className =
                    utf8::sanitized(firstString(classBytes.substr(firstString(classBytes).size() + 1)));
            }
            info.geometry = {position->dst_x, position->dst_y, geometry->width, geometry->height};

            auto states = cardinals(state.get(), 64);
            bool hidden = std::find(states.begin(), states.end(), atoms[NET_WM_STATE_HIDDEN]) !=
                          states.end();
            bool fullscreen = std::find(states.begin(), states.end(),
                                        atoms[NET_WM_STATE_FULLSCREEN]) != states.end();
            auto onDesktop = cardinal(desktop.get());
            bool onCurrentDesktop = !onDesktop || !currentDesktop || *onDesktop == kAllDesktops ||
                                    *onDesktop == *currentDesktop;
            info.onScreen = attributes->map_state == XCB_MAP_STATE_VIEWABLE && !hidden &&
                            onCurrentDesktop;
            const auto& g = info.geometry;
            bool coversRoot = g.x <= 0 && g.y <= 0 && g.x + g.width >= rootWidth &&
                              g.y + g.height >= rootHeight;
            info.fillsScreen = fullscreen || coversRoot;
            result.push_back(std::move(info));
        }
        return result;
    }

    std::string title(const xcb_get_property_reply_t* netName, const xcb_get_property_reply_t* name) {
        auto text = [](const xcb_get_property_reply_t* r) {
            auto b = bytes(r);
            return r->bytes_after > 0 ? withoutPartialTail(firstString(b)) : firstString(b);
        };
        if (netName && netName->type == atoms[UTF8_STRING]) {
            auto t = text(netName);
            if (!t.empty()) return utf8::sanitized(t);
        }
        if (!name) return {};
        auto t = text(name);
        // WM_NAME is Latin-1 by the book, but many clients store UTF-8 in it.
        if (name->type == atoms[UTF8_STRING] || utf8::isValid(t)) return utf8::sanitized(t);
        return latin1ToUtf8(firstString(bytes(name)));
    }

    bool loadKeymap() {
        if (keymapValid) return true;
        const xcb_setup_t* setup = xcb_get_setup(c);
        minKeycode = setup->min_keycode;
        auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
        Reply<xcb_get_keyboard_mapping_reply_t> r(xcb_get_keyboard_mapping_reply(
            c, xcb_get_keyboard_mapping(c, minKeycode, count), nullptr));
        if (!r) return false;
        symsPerKeycode = r->keysyms_per_keycode;
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(r.get());
        keymap.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(r.get()));
        keymapValid = true;
        return true;
    }

    struct KeyCode {
        xcb_keycode_t code = 0;
        bool needsShift = false;
    };

    // The key that produces the keysym unshifted (column 0), else shifted (column 1): on some
    // layouts the digits are on the shifted level.
    std::optional<KeyCode> keycodeFor(xcb_keysym_t sym) {
        if (symsPerKeycode == 0) return std::nullopt;
        std::size_t codes = keymap.size() / symsPerKeycode;
        for (std::size_t column = 0; column < std::min<std::size_t>(2, symsPerKeycode); ++column) {
            for (std::size_t i = 0; i < codes; ++i) {
                if (keymap[i * symsPerKeycode + column] == sym) {
                    return KeyCode{static_cast<xcb_keycode_t>(minKeycode + i), column == 1};
                }
            }
        }
        return std::nullopt;
    }
};

XcbWindowSystem::XcbWindowSystem(std::string display) : display_(std::move(display)) {}

XcbWindowSystem::~XcbWindowSystem() = default;

XcbWindowSystem::Connection* XcbWindowSystem::connectionLocked() {
    if (connection_ && !connection_->broken()) return connection_.get();
    connection_.reset();

    std::string name = display_;
    if (name.empty()) {
        const char* env = std::getenv("DISPLAY");
        name = env ? env : "";
    }
    if (name.empty()) {
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        reason_ = wayland && *wayland
                      ? "This is a Wayland session without an X display (DISPLAY is not set); "
                        "browser windows can only be controlled through X11."
                      : "No X display is available (DISPLAY is not set).";
        return nullptr;
    }

    auto conn = std::make_unique<Connection>();
    int screenNumber = 0;
    conn->c = xcb_connect(name.c_str(), &screenNumber);
    if (conn->broken()) {
        reason_ = "Cannot connect to the X display \"" + name + "\".";
        return nullptr;
    }
    const xcb_setup_t* setup = xcb_get_setup(conn->c);
    auto screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
    if (screens.rem == 0) {
        reason_ = "The X display \"" + name + "\" has no such screen.";
        return nullptr;
    }
    conn->root = screens.data->root;
    conn->rootWidth = screens.data->width_in_pixels;
    conn->rootHeight = screens.data->height_in_pixels;

    std::array<xcb_intern_atom_cookie_t, ATOM_COUNT> cookies{};
    for (std::size_t i = 0; i < ATOM_COUNT; ++i) {
        cookies[i] = xcb_intern_atom(conn->c, 0, static_cast<std::uint16_t>(std::strlen(kAtomNames[i])),
                                     kAtomNames[i]);
    }
    for (std::size_t i = 0; i < ATOM_COUNT; ++i) {
        Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(conn->c, cookies[i], nullptr));
        conn->atoms[i] = r ? r->atom : XCB_NONE;
    }
    if (conn->broken()) {
        reason_ = "The connection to the X display \"" + name + "\" failed.";
        return nullptr;
    }
    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(conn->c, &xcb_test_id);
    conn->xtest = xtest && xtest->present;
    conn->xtestOpcode = xtest ? xtest->major_opcode : 0;
    reason_.clear();
    connection_ = std::move(conn);
    return connection_.get();
}

Outcome XcbWindowSystem::lostConnectionLocked() {
    connection_.reset();
    reason_ = "The connection to the X display was lost.";
    return Outcome::failure(reason_);
}

std::optional<std::string> XcbWindowSystem::unavailableReason() {
    std::lock_guard lock(mutex_);
    if (connectionLocked()) return std::nullopt;
    return reason_;
}

bool XcbWindowSystem::canSendKeys() {
    std::lock_guard lock(mutex_);
    Connection* c = connectionLocked();
    return c && c->xtest;
}

std::vector<WindowInfo> XcbWindowSystem::listWindows() {
    std::lock_guard lock(mutex_);
    Connection* c = connectionLocked();
    if (!c) return {};
    c->drainEvents();
    auto windows = c->describe(c->clientWindows());
    if (c->broken()) {
        lostConnectionLocked();
        return {};
    }
    return windows;
}

std::optional<WindowInfo> XcbWindowSystem::window(WindowId id) {
    std::lock_guard lock(mutex_);
    Connection* c = connectionLocked();
    if (!c || id == XCB_NONE) return std::nullopt;
    c->drainEvents();
    // Only a managed top-level window counts: a saved id may since have been reused by another
    // client for some inner window.
    auto clients = c->clientWindows();
    if (std::find(clients.begin(), clients.end(), id) == clients.end()) return std::nullopt;
    auto described = c->describe({id});
    if (described.empty()) return std::nullopt;
    return described.front();
}

std::optional<WindowId> XcbWindowSystem::activeWindow() {
    std::lock_guard lock(mutex_);
    Connection* c = connectionLocked();
    if (!c) return std::nullopt;
    c->drainEvents();
    Reply<xcb_get_input_focus_reply_t> focus(
        xcb_get_input_focus_reply(c->c, xcb_get_input_focus(c->c), nullptr));
    if (!focus || focus->focus == XCB_NONE || focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT ||
        focus->focus == c->root) {
        return std::nullopt;
    }
    // The focus may sit on an inner window of a client: report the client that contains it.
    auto clients = c->clientWindows();
    xcb_window_t w = focus->focus;
    for (int depth = 0; depth < kMaxTreeDepth && w != XCB_NONE && w != c->root; ++depth) {
        if (std::find(clients.begin(), clients.end(), w) != clients.end()) return w;
        auto parent = c->parentOf(w);
        if (!parent) break;
        w = *parent;
    }
    return std::nullopt;
}

XcbWindowSystem::Focus XcbWindowSystem::focusLocked(Connection& c, WindowId id) {
    c.drainEvents();
    auto focusCookie = xcb_get_input_focus(c.c);
    auto attrCookie = xcb_get_window_attributes(c.c, id);
    Reply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(c.c, focusCookie, nullptr));
    Reply<xcb_get_window_attributes_reply_t> attr(
        xcb_get_window_attributes_reply(c.c, attrCookie, nullptr));
    if (!attr) return Focus::gone;
    if (!focus) return Focus::elsewhere;
    xcb_window_t w = focus->focus;
    for (int depth = 0; depth < kMaxTreeDepth; ++depth) {
        if (w == id) return Focus::held;
        if (w == XCB_NONE || w == XCB_INPUT_FOCUS_POINTER_ROOT || w == c.root) break;
        auto parent = c.parentOf(w);
        if (!parent) break;
        w = *parent;
    }
    return Focus::elsewhere;
}

Outcome XcbWindowSystem::requestActivationLocked(Connection& c, WindowId id, bool ewmh) {
    if (ewmh) {
        // Source indication 2 ("pager"): the request comes on behalf of the user, so focus
        // stealing prevention does not apply.
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = id;
        event.type = c.atoms[NET_ACTIVE_WINDOW];
        event.data.data32[0] = 2;
        event.data.data32[1] = XCB_CURRENT_TIME;
        event.data.data32[2] = XCB_NONE;
        xcb_send_event(c.c, 0, c.root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&event));
        xcb_flush(c.c);
        return Outcome::success();
    }
    Reply<xcb_get_window_attributes_reply_t> attr(
        xcb_get_window_attributes_reply(c.c, xcb_get_window_attributes(c.c, id), nullptr));
    if (!attr) return Outcome::failure("The window is no longer open.");
    if (attr->map_state != XCB_MAP_STATE_VIEWABLE) {
        xcb_map_window(c.c, id);
        c.sync();
    }
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(c.c, id, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    Reply<xcb_generic_error_t> error(xcb_request_check(
        c.c, xcb_set_input_focus_checked(c.c, XCB_INPUT_FOCUS_PARENT, id, XCB_CURRENT_TIME)));
    if (error) return Outcome::failure("The window cannot take the keyboard focus.");
    return Outcome::success();
}

Outcome XcbWindowSystem::activate(WindowId id, std::chrono::milliseconds timeout) {
    const auto start = SteadyClock::now();
    const auto deadline = start + timeout;
    bool ewmh = false;
    {
        std::lock_guard lock(mutex_);
        Connection* c = connectionLocked();
        if (!c) return Outcome::failure(reason_);
        switch (focusLocked(*c, id)) {
        case Focus::held: return Outcome::success();
        case Focus::gone: return Outcome::failure("The window is no longer open.");
        case Focus::elsewhere: break;
        }
        ewmh = c->hasEwmhWindowManager() && c->wmSupports(c->atoms[NET_ACTIVE_WINDOW]);
        if (auto o = requestActivationLocked(*c, id, ewmh); !o.ok()) return o;
    }
    // Ask the window manager first; if it has not moved the focus by half-time, set it directly.
    bool forced = !ewmh;
    const auto forceAt = start + timeout / 2;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::lock_guard lock(mutex_);
        Connection* c = connectionLocked();
        if (!c) return Outcome::failure(reason_);
        switch (focusLocked(*c, id)) {
        case Focus::held: return Outcome::success();
        case Focus::gone: return Outcome::failure("The window closed before it could be focused.");
        case Focus::elsewhere: break;
        }
        auto now = SteadyClock::now();
        if (now >= deadline) {
            return Outcome::failure("The window did not receive the keyboard focus in time.");
        }
        if (!forced && now >= forceAt) {
            forced = true;
            if (auto o = requestActivationLocked(*c, id, false); !o.ok()) return o;
        }
    }
}

Outcome XcbWindowSystem::sendKeys(WindowId target, std::span<const KeyStroke> strokes) {
    std::lock_guard lock(mutex_);
    Connection* c = connectionLocked();
    if (!c) return Outcome::failure(reason_);
    if (!c->xtest) {
        return Outcome::failure(
            "The X server does not offer the XTEST extension, so keystrokes cannot be sent.");
    }
    switch (focusLocked(*c, target)) {
    case Focus::held: break;
    case Focus::gone: return Outcome::failure("The window is no longer open.");
    case Focus::elsewhere:
        return Outcome::failure("The window lost the keyboard focus before the keys were sent.");
    }
    if (!c->loadKeymap()) return Outcome::failure("The keyboard map of the X server is unreadable.");

    // Resolve every key before sending any, so a missing key never leaves half a command typed.
    auto control = c->keycodeFor(keysym::ControlL);
    auto shift = c->keycodeFor(keysym::ShiftL);
    struct Planned {
        Connection::KeyCode key;
        bool control;
        bool shift;
    };
    std::vector<Planned> plan;
    for (const auto& stroke : strokes) {
        auto key = c->keycodeFor(stroke.keysym);
        bool needsShift = stroke.shift || (key && key->needsShift);
        if (!key || (stroke.control && !control) || (needsShift && !shift)) {
            return Outcome::failure("A key needed for this command is missing from the keyboard map.");
        }
        plan.push_back({*key, stroke.control, needsShift});
    }

    auto fake = [&](std::uint8_t type, xcb_keycode_t code) {
        xcb_test_fake_input(c->c, type, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    };
    c->sawError = false;
    // A key that is still held down (typically the one the user pressed to trigger this command)
    // would swallow our press of the same key: the server ignores a press of a key that is down.
    // Release such keys first.
    if (auto* keymap = xcb_query_keymap_reply(c->c, xcb_query_keymap(c->c), nullptr)) {
        auto isDown = [keymap](xcb_keycode_t code) {
            return (keymap->keys[code / 8] >> (code % 8)) & 1;
        };
        std::vector<xcb_keycode_t> held;
        auto releaseIfHeld = [&](xcb_keycode_t code) {
            if (isDown(code) && std::find(held.begin(), held.end(), code) == held.end()) {
                held.push_back(code);
                fake(XCB_KEY_RELEASE, code);
            }
        };
        for (const auto& p : plan) {
            releaseIfHeld(p.key.code);
            if (p.control) releaseIfHeld(control->code);
            if (p.shift) releaseIfHeld(shift->code);
        }
        std::free(keymap);
    }
    for (const auto& p : plan) {
        if (p.control) fake(XCB_KEY_PRESS, control->code);
        if (p.shift) fake(XCB_KEY_PRESS, shift->code);
        fake(XCB_KEY_PRESS, p.key.code);
        fake(XCB_KEY_RELEASE, p.key.code);
        if (p.shift) fake(XCB_KEY_RELEASE, shift->code);
        if (p.control) fake(XCB_KEY_RELEASE, control->code);
    }
    bool synced = c->sync();
    c->drainEvents();
    if (!synced || c->broken()) return lostConnectionLocked();
    if (c->sawError) return Outcome::failure("The X server refused the synthetic key events.");
    return Outcome::success();
}

}  // namespace pavonix::x11
