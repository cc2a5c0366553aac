// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/port_holder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

TEST(PortHolder, NamesTheProcessFromAFakeProcTree)
{
    const fs::path root = fs::temp_directory_path() / ("merovan-proc-" + std::to_string(::getpid()));
    fs::remove_all(root);
    const fs::path device = root / "ttyUSB9";
    fs::create_directories(root / "proc" / "4242" / "fd");
    fs::create_directories(root / "proc" / "self-ish" / "fd");
    std::ofstream(device) << "";
    std::ofstream(root / "proc" / "4242" / "comm") << "minicom\n";
    fs::create_symlink(device, root / "proc" / "4242" / "fd" / "3");
    fs::create_symlink(device, root / "proc" / "self-ish" / "fd" / "3"); // not a pid: ignored

    EXPECT_EQ(merovan::findPortHolder(device.string(), (root / "proc").string()), "minicom (pid 4242)");
    EXPECT_EQ(merovan::findPortHolder((root / "other").string(), (root / "proc").string()), "");
    fs::remove_all(root);
}

TEST(PortHolder, FailureTextsCarryTheirHints)
{
    EXPECT_EQ(merovan::openFailureText("/dev/ttyUSB0", EACCES, "Permission denied"),
              "Cannot open /dev/ttyUSB0: Permission denied (is your user in the dialout group?)");
    EXPECT_EQ(merovan::openFailureText("/dev/nothing", ENOENT, "No such file or directory"),
              "Cannot open /dev/nothing: No such file or directory");

    // This very process holds the device open.
    const std::string path = (fs::temp_directory_path() / ("merovan-held-" + std::to_string(::getpid()))).string();
    std::ofstream(path) << "";
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(merovan::openFailureText(path, EBUSY, "the port is in use by another program"),
              "Cannot open " + path + ": the port is in use by another program (held by this program)");
    ::close(fd);
    fs::remove(path);
}
