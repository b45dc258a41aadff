// The typed fields kept between runs: loaded at start, saved at a clean end,
// a foreign or malformed file refused with the line named.
#include "app/WindowSettings.h"
#include "core/SettingsFile.h"
#include "support/ProgramOnPort.h"

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {
using namespace std::chrono_literals;

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

double HeldMs(const std::vector<Write> &writes, size_t i) { return (writes[i + 1].Ns - writes[i].Ns) / 1e6; }

const std::vector<FieldRule> Fields = {{"Edit3"}, {"ComboBox1"}, {"TrackBar1", true, 0, 255}};
} // namespace

TEST(SettingsFile, ReadsWhatItWritesAndRefusesWhatTheWindowCannotTake)
{
    const FieldValues values = {{"Edit3", "80"}, {"ComboBox1", "silnik napedzajacy do przodu"}, {"TrackBar1", "255"}};
    std::string error;
    const std::optional<FieldValues> back = ParseSettings(FormatSettings(values), "s.txt", Fields, error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(*back, values);
    // Blank lines, comments and a CRLF end are no fault.
    EXPECT_TRUE(ParseSettings("# robot settings\r\n\r\n# kept\r\nEdit3= 12 \r\n", "s.txt", Fields, error)) << error;

    const struct {
        std::string text;
        std::string said;
    } refused[] = {
        {"Edit3=80\n", "s.txt line 1: not a settings file of this program"},
        {"", "s.txt is empty"},
        {"# robot settings\nEdit3=1\nEdit99=5\n", "s.txt line 3: the window has no field named \"Edit99\""},
        {"# robot settings\nEdit3=1\nEdit3=2\n", "s.txt line 3: Edit3 is given twice"},
        {"# robot settings\nTrackBar1=256\n", "line 2: TrackBar1 takes a whole number from 0 to 255, not \"256\""},
        {"# robot settings\nTrackBar1=1e2\n", "not \"1e2\""},
        {"# robot settings\nEdit3\n", "line 2: \"Edit3\" is not FIELD=VALUE"},
        {"# robot settings\nEdit3=1\t2\n", "line 2: not a line of text"},
        // Latin-1 would come back changed at the next save.
        {"# robot settings\nComboBox1=w prawo\nEdit3=caf\xe9\n", "line 3: not UTF-8 text"},
        {"# robot settings\nEdit3=\xed\xa0\x80\n", "line 2: not UTF-8 text"}, // a surrogate
        // A long line is quoted cut, never inside a character.
        {"# robot settings\n" + std::string(250000, 'x') + "\n", "\"" + std::string(60, 'x') + "...\" (250000 bytes) is not"},
        {"# robot settings\n" + std::string(59, 'x') + "\xc5\x82" + std::string(1000, 'y') + "\n",
         "\"" + std::string(59, 'x') + "...\" (1061 bytes) is not"},
    };
    for (const auto &r : refused) {
        SCOPED_TRACE(r.text.substr(0, 80));
        EXPECT_FALSE(ParseSettings(r.text, "s.txt", Fields, error));
        EXPECT_NE(error.find(r.said), std::string::npos) << error;
        EXPECT_LT(error.size(), 200u);
    }
}

// A failed save is put to the operator until it succeeds or they leave:
// the same file again, or another one (a cancelled file dialog asks again).
TEST(SettingsFile, ASaveThatFailsIsTriedAgainOrElsewhereUntilTheOperatorLeaves)
{
    std::vector<std::string> tried;
    int failures = 2;
    auto save = [&](const std::string &path, std::string &error) {
        tried.push_back(path);
        error = "full";
        return failures-- <= 0;
    };
    std::deque<SaveChoice> answers = {SaveChoice::TryAgain, SaveChoice::SaveElsewhere, SaveChoice::SaveElsewhere};
    std::deque<std::string> picks = {"", "other.settings"};
    auto next = [](auto &queue) {
        const auto front = queue.front();
        queue.pop_front();
        return front;
    };
    auto ask = [&](const std::string &reason) { return reason == "full" ? next(answers) : SaveChoice::Leave; };
    auto pick = [&](const std::string &) { return next(picks); };
    SaveOutcome outcome = SaveUntilDone("fields.settings", save, ask, pick);
    EXPECT_TRUE(outcome.Saved);
    EXPECT_EQ(outcome.Path, "other.settings");
    EXPECT_EQ(tried, (std::vector<std::string>{"fields.settings", "fields.settings", "other.settings"}));
    EXPECT_TRUE(answers.empty());

    failures = 100;
    answers = {SaveChoice::Leave};
    EXPECT_FALSE(SaveUntilDone("fields.settings", save, ask, pick).Saved);
}

// Loaded at start, so the first click already uses them; what the operator
// changed is in the file after the window is closed, whole. The window's
// status line names the port.
TEST(RealProgramSettings, LoadedAtStartAndSavedAtACleanEnd)
{
    ProgramOnPort program(Library::Recording);
    const std::string path = program.Dir() + "/fields.settings";
    std::ofstream(path) << "# robot settings\nEdit3=80\nEdit35=40\nTrackBar2=100\n";
    // A relative name is the user's: from the folder started in, not the
    // program's working directory.
    program.Start({{"ROBOT_START_DIR", program.Dir()}, {"ROBOT_SETTINGS", "fields.settings"}});
    program.robot.Click("Button2");
    program.robot.Click("Button3");
    ASSERT_TRUE(program.WaitForWrites(6));
    const std::vector<Write> writes = program.Writes();
    EXPECT_EQ(program.Values(), (std::vector<int>{0, 18, 0, 0, 17, 0}));
    EXPECT_GE(HeldMs(writes, 1), 79);
    EXPECT_LT(HeldMs(writes, 1), 600);
    EXPECT_GE(HeldMs(writes, 4), 39);
    EXPECT_LT(HeldMs(writes, 4), 250);

    program.robot.Type("Edit3", "95");
    ASSERT_TRUE(program.robot.CloseWindow());
    ASSERT_TRUE(ExitedWith(program.robot.WaitForExit(10000), 0)) << program.robot.Stderr();
    const std::string saved = ReadAll(path);
    EXPECT_EQ(saved.rfind("# robot settings\n", 0), 0u) << saved;
    for (const char *line : {"\nEdit3=95\n", "\nEdit35=40\n", "\nTrackBar2=100\n", "\nEdit4=", "\nComboBox15="})
        EXPECT_NE(saved.find(line), std::string::npos) << line << " in\n" << saved;
    EXPECT_EQ(saved.back(), '\n');
    EXPECT_FALSE(program.robot.StderrLines("robot: port: ").empty()) << program.robot.Stderr();
}

// A save that fails is said while the window still shows, and waits for the
// operator, with any drive stopped: left without saving, the exit status says
// so and no file is made; tried again once the folder can be written, the file
// is saved whole.
TEST(RealProgramSettings, AFailedSaveIsPutToTheOperatorBeforeTheWindowGoes)
{
    for (const bool leave : {true, false}) {
        SCOPED_TRACE(leave ? "leave without saving" : "try again");
        ProgramOnPort program(Library::Recording);
        const std::string folder = program.Dir() + "/kept";
        std::ofstream(folder) << "a file where the folder should be\n";
        const std::string path = folder + "/fields.settings";
        program.Start({{"ROBOT_SETTINGS", path}});
        program.robot.Type("Edit3", "95");
        if (leave)
            StartDriving(program, true);
        ASSERT_TRUE(program.robot.CloseWindow());
        const std::string said = "robot: cannot save the settings to " + path + ": ";
        ASSERT_TRUE(WaitFor([&] { return !program.robot.StderrLines(said).empty(); })) << program.robot.Stderr();
        std::this_thread::sleep_for(500ms);
        EXPECT_TRUE(program.robot.Running()) << "the question waits for the operator";
        if (leave) {
            const size_t writes = program.Values().size();
            EXPECT_EQ(program.Values().back(), 0) << "a drive ran on under the question";
            std::this_thread::sleep_for(500ms);
            EXPECT_EQ(program.Values().size(), writes);
            ASSERT_TRUE(program.robot.AnswerMessageBox("alt+l"));
            EXPECT_TRUE(ExitedWith(program.robot.WaitForExit(10000), 3)) << program.robot.Stderr();
            EXPECT_EQ(program.robot.StderrLines("robot: the typed fields were not saved").size(), 1u);
            EXPECT_EQ(ReadAll(folder), "a file where the folder should be\n");
        } else {
            ASSERT_EQ(unlink(folder.c_str()), 0);
            ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
            ASSERT_TRUE(program.robot.DismissMessageBox()); // Return: try again
            EXPECT_TRUE(ExitedWith(program.robot.WaitForExit(10000), 0)) << program.robot.Stderr();
            EXPECT_NE(ReadAll(path).find("\nEdit3=95\n"), std::string::npos) << ReadAll(path);
        }
    }
}

// The usage, with no display needed, from the program and its start script.
TEST(RealProgramSettings, HelpPrintsTheUsage)
{
    const EnvVars noDisplay = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
    for (const std::vector<std::string> &argv :
         {std::vector<std::string>{ROBOT_BINARY_DIR "/bin/robot", "--help"},
          std::vector<std::string>{ROBOT_SOURCE_DIR "/scripts/start-robot.sh", ROBOT_BINARY_DIR, "/nonexistent",
                                   "/dev/null", "--settings", "x", "-h"}}) {
        std::string out;
        EXPECT_EQ(RunCommand(argv, &out, 10000, noDisplay), 0) << argv[0];
        EXPECT_EQ(out.rfind("usage: robot [--settings FILE]\n", 0), 0u) << out;
    }
}

// A file that is not one, or that the window cannot take, is refused whole
// with the line named; the designed texts stand and the file is left as it
// was. A name that is not a regular file is never replaced.
TEST(RealProgramSettings, ARefusedFileLeavesTheDesignedTextsAndIsNotOverwritten)
{
    const struct {
        std::string text;
        std::string said;
    } cases[] = {
        {"Edit3=80\n", "line 1: not a settings file of this program"},
        {"# robot settings\nEdit3=80\nButton2=1\n", "line 3: the window has no field named \"Button2\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        ProgramOnPort program(Library::Recording);
        const std::string path = program.port.Root() + "/../fields.settings";
        std::ofstream(path) << c.text;
        program.Start({{"ROBOT_SETTINGS", path}});
        ASSERT_TRUE(WaitFor([&] { return !program.robot.StderrLines("robot: The settings file is refused").empty(); }))
            << program.robot.Stderr();
        const std::string said = program.robot.StderrLines("robot: The settings file is refused")[0];
        EXPECT_NE(said.find(path + " " + c.said), std::string::npos) << said;
        // The designed texts: a turn of 300 ms, not one of the file's.
        ASSERT_TRUE(program.robot.DismissMessageBox());
        program.robot.Click("Button3");
        ASSERT_TRUE(program.WaitForWrites(3));
        const std::vector<Write> writes = program.Writes();
        EXPECT_GE(HeldMs(writes, 1), 299);
        ASSERT_TRUE(program.robot.CloseWindow());
        ASSERT_TRUE(ExitedWith(program.robot.WaitForExit(10000), 0)) << program.robot.Stderr();
        EXPECT_EQ(ReadAll(path), c.text);
    }

    ProgramOnPort program(Library::Recording);
    const std::string fifo = program.port.Root() + "/../fields.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    program.Start({{"ROBOT_SETTINGS", fifo}});
    ASSERT_TRUE(WaitFor([&] { return !program.robot.StderrLines("robot: The settings file is refused").empty(); }));
    EXPECT_NE(program.robot.StderrLines("robot: The settings file is refused")[0].find("is not a regular file"),
              std::string::npos);
    ASSERT_TRUE(program.robot.DismissMessageBox());
    ASSERT_TRUE(program.robot.CloseWindow());
    ASSERT_TRUE(ExitedWith(program.robot.WaitForExit(10000), 0)) << program.robot.Stderr();
    struct stat st {};
    ASSERT_EQ(stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}
