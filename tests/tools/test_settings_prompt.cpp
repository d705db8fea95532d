// The password prompt of quellmark-settings write under job control: an
// interactive bash on a pseudo-terminal runs the tool, which is stopped with
// Ctrl-Z at the prompt and brought back with fg, as an operator would.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "harness/run_program.h"
#include "harness/scratch_dir.h"
#include "ops/settings_file.h"

namespace fs = std::filesystem;

namespace {

// bash -i on a terminal of its own; everything the terminal showed is kept.
class ShellOnTerminal {
public:
    ShellOnTerminal() {
        pid_ = ::forkpty(&terminal_, nullptr, nullptr, nullptr);
        if (pid_ < 0) throw std::runtime_error("forkpty failed");
        if (pid_ == 0) {
            ::setenv("PS1", "shell> ", 1);
            ::setenv("TERM", "dumb", 1);
            ::execlp("bash", "bash", "--norc", "--noprofile", "-i", static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~ShellOnTerminal() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        ::close(terminal_);
    }
    ShellOnTerminal(const ShellOnTerminal&) = delete;
    ShellOnTerminal& operator=(const ShellOnTerminal&) = delete;

    void Type(const std::string& keys) {
        ASSERT_EQ(::write(terminal_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // Reads until the screen shows `text` for the `count`th time; false
    // after 30 seconds without it.
    bool WaitFor(const std::string& text, int count = 1) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (Occurrences(text) < count) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{terminal_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[512];
            const ssize_t n = ::read(terminal_, buffer, sizeof buffer);
            if (n <= 0) return false;
            screen_.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }

    int Occurrences(const std::string& text) const {
        int n = 0;
        for (std::size_t at = screen_.find(text); at != std::string::npos; at = screen_.find(text, at + 1)) ++n;
        return n;
    }
    const std::string& Screen() const { return screen_; }

private:
    pid_t pid_ = -1;
    int terminal_ = -1;
    std::string screen_;
};

TEST(SettingsPrompt, StoppedAndContinuedAtThePromptShowsNothingTyped) {
    const quellmark::test::ScratchDir dir("quellmark-prompt");
    const fs::path file = dir / "Sarnwick.mdb";
    ShellOnTerminal shell;
    ASSERT_TRUE(shell.WaitFor("shell> ")) << shell.Screen();
    shell.Type(quellmark::test::SettingsToolPath() + " write '" + file.string() +
               "' --type 'Remote SQL Authentication' --timeout 15 --server s --port 1433 --database d --user u\n");
    ASSERT_TRUE(shell.WaitFor("Password of the SQL login \"u\": ")) << shell.Screen();
    shell.Type("Half");
    shell.Type("\x1a");  // Ctrl-Z
    ASSERT_TRUE(shell.WaitFor("Stopped")) << shell.Screen();
    ASSERT_TRUE(shell.WaitFor("shell> ", 2)) << shell.Screen();
    // The shell reads the terminal with its echo back, and without the half password.
    shell.Type("echo at-the-shell\n");
    ASSERT_TRUE(shell.WaitFor("at-the-shell", 2)) << "the shell's echo is off:\n" << shell.Screen();
    shell.Type("fg\n");
    // Continued, the tool asks again for the whole password.
    ASSERT_TRUE(shell.WaitFor("Password of the SQL login \"u\": ", 2)) << shell.Screen();
    shell.Type("Wh0le;pw\n");
    ASSERT_TRUE(shell.WaitFor("shell> ", 4)) << shell.Screen();
    shell.Type("echo exit-status-$?\n");
    ASSERT_TRUE(shell.WaitFor("exit-status-0")) << shell.Screen();

    EXPECT_EQ(shell.Screen().find("Half"), std::string::npos) << "typed text was shown:\n" << shell.Screen();
    EXPECT_EQ(shell.Screen().find("Wh0le"), std::string::npos) << "typed text was shown:\n" << shell.Screen();
    namespace ops = quellmark::ops;
    EXPECT_EQ(ops::ReadOnlineSettings(ops::SettingsConnStringForFile(file)).OnlDbPass, "Wh0le;pw");
}

}  // namespace
