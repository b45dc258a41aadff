// The robots' broker as the project ships it (TLS, users, access list), made
// for a temporary folder: who may drive robot alpha and who may serve it.
// Robot alpha's node runs as the user alpha over mqtts; the program and other
// nodes come with other users, none, or a wrong password.
#include "support/RemoteRobot.h"
#include "support/TextSearch.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {
using namespace std::chrono_literals;

const std::map<std::string, std::string> Passwords{
    {"alpha", "pw-alpha"}, {"beta", "pw-beta"}, {"anna", "pw-anna"}, {"bob", "pw-bob"}};
// anna drives alpha; bob drives beta only.
const std::string Grants = "user anna\ntopic write robot/alpha/drive\ntopic read robot/alpha/+\n"
                           "user bob\ntopic write robot/beta/drive\ntopic read robot/beta/+\n";

struct SecureBroker : testing::Test {
    void SetUp() override
    {
        ASSERT_TRUE(broker.Secure(Passwords, Grants, &error)) << error;
        ASSERT_TRUE(broker.Start(&error)) << error;
        ASSERT_TRUE(node.Start(broker.Url(), "alpha", Login("alpha", "pw-alpha"))) << node.Log();
    }
    // The environment of a client logging in as `user` (none when empty).
    EnvVars Login(const std::string &user, const std::string &password) const
    {
        EnvVars env{{"ROBOT_BROKER_CA", broker.CaFile()}};
        if (!user.empty())
            env.push_back({"ROBOT_BROKER_CREDENTIALS", broker.Credentials(user, password)});
        return env;
    }

    QTemporaryDir dir;
    std::string path = dir.path().toStdString();
    TestBroker broker{path};
    TestNode node{path};
    std::string error;
};

struct Driver {
    const char *name;
    std::string user, password;
    std::string said; // empty: drives the robot
};
void PrintTo(const Driver &driver, std::ostream *out) { *out << driver.name; }
class EveryDriver : public SecureBroker, public testing::WithParamInterface<Driver> {};

// Only a user granted the robot moves its motors; anyone else is told why
// (in the window's port line and the drive's error) and moves nothing.
TEST_P(EveryDriver, MovesTheMotorsOnlyWhenGranted)
{
    const Driver &driver = GetParam();
    ProgramOnPort program(Library::Recording);
    EnvVars env = RemoteEnv(broker.Url(), "alpha");
    for (const auto &var : Login(driver.user, driver.password))
        env.push_back(var);
    program.Start(env);
    const std::string line = "remote robot alpha at " + broker.Url() + (driver.said.empty() ? ": connected" : ": unusable");
    ASSERT_TRUE(WaitFor([&] { return Has(program.robot.Stderr(), line); }, 10s)) << program.robot.Stderr();
    program.robot.Type("Edit3", "50");
    program.robot.Click("Button2");
    if (driver.said.empty()) {
        // The program's 0 at its start, the move, its end.
        ASSERT_TRUE(WaitFor([&] { return node.Writes().size() >= 3 && node.Writes().back().Value == 0; }))
            << node.Log();
        EXPECT_EQ(node.Writes()[1].Value, 18);
        EXPECT_TRUE(program.Shown().empty()) << program.robot.Stderr();
        return;
    }
    ASSERT_TRUE(WaitFor([&] { return !program.Shown().empty(); }, 10s)) << program.robot.Stderr();
    EXPECT_TRUE(Has(program.Shown()[0], driver.said)) << program.Shown()[0];
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(node.Writes().empty()) << "a motor moved";
}

INSTANTIATE_TEST_SUITE_P(
    SecureBroker, EveryDriver,
    testing::Values(Driver{"Granted", "anna", "pw-anna", ""},
                    Driver{"Anonymous", "", "", "The broker wants a user"},
                    Driver{"WrongPassword", "anna", "guess", "Check the user and password"},
                    Driver{"NotGranted", "bob", "pw-bob", "does not let the user bob drive it"},
                    Driver{"AnotherRobotsUser", "beta", "pw-beta", "does not let the user beta drive it"}),
    [](const testing::TestParamInfo<Driver> &info) { return std::string(info.param.name); });

// A node that may not serve alpha ends with exit status 4 (the unit does not
// restart it) and says why; alpha's own node serves on.
class EveryServer : public SecureBroker, public testing::WithParamInterface<Driver> {};

TEST_P(EveryServer, IsRefusedTheRobotUnlessItIsTheRobotsUser)
{
    const Driver &server = GetParam();
    TestNode other(path + "/other");
    QDir().mkpath(QString::fromStdString(path + "/other"));
    EXPECT_FALSE(other.Start(broker.Url(), "alpha", Login(server.user, server.password)));
    EXPECT_EQ(other.WaitForExit(10000), 4) << other.Log();
    EXPECT_TRUE(Has(other.Log(), server.said)) << other.Log();
    EXPECT_TRUE(other.Writes().empty());
    EXPECT_EQ(node.WaitForExit(0), std::nullopt) << "alpha's node was pushed out";
    EXPECT_FALSE(Has(node.Log(), "another node")) << node.Log();
}

INSTANTIATE_TEST_SUITE_P(
    SecureBroker, EveryServer,
    testing::Values(Driver{"Anonymous", "", "", "check the user and password"},
                    Driver{"AnotherRobotsUser", "beta", "pw-beta", "does not let the user beta serve the robot alpha"},
                    Driver{"AnOperator", "anna", "pw-anna", "does not let the user anna serve the robot alpha"}),
    [](const testing::TestParamInfo<Driver> &info) { return std::string(info.param.name); });
} // namespace
