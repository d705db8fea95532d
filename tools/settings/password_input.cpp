#include "settings/password_input.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace quellmark::settings_tool {
namespace {

// The terminal's settings while the echo is off, for the signal handler.
termios g_savedTerminal{};
volatile std::sig_atomic_t g_echoOff = 0;

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Puts the echo back and ends the tool as the signal would have.
extern "C" void RestoreEchoAndRaise(int signal) {
    if (g_echoOff != 0) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Switches the terminal's echo off for its lifetime.
class EchoOff {
public:
    EchoOff() {
        if (::tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0)
            throw std::runtime_error(std::string("Cannot read the terminal's settings: ") + std::strerror(errno));
        for (std::size_t i = 0; i < std::size(kInterrupts); ++i) {
            struct sigaction action {};
            action.sa_handler = RestoreEchoAndRaise;
            sigemptyset(&action.sa_mask);
            ::sigaction(kInterrupts[i], &action, &previous_[i]);
        }
        termios quiet = g_savedTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
        g_echoOff = 1;
        if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) {
            const int error = errno;
            Restore();
            throw std::runtime_error(std::string("Cannot switch the terminal's echo off: ") + std::strerror(error));
        }
    }
    ~EchoOff() { Restore(); }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    void Restore() noexcept {
        if (g_echoOff != 0) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTerminal);
        g_echoOff = 0;
        for (std::size_t i = 0; i < std::size(kInterrupts); ++i) ::sigaction(kInterrupts[i], &previous_[i], nullptr);
    }

    struct sigaction previous_[std::size(kInterrupts)]{};
};

}  // namespace

std::optional<std::string> ReadPasswordLine(std::istream& in) {
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

std::optional<std::string> PromptPassword(const std::string& prompt) {
    std::optional<std::string> password;
    {
        const EchoOff echoOff;
        std::cerr << prompt << std::flush;
        password = ReadPasswordLine(std::cin);
    }
    std::cerr << '\n';  // the Enter the terminal did not echo
    return password;
}

}  // namespace quellmark::settings_tool
