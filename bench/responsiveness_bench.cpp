// responsiveness_bench: how quickly the real frmMain answers clicks during
// deletion runs against quellmark-logdb.
//
//   responsiveness_bench [--rows N] [--matching M] [--chunk C] [--runs R]
//                        [--passes-before-cancel K] [--interval-ms I] [--seed S]
//
// A second thread posts timestamped mouse clicks (press + release) to the copy
// and paste area, which stays enabled while a run is busy, every I..2I ms; an
// event filter notes when each press is delivered to it. Each of R runs is
// started with a click on Delete All Records and ended by a click on Cancel,
// posted at a random moment in the 600 ms after the K-th pass began.
//
// The window is wrapped in a WindowPort that forwards every call to frmMain
// and timestamps the event rounds of the pauses (and keeps failure messages
// out of a modal box), so each click can be told apart: handled within one
// pause, or waiting on a server statement (the count and delete between two
// pauses, with the 10 ms sleep that follows them).
#include <QAbstractScrollArea>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointingDevice>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "ops/settings_file.h"
#include "ops/window_port.h"
#include "ui/frmMain.h"

namespace {

using quellmark::bench::Clock;
using quellmark::bench::Ms;
using quellmark::bench::Summary;

std::int64_t Ticks(Clock::time_point t) { return t.time_since_epoch().count(); }
Clock::time_point FromTicks(std::int64_t ticks) { return Clock::time_point(Clock::duration(ticks)); }

// A mouse event that carries the moment it was posted. Made on the user
// interface thread (a pointer event's constructor touches its device's
// point table, which only that thread may use); the clicking thread stamps
// and posts it.
class StampedClick : public QMouseEvent {
public:
    StampedClick(Type type, QPointF local, QPointF global, const QPointingDevice* device)
        : QMouseEvent(type, local, global, Qt::LeftButton, type == MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                      Qt::NoModifier, device) {}
    Clock::time_point posted;
};

// Press and release pairs for one target, made ahead of time.
class ClickPool {
public:
    ClickPool(QWidget* target, std::size_t clicks, const QPointingDevice* device) : target_(target) {
        const QPointF local(target->width() / 2.0, target->height() / 2.0);
        const QPointF global = target->mapToGlobal(local);
        events_.reserve(2 * clicks);
        for (std::size_t i = 0; i < clicks; ++i) {
            events_.push_back(new StampedClick(QEvent::MouseButtonPress, local, global, device));
            events_.push_back(new StampedClick(QEvent::MouseButtonRelease, local, global, device));
        }
    }
    ~ClickPool() {
        for (std::size_t i = next_; i < events_.size(); ++i) delete events_[i];
    }
    ClickPool(const ClickPool&) = delete;
    ClickPool& operator=(const ClickPool&) = delete;

    // Posts the next click; false when the pool is used up. The posted
    // events belong to the event queue from then on.
    bool Post() {
        if (next_ + 1 >= events_.size()) return false;
        const auto now = Clock::now();
        for (int k = 0; k < 2; ++k) {
            StampedClick* event = events_[next_++];
            event->posted = now;
            QCoreApplication::postEvent(target_, event);
        }
        return true;
    }
    std::size_t Posted() const noexcept { return next_ / 2; }

private:
    QWidget* target_;
    std::vector<StampedClick*> events_;
    std::size_t next_ = 0;
};

struct Sample {
    Clock::time_point posted;
    Clock::time_point handled;
};

// Notes when each stamped press reaches the watched widget.
class PressRecorder : public QObject {
public:
    std::vector<Sample> samples;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonPress) {
            if (const auto* click = dynamic_cast<const StampedClick*>(event))
                samples.push_back({click->posted, Clock::now()});
        }
        return QObject::eventFilter(watched, event);
    }
};

// The real window, timing its event rounds and counting passes.
class TimingPort : public quellmark::ui::frmMain {
public:
    TimingPort() { rounds.reserve(1 << 14); }

    struct Round {
        Clock::time_point start, end;
    };
    std::vector<Round> rounds;
    std::vector<std::string> messages;
    std::atomic<int> recLeftTexts{0};
    std::atomic<std::int64_t> lastRecLeftTicks{0};

    void SetRecLeftText(const std::string& text) override {
        frmMain::SetRecLeftText(text);
        lastRecLeftTicks = Ticks(Clock::now());
        ++recLeftTexts;
    }
    void ShowMessage(const std::string& text) override {
        messages.push_back(text);
        cmdCancel_Click();  // a failing bench run ends at once
    }
    void ProcessPendingEvents() override {
        const auto start = Clock::now();
        frmMain::ProcessPendingEvents();
        rounds.push_back({start, Clock::now()});
    }
};

struct Options : quellmark::bench::DataOptions {
    int runs = 6;
    int passesBeforeCancel = 4;
    int intervalMs = 3;
    std::size_t maxClicks = 30000;  // clicks made ahead of time; no more are posted
};

Options ParseOptions(int argc, char** argv) {
    Options o;
    quellmark::bench::ParseOptions(argc, argv, o,
                                   "usage: responsiveness_bench [--rows N] [--matching M] [--chunk C] [--runs R] "
                                   "[--passes-before-cancel K] [--interval-ms I] [--seed S]",
                                   [&](const std::string& arg, const std::function<long long()>& value) {
                                       if (arg == "--runs") {
                                           o.runs = static_cast<int>(value());
                                       } else if (arg == "--passes-before-cancel") {
                                           o.passesBeforeCancel = static_cast<int>(value());
                                       } else if (arg == "--interval-ms") {
                                           o.intervalMs = static_cast<int>(value());
                                       } else {
                                           return false;
                                       }
                                       return true;
                                   });
    if (o.rows < 1 || o.matching < 1 || o.matching > o.rows || o.runs < 1 || o.passesBeforeCancel < 1 ||
        o.intervalMs < 1)
        throw std::runtime_error("bad options");
    if (o.chunk != 1000 && o.chunk != 2000 && o.chunk != 5000)
        throw std::runtime_error("--chunk must be one of the window's chunk sizes: 1000, 2000, 5000");
    return o;
}

void PrintSummary(const char* what, const Summary& s) {
    std::printf("  %-44s n=%-5zu median %7.2f ms  p95 %7.2f  p99 %7.2f  max %7.2f ms\n", what, s.n, s.median, s.p95,
                s.p99, s.max);
}

struct RunRecord {
    Clock::time_point start, end;
    std::int64_t cancelPosted = 0;   // ticks; 0: no cancel was posted
    std::int64_t cancelHandled = 0;  // ticks; 0: the handler did not run
    int passes = 0;
};

int Main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

    quellmark::test::ScratchDir scratch("responsiveness-bench");
    const std::filesystem::path dir = scratch.Path();
    quellmark::bench::PrepareLogData(dir / "log.sqlite", options.rows, options.matching, options.seed);
    quellmark::bench::LogServer server(quellmark::bench::ServerFor(dir / "log.sqlite", dir / "log.stats"));
    std::filesystem::create_directory(dir / "app");
    quellmark::bench::WriteSettings(dir / "app" / "Sarnwick.mdb", server.Port());

    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        std::filesystem::create_directory(dir / "runtime");
        std::filesystem::permissions(dir / "runtime", std::filesystem::perms::owner_all);
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString((dir / "runtime").string()));
    }
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);
    TimingPort port;
    quellmark::ui::frmMain& window = port;
    window.show();
    window.SettingsConnString = quellmark::ops::SettingsConnStringForFolder((dir / "app").string());

    window.cboSqlTemplate->setCurrentIndex(window.cboSqlTemplate->findText(QStringLiteral("Priority")));
    window.cboChunks->setCurrentIndex(window.cboChunks->findText(QString::number(options.chunk)));
    window.cmdCreateSql->click();
    std::printf(
        "data:      %lld rows, %lld with priority 7, chunk %d; %d runs, Cancel after pass %d; "
        "a click every %d..%d ms (platform %s)\n",
        static_cast<long long>(options.rows), static_cast<long long>(options.matching), options.chunk, options.runs,
        options.passesBeforeCancel, options.intervalMs, 2 * options.intervalMs,
        qPrintable(QGuiApplication::platformName()));
    std::printf("statement: %s\n\n", qPrintable(window.txtSqlQuery->toPlainText()));
    std::fflush(stdout);

    PressRecorder recorder;
    recorder.samples.reserve(1 << 16);
    QWidget* probeTarget = window.txtCopyPaste->viewport();
    probeTarget->installEventFilter(&recorder);

    std::vector<RunRecord> runs;
    std::atomic<bool> runActive{false};
    std::atomic<int> runStartTexts{0};
    std::atomic<std::int64_t> cancelPosted{0};
    std::atomic<std::int64_t> cancelHandled{0};
    std::atomic<bool> stop{false};
    QObject::connect(window.cmdCancel, &QPushButton::clicked, [&] {
        if (cancelHandled == 0) cancelHandled = Ticks(Clock::now());
    });

    const QPointingDevice* device = QPointingDevice::primaryPointingDevice();
    ClickPool probes(probeTarget, options.maxClicks, device);
    ClickPool cancels(window.cmdCancel, static_cast<std::size_t>(options.runs), device);
    bool probesUsedUp = false;

    std::thread clicker([&] {
        std::mt19937 random(12345);
        std::uniform_int_distribution<int> gap(options.intervalMs * 1000, options.intervalMs * 2000);
        std::uniform_int_distribution<int> cancelDelay(0, 600);
        std::int64_t cancelAt = 0;
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::microseconds(gap(random)));
            if (!probes.Post()) probesUsedUp = true;
            if (!runActive || cancelPosted != 0) {
                cancelAt = 0;
                continue;
            }
            if (cancelAt == 0 && port.recLeftTexts - runStartTexts >= options.passesBeforeCancel) {
                cancelAt =
                    port.lastRecLeftTicks +
                    std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(cancelDelay(random))).count();
            }
            if (cancelAt != 0 && Ticks(Clock::now()) >= cancelAt) {
                cancelPosted = Ticks(Clock::now());
                cancels.Post();
            }
        }
    });

    QTimer::singleShot(0, [&] {
        for (int r = 0; r < options.runs && port.messages.empty(); ++r) {
            RunRecord record;
            cancelPosted = 0;
            cancelHandled = 0;
            runStartTexts = port.recLeftTexts.load();
            record.start = Clock::now();
            runActive = true;
            window.cmdDelete->click();  // returns when the run has ended
            record.end = Clock::now();
            runActive = false;
            record.cancelPosted = cancelPosted;
            record.cancelHandled = cancelHandled;
            record.passes = port.recLeftTexts - runStartTexts - 1;
            runs.push_back(record);
            std::printf("run %d: %d passes in %.0f ms, Records Left %s\n", r + 1, record.passes,
                        Ms(record.end - record.start), qPrintable(window.txtRecLeft->text()));
            std::fflush(stdout);
            if (window.txtRecLeft->text() == QStringLiteral("0")) break;
            // An idle second between runs: clicks handled by the ordinary event loop.
            const auto idleUntil = Clock::now() + std::chrono::seconds(1);
            while (Clock::now() < idleUntil) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        QCoreApplication::quit();
    });
    app.exec();
    stop = true;
    clicker.join();
    QCoreApplication::processEvents();  // the clicks still queued
    server.Kill();

    for (const std::string& m : port.messages) std::fprintf(stderr, "message: %s\n", m.c_str());
    if (!port.messages.empty()) throw std::runtime_error("a deletion run reported a failure");

    // The pauses: 20 event rounds each, from the first round's start to the last one's end.
    struct Window {
        Clock::time_point start, end;
    };
    std::vector<Window> pauses;
    for (std::size_t i = 0; i + 19 < port.rounds.size(); i += 20)
        pauses.push_back({port.rounds[i].start, port.rounds[i + 19].end});
    std::vector<double> betweenPauses;  // server statements + the first sleep slice, within one run
    for (const RunRecord& run : runs) {
        Clock::time_point previous = run.start;
        for (const Window& p : pauses) {
            if (p.start < run.start || p.end > run.end) continue;
            betweenPauses.push_back(Ms(p.start - previous));
            previous = p.end;
        }
    }
    const auto inPause = [&](const Sample& s) {
        auto it = std::upper_bound(pauses.begin(), pauses.end(), s.posted,
                                   [](Clock::time_point t, const Window& w) { return t < w.start; });
        if (it == pauses.begin()) return false;
        --it;
        return s.posted >= it->start && s.handled <= it->end;
    };
    const auto inRun = [&](const Sample& s) {
        return std::any_of(runs.begin(), runs.end(),
                           [&](const RunRecord& r) { return s.posted >= r.start && s.handled <= r.end; });
    };

    std::vector<double> pauseDelays, statementDelays, idleDelays;
    std::size_t straddling = 0;
    for (const Sample& s : recorder.samples) {
        const double delay = Ms(s.handled - s.posted);
        if (inRun(s)) {
            (inPause(s) ? pauseDelays : statementDelays).push_back(delay);
        } else if (std::none_of(runs.begin(), runs.end(),
                                [&](const RunRecord& r) { return s.handled >= r.start && s.posted <= r.end; })) {
            idleDelays.push_back(delay);
        } else {
            ++straddling;  // posted before a run began or handled after it ended
        }
    }

    const auto stats = quellmark::bench::ReadStats(dir / "log.stats");
    std::vector<double> statementMs;
    for (std::int64_t micros : stats.statementMicros) statementMs.push_back(static_cast<double>(micros) / 1000);

    std::printf("\nclick on the copy/paste area -> its handler (%zu clicks, %zu straddling a run's start or end):\n",
                recorder.samples.size(), straddling);
    if (probesUsedUp) std::printf("  note: all %zu prepared clicks were posted before the end\n", probes.Posted());
    const Summary pause = quellmark::bench::Summarize(pauseDelays);
    PrintSummary("within a pause", pause);
    PrintSummary("waiting on a server statement", quellmark::bench::Summarize(statementDelays));
    PrintSummary("idle window (between runs)", quellmark::bench::Summarize(idleDelays));
    std::printf("context:\n");
    PrintSummary("server statement (from --stats)", quellmark::bench::Summarize(statementMs));
    PrintSummary("gap between pauses (statements + 10 ms)", quellmark::bench::Summarize(betweenPauses));
    std::vector<double> roundMs;
    for (const auto& r : port.rounds) roundMs.push_back(Ms(r.end - r.start));
    PrintSummary("event round in a pause", quellmark::bench::Summarize(roundMs));

    std::printf("\nclick on Cancel -> end of the run:\n");
    std::vector<double> cancelToEnd, cancelDispatch;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const RunRecord& r = runs[i];
        if (r.cancelPosted == 0) {
            std::printf("  run %zu: no Cancel click (the run ran out of rows first)\n", i + 1);
            continue;
        }
        const Sample s{FromTicks(r.cancelPosted), FromTicks(r.cancelHandled ? r.cancelHandled : r.cancelPosted)};
        const double toEnd = Ms(r.end - s.posted);
        cancelToEnd.push_back(toEnd);
        if (r.cancelHandled) cancelDispatch.push_back(Ms(s.handled - s.posted));
        std::printf("  run %zu: posted %s, handler after %.2f ms, run ended after %.1f ms\n", i + 1,
                    inPause(s) ? "in a pause" : "during a statement", r.cancelHandled ? Ms(s.handled - s.posted) : -1.0,
                    toEnd);
    }
    PrintSummary("Cancel click -> its handler", quellmark::bench::Summarize(cancelDispatch));
    PrintSummary("Cancel click -> end of the run", quellmark::bench::Summarize(cancelToEnd));

    const Summary cancel = quellmark::bench::Summarize(cancelToEnd);
    std::printf("\nclick_median_ms=%.2f click_max_ms=%.2f cancel_median_ms=%.1f cancel_max_ms=%.1f samples=%zu\n",
                pause.median, pause.max, cancel.median, cancel.max, pause.n);
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return quellmark::bench::RunMain("responsiveness_bench", Main, argc, argv); }
