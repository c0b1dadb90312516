// vel-emulate's run timeline as a process: scripts that cannot be read or cannot happen are
// refused before the service starts (status 2, a message naming the place), and --help lists
// the options.
#include <gtest/gtest.h>

#include <fstream>

#include "testSupport.h"

namespace {

const std::string kEmu = vtest::binPath("emulator/vel-emulate");

struct EmulateEvents : ::testing::Test {
    vtest::IsolatedEnv env;
    vtest::TempDir dir;

    std::string script(const std::string& name, const std::string& text) {
        const std::string path = dir.file(name);
        std::ofstream(path) << text;
        return path;
    }
};

}  // namespace

TEST_F(EmulateEvents, ScriptsThatCannotBeReadOrCannotHappenExitTwoWithTheReason) {
    struct Case {
        std::string text;                // the events file ("" : none written)
        std::vector<std::string> extra;  // more options
        std::string says;                // in the message on stderr
    };
    const std::vector<Case> cases = {
        {"# comment\n\n1 explode 1\n", {}, "e.txt:3: unknown action \"explode\""},
        {"soon unplug-monitor 1 0\n", {}, "e.txt:1: bad time \"soon\""},
        {"-1 unplug-monitor 1 0\n", {}, "e.txt:1: bad time \"-1\""},
        {"1 unplug-monitor 1 3\n", {}, "e.txt:1: bad port \"3\""},
        {"1 unplug-monitor 1\n", {}, "e.txt:1: expected \"unplug-monitor ADAPTER PORT\""},
        {"1 unplug-adapter 1 0\n", {}, "e.txt:1: expected \"unplug-adapter ADAPTER\""},
        {"1 mode 1 0 1280by720\n", {}, "e.txt:1: bad mode \"1280by720\""},
        {"1 mode 1 0 99999x720\n", {}, "e.txt:1: bad mode \"99999x720\""},
        {"1 dpms 1 0 dim\n", {}, "e.txt:1: bad DPMS state \"dim\""},
        {"1 cursor 1 0 10\n", {}, "e.txt:1: expected \"cursor ADAPTER PORT X Y\""},
        {"1 cursor 1 0 10 -3\n", {}, "e.txt:1: bad cursor position \"10 -3\""},
        {"1 cursor 1 2 10 10\n", {}, "port 2 of adapter 1 has no monitor"},
        {"1 plug-monitor 1 1 missing.bin\n", {}, "e.txt:1: cannot read "},
        {"1 unplug-adapter 2\n", {}, "there is no adapter 2"},
        // Played in time order: the line-1 event comes second.
        {"2 unplug-adapter 1\n1 unplug-adapter 1 # twice\n",
         {},
         "e.txt:1: unplug-adapter 1: adapter 1 is not plugged"},
        {"1 plug-monitor 1 0\n", {}, "port 0 of adapter 1 already has a monitor"},
        {"1 unplug-monitor 1 2\n", {}, "port 2 of adapter 1 has no monitor"},
        {"1 unplug-adapter 1\n2 mode 1 0 1280x720\n", {}, "adapter 1 is not plugged"},
        {"5 unplug-monitor 1 0\n", {}, "at or after the end of the run"},
        {"", {"--at", "1.5 unplug-monitor 1 0"}, "expected SECONDS:ACTION ARGS"},
        {"", {"--at", "x:unplug-monitor 1 0"}, "bad time"},
        {"", {"--adapter", "508", "--at", "1:unplug-monitor 2 0"}, "no model-520 adapter"},
        // A 50x adapter's monitors are its --monitor options: desktop events find them by port.
        {"",
         {"--adapter", "508", "--at", "1:cursor 2 1 5 5"},
         "port 1 of adapter 2 has no monitor"},
        {"", {"--at", "1:cursor 1 3 5 5"}, "adapter 1 is a model-520 adapter: 0, 1 or 2"},
        {"", {"--at", "1:cursor 1 4 5 5"}, "bad port \"4\""},
        {"", {"--events", "/nonexistent/e.txt"}, "cannot read events file /nonexistent/e.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text + " " + (c.extra.empty() ? "" : c.extra.back()));
        std::vector<std::string> argv = {kEmu, "--adapter", "520", "--seconds", "5"};
        if (!c.text.empty()) {
            argv.push_back("--events");
            argv.push_back(script("e.txt", c.text));
        }
        argv.insert(argv.end(), c.extra.begin(), c.extra.end());
        auto r = vtest::run(argv, env.processEnv(), std::chrono::seconds(20));
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("usage:"), std::string::npos) << r.err;
    }
    // Refused before the service started: it wrote no log.
    EXPECT_EQ(env.log(), "");
}

TEST_F(EmulateEvents, HelpListsTheOptionsAndTheActions) {
    auto r = vtest::run({kEmu, "--help"}, env.processEnv(), std::chrono::seconds(20));
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* word :
         {"--adapter", "--monitor", "--scene", "--mode", "--seconds", "--events", "--at", "--out",
          "--capture", "--fault", "--answer", "--fw-store", "plug-monitor", "unplug-monitor",
          "unplug-adapter", "plug-adapter", "dpms", "WIDTHxHEIGHT"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    for (const char* word : {"cursor ADAPTER PORT X Y", "--capture-snap BYTES"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    EXPECT_EQ(env.log(), "");
}
