/* startup_probe: starts a program on the X display and times it until its
 * top-level window titled TITLE is mapped and then painted; reads the
 * process's peak resident memory (VmHWM) a moment later, closes the window
 * with WM_DELETE_WINDOW as a window manager's close button does, and waits
 * for the process to end.
 *
 *   startup_probe [--title TITLE] [--settle-ms N] PROGRAM [ARGS...]
 *
 * Prints one line:
 *   map_ms=M paint_ms=P hwm_kb=H rss_kb=R exit=E unpainted_samples=U
 * map_ms: from just before fork to the MapNotify of the window; paint_ms: to
 * the first moment its contents are no longer a single colour (the painted
 * controls), sampled every millisecond; U: how many samples still showed a
 * single colour (0 means the frame was there at the first look). The display should have a plain root
 * (Xvfb -br), so an unpainted window shows one colour. */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1000.0 + (double)t.tv_nsec / 1e6;
}

static int ignore_x_error(Display* display, XErrorEvent* error) {
    (void)display;
    (void)error;
    return 0;
}

static int has_title(Display* display, Window window, const char* title) {
    char* name = NULL;
    int match = 0;
    if (XFetchName(display, window, &name) && name != NULL) {
        match = strcmp(name, title) == 0;
        XFree(name);
    }
    return match;
}

/* 1 when the window's contents hold more than one colour; -1 when they cannot be read. */
static int painted(Display* display, Window window) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, window, &attributes) || attributes.map_state != IsViewable) return -1;
    XImage* image =
        XGetImage(display, window, 0, 0, (unsigned)attributes.width, (unsigned)attributes.height, AllPlanes, ZPixmap);
    if (image == NULL) return -1;
    const unsigned long first = XGetPixel(image, 0, 0);
    int varied = 0;
    for (int y = 0; y < image->height && !varied; y += 2)
        for (int x = 0; x < image->width; x += 2)
            if (XGetPixel(image, x, y) != first) {
                varied = 1;
                break;
            }
    XDestroyImage(image);
    return varied;
}

static long status_kb(pid_t pid, const char* field) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE* file = fopen(path, "r");
    if (file == NULL) return -1;
    char line[256];
    long value = -1;
    const size_t n = strlen(field);
    while (fgets(line, sizeof line, file))
        if (strncmp(line, field, n) == 0 && line[n] == ':') {
            value = strtol(line + n + 1, NULL, 10);
            break;
        }
    fclose(file);
    return value;
}

/* Waits for an X event up to deadline (ms on now_ms's clock); 0 on timeout. */
static int next_event(Display* display, XEvent* event, double deadline) {
    for (;;) {
        if (XPending(display)) {
            XNextEvent(display, event);
            return 1;
        }
        const double left = deadline - now_ms();
        if (left <= 0) return 0;
        const int fd = ConnectionNumber(display);
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        struct timeval timeout = {(time_t)(left / 1000), (suseconds_t)((long)left % 1000) * 1000};
        select(fd + 1, &set, NULL, NULL, &timeout);
    }
}

static void close_window(Display* display, Window window) {
    XEvent event;
    memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}

int main(int argc, char** argv) {
    const char* title = "  Quellmark";
    long settle_ms = 500;
    int first = 1;
    while (first < argc && strncmp(argv[first], "--", 2) == 0) {
        if (strcmp(argv[first], "--title") == 0 && first + 1 < argc) {
            title = argv[first + 1];
            first += 2;
        } else if (strcmp(argv[first], "--settle-ms") == 0 && first + 1 < argc) {
            settle_ms = strtol(argv[first + 1], NULL, 10);
            first += 2;
        } else {
            break;
        }
    }
    if (first >= argc) {
        fprintf(stderr, "usage: startup_probe [--title TITLE] [--settle-ms N] PROGRAM [ARGS...]\n");
        return 2;
    }
    Display* display = XOpenDisplay(NULL);
    if (display == NULL) {
        fprintf(stderr, "startup_probe: cannot open the display\n");
        return 1;
    }
    XSetErrorHandler(ignore_x_error);
    fcntl(ConnectionNumber(display), F_SETFD, FD_CLOEXEC);
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);

    const double start = now_ms();
    const pid_t pid = fork();
    if (pid < 0) {
        perror("startup_probe: fork");
        return 1;
    }
    if (pid == 0) {
        execvp(argv[first], argv + first);
        _exit(127);
    }

    Window window = 0;
    double map_ms = -1, paint_ms = -1;
    int unpainted = 0; /* samples of the mapped window before it was painted */
    XEvent event;
    while (window == 0 && next_event(display, &event, start + 30000)) {
        if (event.type == MapNotify && has_title(display, event.xmap.window, title)) {
            map_ms = now_ms() - start;
            window = event.xmap.window;
        }
    }
    if (window != 0) {
        const double deadline = now_ms() + 30000;
        while (now_ms() < deadline) {
            const int state = painted(display, window);
            if (state == 1) {
                paint_ms = now_ms() - start;
                break;
            }
            if (state == 0) ++unpainted;
            usleep(1000);
        }
        usleep((useconds_t)(settle_ms * 1000));
    }
    const long hwm = status_kb(pid, "VmHWM");
    const long rss = status_kb(pid, "VmRSS");

    int status = -1;
    if (window != 0) {
        close_window(display, window);
        const double deadline = now_ms() + 10000;
        while (now_ms() < deadline) {
            const pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid) break;
            status = -1;
            usleep(2000);
        }
    }
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, NULL, 0);
    }
    XCloseDisplay(display);
    const int exit_code = status == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    printf("map_ms=%.1f paint_ms=%.1f hwm_kb=%ld rss_kb=%ld exit=%d unpainted_samples=%d\n", map_ms, paint_ms, hwm, rss,
           exit_code, unpainted);
    return window != 0 && paint_ms >= 0 && exit_code == 0 ? 0 : 1;
}
