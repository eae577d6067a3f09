// A notification area that appears after Zandrel (a panel started late in a login session):
// the zandrel command on a real X display (Xvfb) that has no system tray at its start, and an
// XEmbed system tray claimed by this test afterwards. Run under dbus-run-session.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "Subprocess.h"
#include "TempDir.h"
#include "Wait.h"

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

xcb_atom_t atom(xcb_connection_t* c, const std::string& name) {
    const auto cookie = xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str());
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// True once a window of the display's first level is mapped: the tunnels window on screen.
bool windowShown(xcb_connection_t* c, xcb_window_t root) {
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr), &std::free);
    if (!tree) return false;
    const xcb_window_t* windows = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, windows[i]), nullptr), &std::free);
        if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE) return true;
    }
    return false;
}

// True once the running Zandrel has answered a call, that is once its start-up steps are done.
bool zandrelAnswers() {
    std::string out;
    return Subprocess::run({"dbus-send", "--session", "--print-reply", "--dest=org.zandrel.Zandrel",
                            "/org/zandrel/Zandrel", "org.zandrel.Zandrel.ListTunnels"},
                           &out, {}, 5000) == 0;
}

}  // namespace

TEST(LateTray, TrayThatAppearsAfterStartUpIsTakenUp) {
    ASSERT_TRUE(std::getenv("DBUS_SESSION_BUS_ADDRESS")) << "run under dbus-run-session";
    Subprocess xvfb;
    ASSERT_TRUE(xvfb.start({"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24"}))
        << xvfb.error();
    ASSERT_TRUE(xvfb.waitForOutput("\n", 10000)) << xvfb.output();
    // Named, not a temporary: GCC 12 at -O3 misreports ":" + a temporary string (-Wrestrict).
    const std::string number = xvfb.output().substr(0, xvfb.output().find('\n'));
    const std::string display = ":" + number;

    TempDir config("zandrel-late-tray");
    Subprocess zandrel;
    Subprocess::Options env;
    env.setEnv = {"DISPLAY=" + display, "XDG_CONFIG_HOME=" + config.path()};
    env.unsetEnv = {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY"};
    ASSERT_TRUE(zandrel.start({ZANDREL_BINARY}, env));
    ASSERT_TRUE(waitUntil(zandrelAnswers, 15s)) << zandrel.output();

    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(display.c_str(), &screenNumber);
    ASSERT_FALSE(xcb_connection_has_error(c));
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    // Up, without a notification area: it keeps its window on screen.
    ASSERT_TRUE(waitUntil([&] { return windowShown(c, screen->root); }, 5s)) << zandrel.output();
    const xcb_atom_t selection = atom(c, "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber));
    const xcb_atom_t opcode = atom(c, "_NET_SYSTEM_TRAY_OPCODE");
    const xcb_window_t tray = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, tray, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, 0, nullptr);
    xcb_set_selection_owner(c, tray, selection, XCB_CURRENT_TIME);
    // The system tray protocol's announcement: a MANAGER message on the root window.
    xcb_client_message_event_t manager{};
    manager.response_type = XCB_CLIENT_MESSAGE;
    manager.format = 32;
    manager.window = screen->root;
    manager.type = atom(c, "MANAGER");
    manager.data.data32[0] = XCB_CURRENT_TIME;
    manager.data.data32[1] = selection;
    manager.data.data32[2] = tray;
    xcb_send_event(c, 0, screen->root, XCB_EVENT_MASK_STRUCTURE_NOTIFY, reinterpret_cast<const char*>(&manager));
    xcb_flush(c);

    // The icon asks to be docked: SYSTEM_TRAY_REQUEST_DOCK (0) with its window.
    bool docked = false;
    const auto readEvents = [&] {
        while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
            if ((e->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                const auto* m = reinterpret_cast<xcb_client_message_event_t*>(e);
                docked = docked || (m->window == tray && m->type == opcode && m->data.data32[1] == 0 &&
                                    m->data.data32[2] != XCB_WINDOW_NONE);
            }
            std::free(e);
        }
        return docked;
    };
    waitUntil(readEvents, 10s, [&] {
        pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&p, 1, 100);
    });
    xcb_disconnect(c);
    EXPECT_TRUE(docked) << "no dock request reached the tray that appeared late\n" << zandrel.output();
    zandrel.terminate();
    EXPECT_EQ(zandrel.exitCode(), 0) << zandrel.output();
}
