#pragma once
// Scratch files for the trace tool's tests, and the tool run as a user runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

class TraceFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/robot-trace-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Path(const std::string &name) const { return dir_ + "/" + name; }
    std::string Write(const std::string &name, const std::string &text) const
    {
        std::ofstream(Path(name), std::ios::binary) << text;
        return Path(name);
    }
    static std::string Read(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // The names in the scratch folder (or a folder in it), sorted, joined by spaces.
    std::string Listing(const std::string &folder = {}) const
    {
        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(folder.empty() ? dir_ : Path(folder)))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        std::string out;
        for (const auto &n : names)
            out += (out.empty() ? "" : " ") + n;
        return out;
    }

    std::string dir_;
};

inline std::string Quoted(const std::string &s) { return "'" + s + "'"; }

// robot-trace run through the shell, its output caught in files beside the scratch files.
class TraceTool : public TraceFiles {
protected:
    struct Run {
        int status;
        std::string out, err;
    };
    // `shell` goes before the tool on the command line (a limit, a trap).
    Run Tool(const std::string &args, const std::string &shell = {})
    {
        const std::string command = shell + " " + ROBOT_TRACE_TOOL + " " + args + " >" +
                                    Quoted(dir_ + "/.out") + " 2>" + Quoted(dir_ + "/.err");
        const int raw = std::system(command.c_str());
        Run r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Read(dir_ + "/.out"), Read(dir_ + "/.err")};
        std::filesystem::remove(dir_ + "/.out");
        std::filesystem::remove(dir_ + "/.err");
        return r;
    }
};

// A trace of a short drive: forward twice (200 and 100 ms, the second written
// as 274, whose low byte is 18), a 60 ms spin left, sensor reads in between,
// a malformed line, and accesses of other ports.
inline const char KnownTrace[] =
    "1000000000,R,889,254\n"  // t = 0
    "1000100000,W,888,0\n"    // 0.1 ms
    "1001000000,W,888,18\n"   // 1 ms: forward for 200 ms
    "1001200000,R,889,254\n"
    "1001200000,R,889,254\n"
    "1201000000,W,888,0\n"    // 201 ms
    "1202000000,R,889,222\n"  // 202 ms: the left line sensor fires
    "1300000000,W,888,17\n"   // 300 ms: spin left for 60 ms
    "1360000000,W,888,0\n"
    "bad line\n"              // line 10
    "1400000000,W,888,274\n"  // 400 ms: forward for 100 ms
    "1500000000,W,888,0\n"
    "1500000100,R,888,0\n"    // ignored: a read of the data register
    "1500000200,W,890,5\n"    // ignored: the control register
    "1600000000,R,889,126\n"; // 600 ms: an obstacle
