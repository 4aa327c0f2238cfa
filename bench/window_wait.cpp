// Launches a program and reports how long it takes until its top-level window with the given
// title is mapped, then ends the program. Listens for MapNotify on the root window, so the time is
// exact to the event rather than to a polling interval. Meant for a bare X server (Xvfb, no window
// manager), where a mapped top-level window is viewable at once.
//
//   window_wait TITLE TIMEOUT_MS PROGRAM [ARGS...]     prints "<seconds>" and exits 0, 1 on timeout

#include <xcb/xcb.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

xcb_atom_t atom(xcb_connection_t* c, const char* name)
{
    xcb_intern_atom_reply_t* reply
        = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
    return a;
}

std::string property(xcb_connection_t* c, xcb_window_t window, xcb_atom_t name, xcb_atom_t type)
{
    std::string text;
    xcb_get_property_reply_t* reply
        = xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, type, 0, 1024), nullptr);
    if (reply) {
        text.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                    static_cast<size_t>(xcb_get_property_value_length(reply)));
        std::free(reply);
    }
    return text;
}

bool viewable(xcb_connection_t* c, xcb_window_t window)
{
    xcb_get_window_attributes_reply_t* reply
        = xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr);
    const bool yes = reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
    std::free(reply);
    return yes;
}

void end(pid_t child)
{
    ::kill(child, SIGTERM);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) { }
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: window_wait TITLE TIMEOUT_MS PROGRAM [ARGS...]\n");
        return 2;
    }
    const std::string title = argv[1];
    const auto timeout = std::chrono::milliseconds(std::atol(argv[2]));

    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "window_wait: cannot connect to the X server\n");
        return 2;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, &mask);
    const xcb_atom_t netWmName = atom(c, "_NET_WM_NAME");
    const xcb_atom_t utf8 = atom(c, "UTF8_STRING");
    // The round trip makes sure the server listens before the program starts.
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

    const auto started = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        ::execvp(argv[3], argv + 3);
        std::perror("window_wait: exec");
        _exit(127);
    }
    if (child < 0) {
        std::perror("window_wait: fork");
        return 2;
    }

    const int fd = xcb_get_file_descriptor(c);
    for (;;) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
            const auto at = std::chrono::steady_clock::now();
            if ((event->response_type & 0x7F) == XCB_MAP_NOTIFY) {
                const xcb_window_t window = reinterpret_cast<xcb_map_notify_event_t*>(event)->window;
                std::string name = property(c, window, netWmName, utf8);
                if (name.empty()) {
                    name = property(c, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING);
                }
                if (name == title && viewable(c, window)) {
                    std::free(event);
                    std::printf("%.6f\n", std::chrono::duration<double>(at - started).count());
                    std::fflush(stdout);
                    end(child);
                    xcb_disconnect(c);
                    return 0;
                }
            }
            std::free(event);
        }
        if (xcb_connection_has_error(c)) {
            std::fprintf(stderr, "window_wait: lost the X server\n");
            end(child);
            return 2;
        }
        const auto left = timeout - (std::chrono::steady_clock::now() - started);
        if (left <= std::chrono::milliseconds(0)) {
            std::fprintf(stderr, "window_wait: no window \"%s\" in time\n", title.c_str());
            end(child);
            xcb_disconnect(c);
            return 1;
        }
        pollfd p { fd, POLLIN, 0 };
        ::poll(&p, 1, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1);
    }
}
