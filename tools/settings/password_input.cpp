#include "settings/password_input.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "base/terminal_text.h"
#include "settings/settings_row.h"

namespace quellmark::settings_tool {
namespace {

// What the signal handlers need while the echo is off: the terminal's own
// settings, the quiet ones, and the prompt to show again after a stop.
termios g_savedTerminal{};
termios g_quietTerminal{};
const char* g_prompt = nullptr;
std::size_t g_promptSize = 0;
volatile std::sig_atomic_t g_echoOff = 0;

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
// Job control: Ctrl-Z, and reading or writing the terminal from the background.
constexpr int kStops[] = {SIGTSTP, SIGTTIN, SIGTTOU};

// Only the foreground process group may change the terminal; a stopped tool
// continued in the background leaves it to the shell.
bool InForeground() { return ::tcgetpgrp(STDIN_FILENO) == ::getpgrp(); }

void WriteAll(int fd, const char* text, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, text, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        size -= static_cast<std::size_t>(n);
    }
}

// Puts the echo back and ends the tool as the signal would have.
extern "C" void RestoreEchoAndRaise(int signal) {
    if (g_echoOff != 0) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Gives the terminal back as it was, with the half-typed password discarded
// so that the shell does not read it, and stops as the signal would have.
// When the tool is continued in the foreground the echo goes off again and
// the prompt is shown anew for the whole password.
extern "C" void RestoreEchoAndStop(int signal) {
    const int savedErrno = errno;
    if (g_echoOff != 0 && InForeground()) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);

    struct sigaction stopping {};
    stopping.sa_handler = SIG_DFL;
    sigemptyset(&stopping.sa_mask);
    struct sigaction ours {};
    ::sigaction(signal, &stopping, &ours);
    sigset_t only{};
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigset_t before{};
    ::raise(signal);  // blocked while this handler runs: pending until unblocked
    ::sigprocmask(SIG_UNBLOCK, &only, &before);
    // Stopped here; a SIGCONT carries on.
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    ::sigaction(signal, &ours, nullptr);

    if (g_echoOff != 0 && InForeground()) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_quietTerminal);
        WriteAll(STDERR_FILENO, "\n", 1);
        WriteAll(STDERR_FILENO, g_prompt, g_promptSize);
    }
    errno = savedErrno;
}

// Switches the terminal's echo off for its lifetime, keeping it off across a
// stop and continue of the tool.
class EchoOff {
public:
    explicit EchoOff(const std::string& prompt) {
        if (::tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0)
            throw std::runtime_error(std::string("Cannot read the terminal's settings: ") + std::strerror(errno));
        g_prompt = prompt.c_str();
        g_promptSize = prompt.size();
        g_quietTerminal = g_savedTerminal;
        g_quietTerminal.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
        for (std::size_t i = 0; i < std::size(kInterrupts); ++i) Install(kInterrupts[i], RestoreEchoAndRaise, 0, i);
        // Each stop signal blocks the others while it is handled, and a read
        // of the terminal goes on after the tool is continued.
        for (std::size_t i = 0; i < std::size(kStops); ++i)
            Install(kStops[i], RestoreEchoAndStop, SA_RESTART, std::size(kInterrupts) + i);
        g_echoOff = 1;
        if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_quietTerminal) != 0) {
            const int error = errno;
            Restore();
            throw std::runtime_error(std::string("Cannot switch the terminal's echo off: ") + std::strerror(error));
        }
    }
    ~EchoOff() { Restore(); }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    static constexpr std::size_t kHandled = std::size(kInterrupts) + std::size(kStops);

    // Handles `signal` unless it is ignored (a tool started without job
    // control keeps ignoring Ctrl-Z).
    void Install(int signal, void (*handler)(int), int flags, std::size_t slot) {
        installed_[slot] = false;
        if (::sigaction(signal, nullptr, &previous_[slot]) != 0 || previous_[slot].sa_handler == SIG_IGN) return;
        struct sigaction action {};
        action.sa_handler = handler;
        action.sa_flags = flags;
        sigemptyset(&action.sa_mask);
        for (const int stop : kStops) sigaddset(&action.sa_mask, stop);
        installed_[slot] = ::sigaction(signal, &action, nullptr) == 0;
    }

    void Restore() noexcept {
        // The handlers go first, so that none of them turns the echo off again.
        sigset_t all{};
        sigset_t before{};
        sigfillset(&all);
        ::sigprocmask(SIG_BLOCK, &all, &before);
        for (std::size_t i = 0; i < kHandled; ++i) {
            const int signal = i < std::size(kInterrupts) ? kInterrupts[i] : kStops[i - std::size(kInterrupts)];
            if (installed_[i]) ::sigaction(signal, &previous_[i], nullptr);
            installed_[i] = false;
        }
        if (g_echoOff != 0) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
        g_echoOff = 0;
        ::sigprocmask(SIG_SETMASK, &before, nullptr);
    }

    struct sigaction previous_[kHandled] {};
    bool installed_[kHandled]{};
};

}  // namespace

std::optional<std::string> ReadPasswordLine(std::istream& in) {
    std::string line;
    char c = 0;
    bool any = false;
    while (in.get(c)) {
        any = true;
        if (c == '\n') break;
        if (line.size() == kMaxPasswordLineBytes)
            throw UsageError{"the password's line is longer than " + std::to_string(kMaxPasswordLineBytes) +
                             " bytes, far longer than any SQL Server password; nothing was written."};
        line += c;
    }
    if (!any) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

std::optional<std::string> PromptPassword(const std::string& prompt) {
    std::optional<std::string> password;
    {
        // What a signal handler shows again after a stop, as Report shows it.
        const std::string shown = base::Visible(prompt);
        const EchoOff echoOff(shown);
        base::Report(stderr, prompt, base::Layout::OneLine, base::MessageEnd::Open);
        password = ReadPasswordLine(std::cin);
    }
    base::Report(stderr, "");  // the Enter the terminal did not echo
    return password;
}

}  // namespace quellmark::settings_tool
