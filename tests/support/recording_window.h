// A stand-in for the main window in the operations' tests: it holds the
// statement box's text, records every text written to the two number boxes
// and every message, runs a test's hook when events are processed, and holds
// the Cancel request a hook can set.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ops/window_port.h"

namespace quellmark::test {

class RecordingWindow : public quellmark::ops::WindowPort {
public:
    std::string statement;
    std::string count = "0";
    std::vector<std::string> recLeft;  // every text shown, in order
    std::vector<std::string> messages;
    int eventRounds = 0;
    std::function<void(int round)> onEvents;
    bool cancelRequested = false;

    std::string SqlQueryText() const override { return statement; }
    void SetCountText(const std::string& text) override { count = text; }
    void SetRecLeftText(const std::string& text) override { recLeft.push_back(text); }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    void ProcessPendingEvents() override {
        ++eventRounds;
        if (onEvents) onEvents(eventRounds);
    }
    bool CancelRequested() const override { return cancelRequested; }
    void ClearCancelRequest() override { cancelRequested = false; }
};

}  // namespace quellmark::test
