// Installing and removing the systemd unit in a scratch directory with a stand-in systemctl.
#include "service/systemd_unit.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using service::systemd::CommandResult;
using service::systemd::Environment;

constexpr const char* kExpectedUnit = "[Unit]\n"
                                      "Description=Tarnwick for N1MM+ and ExpertSDR\n"
                                      "After=network.target\n"
                                      "\n"
                                      "[Service]\n"
                                      "Type=notify\n"
                                      "ExecStart=/usr/local/bin/tarnwick\n"
                                      "Restart=on-failure\n"
                                      "\n"
                                      "[Install]\n"
                                      "WantedBy=multi-user.target\n";

class ScratchDirectory {
public:
    ScratchDirectory() {
        char name[] = "/tmp/tarnwick-unit-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~ScratchDirectory() {
        for (const std::string& entry : entries())
            ::unlink((path_ + "/" + entry).c_str());
        ::rmdir(path_.c_str());
    }
    const std::string& path() const { return path_; }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(path_.c_str())) {
            while (dirent* entry = ::readdir(dir)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..")
                    names.push_back(name);
            }
            ::closedir(dir);
        }
        return names;
    }

private:
    std::string path_;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Plays systemctl: records the calls and answers "show" with scripted states.
struct FakeSystemctl {
    std::vector<std::string> calls;
    std::deque<std::string> states; // the last one repeats
    int stopResult = 0, enableResult = 0, disableResult = 0, reloadResult = 0;
    int sleeps = 0;

    Environment environment(const std::string& directory) {
        Environment environment;
        environment.unitDirectory = directory;
        environment.systemctl = [this](const std::vector<std::string>& args) {
            std::string call;
            for (const std::string& arg : args)
                call += (call.empty() ? "" : " ") + arg;
            calls.push_back(call);
            CommandResult result{0, {}};
            if (args[0] == "show") {
                result.output = states.empty() ? "inactive" : states.front();
                result.output += "\n";
                if (states.size() > 1)
                    states.pop_front();
            } else if (args[0] == "stop") {
                result.exitCode = stopResult;
            } else if (args[0] == "enable") {
                result.exitCode = enableResult;
            } else if (args[0] == "disable") {
                result.exitCode = disableResult;
            } else if (args[0] == "daemon-reload") {
                result.exitCode = reloadResult;
            }
            return result;
        };
        environment.sleep = [this](unsigned milliseconds) {
            EXPECT_EQ(milliseconds, 1000u);
            ++sleeps;
        };
        return environment;
    }
};

TEST(SystemdUnit, NamesTheExecutableForNotifyAndRestartOnFailure) {
    EXPECT_EQ(service::systemd::unitFileText("/usr/local/bin/tarnwick").value(), kExpectedUnit);
}

TEST(SystemdUnit, QuotesAndEscapesTheExecutablePath) {
    using service::systemd::execStartWord;
    EXPECT_EQ(execStartWord("/opt/ham radio/tarnwick"), "\"/opt/ham radio/tarnwick\"");
    EXPECT_EQ(execStartWord("/opt/a\"b\\c/tarnwick"), "\"/opt/a\\\"b\\\\c/tarnwick\"");
    EXPECT_EQ(execStartWord("/opt/100%/tarnwick"), "/opt/100%%/tarnwick");
    EXPECT_EQ(execStartWord("/opt/it's/tarnwick"), "\"/opt/it's/tarnwick\"");
    const std::string unit = service::systemd::unitFileText("/opt/ham radio/tarnwick").value();
    EXPECT_NE(unit.find("\nExecStart=\"/opt/ham radio/tarnwick\"\n"), std::string::npos);
}

TEST(SystemdUnit, RefusesPathsNoUnitCanName) {
    using service::systemd::execStartWord;
    EXPECT_EQ(execStartWord(""), "");
    EXPECT_EQ(execStartWord("tarnwick"), "");
    EXPECT_EQ(execStartWord("/opt/$HOME/tarnwick"), "");
    EXPECT_EQ(execStartWord("/opt/new\nline/tarnwick"), "");
    EXPECT_FALSE(service::systemd::unitFileText("relative/tarnwick"));

    ScratchDirectory dir;
    FakeSystemctl systemctl;
    std::ostringstream out;
    EXPECT_FALSE(installUnit(systemctl.environment(dir.path()), "/opt/$x/tarnwick", out));
    EXPECT_EQ(
        out.str(),
        "Cannot install Tarnwick: a systemd unit cannot name the executable /opt/$x/tarnwick\n");
    EXPECT_TRUE(dir.entries().empty());
}

TEST(SystemdInstall, WritesTheUnitAndEnablesIt) {
    ScratchDirectory dir;
    FakeSystemctl systemctl;
    std::ostringstream out;
    EXPECT_TRUE(installUnit(systemctl.environment(dir.path()), "/usr/local/bin/tarnwick", out));
    EXPECT_EQ(out.str(), "Tarnwick is installed.\n");
    const std::string unitPath = dir.path() + "/Tarnwick.service";
    EXPECT_EQ(readFile(unitPath), kExpectedUnit);
    struct stat info {};
    ASSERT_EQ(::stat(unitPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_EQ(systemctl.calls,
              (std::vector<std::string>{"daemon-reload", "enable Tarnwick.service"}));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"Tarnwick.service"});
}

TEST(SystemdInstall, NeverOverwritesAnInstalledUnit) {
    ScratchDirectory dir;
    const std::string unitPath = dir.path() + "/Tarnwick.service";
    std::ofstream(unitPath) << "# edited by hand\n";
    FakeSystemctl systemctl;
    std::ostringstream out;
    EXPECT_FALSE(installUnit(systemctl.environment(dir.path()), "/usr/local/bin/tarnwick", out));
    EXPECT_EQ(out.str(), "Cannot install Tarnwick: " + unitPath + " exists already.\n");
    EXPECT_EQ(readFile(unitPath), "# edited by hand\n");
    EXPECT_TRUE(systemctl.calls.empty());
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"Tarnwick.service"});
}

TEST(SystemdInstall, ReportsTheSystemsReasonWhenTheUnitCannotBeWritten) {
    FakeSystemctl systemctl;
    std::ostringstream out;
    const std::string missing = "/tmp/tarnwick-no-such-directory-" + std::to_string(::getpid());
    EXPECT_FALSE(installUnit(systemctl.environment(missing), "/usr/local/bin/tarnwick", out));
    EXPECT_EQ(out.str(),
              "Cannot write " + missing + "/Tarnwick.service: No such file or directory\n");
    EXPECT_TRUE(systemctl.calls.empty());
}

TEST(SystemdInstall, SaysHowToEnableByHandWithoutSystemctl) {
    ScratchDirectory dir;
    FakeSystemctl systemctl;
    Environment environment = systemctl.environment(dir.path());
    environment.systemctl = nullptr;
    std::ostringstream out;
    EXPECT_TRUE(installUnit(environment, "/usr/local/bin/tarnwick", out));
    EXPECT_EQ(out.str(), "Tarnwick is installed.\n"
                         "systemctl was not found. To start Tarnwick with the system, enable it "
                         "by hand:\n  ln -s " +
                             dir.path() + "/Tarnwick.service " + dir.path() +
                             "/multi-user.target.wants/Tarnwick.service\n");
}

TEST(SystemdInstall, AFailedEnableIsReportedAsSuch) {
    ScratchDirectory dir;
    FakeSystemctl systemctl;
    systemctl.enableResult = 1;
    systemctl.reloadResult = 1;
    std::ostringstream out;
    EXPECT_TRUE(installUnit(systemctl.environment(dir.path()), "/usr/local/bin/tarnwick", out));
    EXPECT_EQ(out.str(), "Tarnwick is installed.\n"
                         "systemctl daemon-reload failed (exit code 1).\n"
                         "systemctl enable Tarnwick.service failed (exit code 1).\n"
                         "Tarnwick will not start with the system until it is enabled: "
                         "systemctl enable Tarnwick.service\n");
}

TEST(SystemdInstall, EnablesWithoutReloadingWhenSystemdIsNotRunning) {
    ScratchDirectory dir;
    FakeSystemctl systemctl;
    Environment environment = systemctl.environment(dir.path());
    environment.systemdRunning = false;
    std::ostringstream out;
    EXPECT_TRUE(installUnit(environment, "/usr/local/bin/tarnwick", out));
    EXPECT_EQ(out.str(), "Tarnwick is installed.\n");
    EXPECT_EQ(systemctl.calls, std::vector<std::string>{"enable Tarnwick.service"});
}

class SystemdRemove : public ::testing::Test {
protected:
    void SetUp() override {
        unitPath = dir.path() + "/Tarnwick.service";
        std::ofstream(unitPath) << kExpectedUnit;
    }
    bool remove() { return removeUnit(systemctl.environment(dir.path()), out); }

    ScratchDirectory dir;
    std::string unitPath;
    FakeSystemctl systemctl;
    std::ostringstream out;
};

TEST_F(SystemdRemove, NotInstalledSaysSo) {
    ::unlink(unitPath.c_str());
    EXPECT_FALSE(remove());
    EXPECT_EQ(out.str(), "Tarnwick is not installed (no " + unitPath + ").\n");
    EXPECT_TRUE(systemctl.calls.empty());
}

TEST_F(SystemdRemove, AStoppedServiceIsDisabledAndDeletedWithoutStoppingLines) {
    systemctl.states = {"inactive"};
    EXPECT_TRUE(remove());
    EXPECT_EQ(out.str(), "Tarnwick is removed.\n");
    EXPECT_EQ(systemctl.calls,
              (std::vector<std::string>{"show --property=ActiveState --value Tarnwick.service",
                                        "disable Tarnwick.service", "daemon-reload"}));
    EXPECT_TRUE(dir.entries().empty());
    EXPECT_EQ(systemctl.sleeps, 0);
}

TEST_F(SystemdRemove, ARunningServiceIsStoppedWithADotPerFurtherSecond) {
    systemctl.states = {"active", "deactivating", "deactivating", "inactive"};
    EXPECT_TRUE(remove());
    EXPECT_EQ(out.str(), "Stopping Tarnwick...\nTarnwick is stopped.\nTarnwick is removed.\n");
    EXPECT_EQ(systemctl.calls[1], "stop --no-block Tarnwick.service");
    EXPECT_EQ(systemctl.sleeps, 3);
    EXPECT_TRUE(dir.entries().empty());
}

TEST_F(SystemdRemove, GivesUpWaitingAfterSixtySecondsAndRemovesAnyway) {
    systemctl.states = {"active", "deactivating"};
    EXPECT_TRUE(remove());
    EXPECT_EQ(systemctl.sleeps, 60);
    EXPECT_EQ(out.str(), "Stopping Tarnwick." + std::string(59, '.') +
                             "\nTarnwick failed to stop.\nTarnwick is removed.\n");
    EXPECT_TRUE(dir.entries().empty());
}

TEST_F(SystemdRemove, ARefusedStopWritesNothingAboutStopping) {
    systemctl.states = {"active"};
    systemctl.stopResult = 5;
    EXPECT_TRUE(remove());
    EXPECT_EQ(out.str(), "Tarnwick is removed.\n");
    EXPECT_EQ(systemctl.sleeps, 0);
}

TEST_F(SystemdRemove, AFailedDisableKeepsTheUnit) {
    systemctl.disableResult = 1;
    EXPECT_FALSE(remove());
    EXPECT_EQ(out.str(), "systemctl disable Tarnwick.service failed (exit code 1).\n"
                         "Tarnwick is still installed.\n");
    EXPECT_EQ(readFile(unitPath), kExpectedUnit);
}

TEST_F(SystemdRemove, WithoutSystemctlOnlyTheFileGoes) {
    Environment environment = systemctl.environment(dir.path());
    environment.systemctl = nullptr;
    EXPECT_TRUE(removeUnit(environment, out));
    EXPECT_EQ(out.str(), "Tarnwick is removed.\n");
    EXPECT_TRUE(dir.entries().empty());
}

TEST_F(SystemdRemove, OnlyDisablesAndDeletesWhenSystemdIsNotRunning) {
    Environment environment = systemctl.environment(dir.path());
    environment.systemdRunning = false;
    systemctl.states = {"active"};
    EXPECT_TRUE(removeUnit(environment, out));
    EXPECT_EQ(out.str(), "Tarnwick is removed.\n");
    EXPECT_EQ(systemctl.calls, std::vector<std::string>{"disable Tarnwick.service"});
    EXPECT_TRUE(dir.entries().empty());
}

TEST(SystemdSystemctl, IsFoundOnThePathAndRunWithItsOutputCollected) {
    ScratchDirectory dir;
    const std::string script = dir.path() + "/systemctl";
    std::ofstream(script) << "#!/bin/sh\necho \"args:$*\"\necho noise >&2\nexit 3\n";
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    const char* oldPath = std::getenv("PATH");
    const std::string saved = oldPath ? oldPath : "";
    ::setenv("PATH", (dir.path() + ":" + saved).c_str(), 1);
    auto systemctl = service::systemd::findSystemctl();
    ::setenv("PATH", saved.c_str(), 1);
    ASSERT_TRUE(systemctl);
    const CommandResult result = systemctl({"show", "two words"});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.output, "args:show two words\n");
}

} // namespace
