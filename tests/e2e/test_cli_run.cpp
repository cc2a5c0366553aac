// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-cli run: Lua scripts against merovan-devsim, and against lrzsz.

#include "support/process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

using merovan::test::Devsim;
using merovan::test::PtyBridge;
using merovan::test::readFile;
using merovan::test::runProgram;
using merovan::test::tempPath;
using merovan::test::waitForFileSize;

namespace fs = std::filesystem;

namespace {

const std::string kExamples = std::string(MEROVAN_SOURCE_DIR) + "/docs/examples/";

merovan::test::RunResult run(const std::vector<std::string>& args, int timeoutMs = 60000)
{
    std::vector<std::string> all = { "run" };
    all.insert(all.end(), args.begin(), args.end());
    return runProgram(MEROVAN_CLI_PATH, all, timeoutMs);
}

std::string randomText(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(gen() & 0xFF);
    return s;
}

class CliRun : public ::testing::Test
{
protected:
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override
    {
        if (!HasFailure())
            fs::remove_all(dir);
    }
    std::string file(const std::string& name, const std::string& content)
    {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    std::string dir = tempPath("run");
};

} // namespace

TEST_F(CliRun, UbootLoadStopsTheAutobootAndLoadsByYmodem)
{
    const std::string record = dir + "/record";
    const std::string image = file("u-boot.img", randomText(5000, 1));
    Devsim sim({ "--autoboot", "5", "--record", record });
    const auto r = run({ "-p", sim.port(), "-b", "115200", kExamples + "uboot-load.lua", image });
    EXPECT_EQ(r.exitCode, 0) << r.err << r.out;
    EXPECT_NE(r.out.find("Hit any key to stop autoboot"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("loaded " + image + " (5000 bytes)"), std::string::npos) << r.err;
    ASSERT_TRUE(waitForFileSize(record, 5000));
    EXPECT_EQ(readFile(record), readFile(image));
}

TEST_F(CliRun, ProductionTestPassesAndFailsTheBoard)
{
    const std::string app = file("app.bin", randomText(6000, 2));
    {
        Devsim sim({ "--console", "--boot-version", "2", "--flash-kb", "512" });
        const auto r = run({ "-p", sim.port(), "-b", "115200", kExamples + "production-test.lua", app, "512" });
        EXPECT_EQ(r.exitCode, 0) << r.err << r.out;
        for (const char* line : { "version: B", "meminfo: 512", "selftest: PASS", "PASS" })
            EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
    }
    {
        // The board's flash is smaller than the image: the flash step fails.
        Devsim sim({ "--console", "--boot-version", "2", "--flash-kb", "4" });
        const auto r = run({ "-p", sim.port(), "-b", "115200", kExamples + "production-test.lua", app, "4" });
        EXPECT_EQ(r.exitCode, 1) << r.err << r.out;
        EXPECT_NE(r.err.find("FAIL: flash: "), std::string::npos) << r.err;
    }
}

TEST_F(CliRun, LoginLogsInAndIsRefusedAWrongPassword)
{
    {
        Devsim sim({ "--autoboot", "1" });
        const auto r = run({ "-p", sim.port(), kExamples + "login.lua" });
        EXPECT_EQ(r.exitCode, 0) << r.err << r.out;
        EXPECT_NE(r.err.find("logged in: Linux devsim"), std::string::npos) << r.err;
    }
    {
        Devsim sim({ "--console" });
        const auto r = run({ "-p", sim.port(), "--quiet", kExamples + "login.lua", "root", "wrong" });
        EXPECT_EQ(r.exitCode, 1) << r.err << r.out;
        EXPECT_NE(r.err.find("login refused"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << "--quiet prints nothing the device sent";
    }
}

TEST_F(CliRun, ExitStatusesAreTheScripts)
{
    Devsim sim({});
    const struct
    {
        const char* name;
        const char* code;
        int status;
        const char* message; // on stderr
    } cases[] = {
        { "end.lua", "merovan.sendln('x')", 0, "" },
        { "exit.lua", "merovan.sendln('x')\nos.exit(7)", 7, "" },
        { "error.lua", "local t\n\nt.x = 1", 1, "error.lua:3: attempt to index a nil value" },
        { "syntax.lua", "if then", 1, "syntax.lua:1:" },
        { "args.lua", "os.exit(#merovan.args * 10 + #merovan.args[2])", 23, "" },
        { "timeout.lua", "assert(merovan.expect('never', 200))", 1, "timeout.lua:1: timeout" },
        { "exec.lua", "os.execute('true')", 1, "--allow-exec" },
    };
    for (const auto& c : cases) {
        const std::string script = file(c.name, c.code);
        const auto r = run({ "-p", sim.port(), script, "-a", "bcd" }, 20000);
        EXPECT_EQ(r.exitCode, c.status) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
    }
    const auto missing = run({ "-p", sim.port(), dir + "/missing.lua" });
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("cannot open " + dir + "/missing.lua"), std::string::npos) << missing.err;
    const auto allowed = run({ "-p", sim.port(), "--allow-exec", file("ok.lua", "os.exit(os.execute('exit 3') and 0 or 5)") });
    EXPECT_EQ(allowed.exitCode, 5) << allowed.err;
    const auto noPort = run({ "-p", dir + "/no-such-port", file("x.lua", "") });
    EXPECT_EQ(noPort.exitCode, 3);
}

TEST_F(CliRun, SendFileReachesRz)
{
    if (::access("/usr/bin/rz", X_OK) != 0)
        GTEST_SKIP() << "lrzsz is not installed (tools/install-deps.sh)";
    fs::create_directories(dir + "/in");
    const std::string data = randomText(70000, 3);
    const std::string sent = file("payload.bin", data);
    const std::string script = file("send.lua", "local ok, err = merovan.send_file(merovan.args[1], merovan.args[2])\n"
                                                "if not ok then merovan.log(err) os.exit(3) end\n");
    for (const std::string protocol : { "zmodem", "ymodem", "xmodem-1k" }) {
        const std::string peer = protocol == "zmodem" ? "rz -q" : protocol == "ymodem" ? "rb -q" : "rx -q received";
        PtyBridge bridge({ "--peer-log", dir + "/peer.log", "--", "/bin/sh", "-c", "cd " + dir + "/in && " + peer });
        const auto r = run({ "-p", bridge.a(), "-b", "115200", "--quiet", script, sent, protocol }, 60000);
        EXPECT_EQ(r.exitCode, 0) << protocol << ": " << r.err;
        EXPECT_EQ(bridge.wait(r.exitCode == 0 ? 20000 : 0), 0) << protocol << ": " << readFile(dir + "/peer.log");
        const std::string got = readFile(dir + "/in/" + (protocol == "xmodem-1k" ? "received" : "payload.bin"));
        // XMODEM pads its last block.
        EXPECT_EQ(got.substr(0, data.size()), data) << protocol;
        fs::remove_all(dir + "/in");
        fs::create_directories(dir + "/in");
    }
}

TEST_F(CliRun, AVanishedPortEndsExpectWithPortLost)
{
    Devsim sim({ "--drop-after-bytes", "3" });
    const std::string script = file("lost.lua", R"lua(
        merovan.send("abc")
        local ok, why = merovan.expect("never", 5000)
        print(why)
        os.exit(ok and 0 or 9)
    )lua");
    const auto r = run({ "-p", sim.port(), "--quiet", script }, 20000);
    EXPECT_EQ(r.exitCode, 9) << r.err;
    EXPECT_EQ(r.out, "port lost\n") << r.err;
}
