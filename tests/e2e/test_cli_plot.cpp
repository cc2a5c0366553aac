// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-cli monitor --plot-csv against merovan-devsim's plot series.

#include "support/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

using merovan::test::Devsim;
using merovan::test::readFile;
using merovan::test::runProgram;
using merovan::test::tempPath;

namespace {

merovan::test::RunResult cli(const std::vector<std::string>& args, int timeoutMs = 30000)
{
    return runProgram(MEROVAN_CLI_PATH, args, timeoutMs);
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> splitFields(const std::string& line, char separator)
{
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, separator))
        fields.push_back(field);
    if (!line.empty() && line.back() == separator)
        fields.emplace_back();
    return fields;
}

double number(const std::string& text)
{
    return std::strtod(text.c_str(), nullptr);
}

// The CSV against the lines the device sent: row k holds line k's values
// under its labels, and times run forward from 0.
void expectCsvMatchesSent(const std::string& csv, const std::string& sent, std::size_t minimumRows)
{
    const std::vector<std::string> rows = splitLines(csv);
    const std::vector<std::string> lines = splitLines(sent);
    ASSERT_FALSE(rows.empty());
    const std::vector<std::string> header = splitFields(rows[0], ',');
    ASSERT_GE(header.size(), 2u);
    EXPECT_EQ(header[0], "time");
    ASSERT_GE(rows.size() - 1, minimumRows) << "too few rows for the time the device streamed";
    ASSERT_LE(rows.size() - 1, lines.size()) << "rows the device never sent";
    double lastTime = 0.0;
    for (std::size_t k = 1; k < rows.size(); ++k) {
        const std::vector<std::string> cells = splitFields(rows[k], ',');
        ASSERT_EQ(cells.size(), header.size()) << rows[k];
        const double t = number(cells[0]);
        if (k == 1) {
            EXPECT_EQ(cells[0], "0.000");
        }
        EXPECT_GE(t, lastTime) << rows[k];
        lastTime = t;
        const std::vector<std::string> pairs = splitFields(lines[k - 1], ',');
        ASSERT_EQ(pairs.size(), header.size() - 1) << lines[k - 1];
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            const auto colon = pairs[i].find(':');
            ASSERT_NE(colon, std::string::npos) << lines[k - 1];
            EXPECT_EQ(header[i + 1], pairs[i].substr(0, colon));
            EXPECT_EQ(number(cells[i + 1]), number(pairs[i].substr(colon + 1)))
                << "row " << k << ": " << rows[k] << " vs " << lines[k - 1];
        }
    }
}

} // namespace

TEST(CliPlot, MonitorWritesTheSeriesDevsimSentAsCsv)
{
    const std::string sent = tempPath("plot-sent");
    const std::string csv = tempPath("plot.csv");
    Devsim sim({ "--stream-series", "200", "--no-greeting", "--sent", sent });
    const auto r = cli({ "monitor", "-p", sim.port(), "-b", "115200", "--seconds", "3", "--plot-csv", csv });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // The terminal output is the text itself.
    EXPECT_EQ(r.out.rfind("sine:0.0000,saw:-1.0000,noise:", 0), 0u) << r.out.substr(0, 80);
    EXPECT_NE(r.err.find("Plot: "), std::string::npos) << r.err;
    sim.stop();
    const std::string table = readFile(csv);
    EXPECT_EQ(table.rfind("time,sine,saw,noise\n", 0), 0u) << table.substr(0, 80);
    expectCsvMatchesSent(table, readFile(sent), 50);
    EXPECT_EQ(readFile(csv + ".rows"), "") << "the spool is removed";
}

TEST(CliPlot, ManySeriesAndAPrefixThatFiltersEverything)
{
    const std::string sent = tempPath("plot-sent16");
    const std::string csv = tempPath("plot16.csv");
    Devsim sim({ "--stream-series", "100", "--series", "16", "--no-greeting", "--sent", sent });
    const auto r = cli({ "monitor", "-p", sim.port(), "-b", "115200", "--seconds", "2", "--plot-csv", csv });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    sim.stop();
    const std::string table = readFile(csv);
    EXPECT_EQ(table.rfind("time,sine,saw,noise,sine2,saw2,noise2,", 0), 0u) << table.substr(0, 80);
    expectCsvMatchesSent(table, readFile(sent), 20);

    // No line starts with the prefix: a header and no rows.
    Devsim other({ "--stream-series", "100", "--no-greeting" });
    const std::string none = tempPath("plot-none.csv");
    const auto p = cli({ "monitor", "-p", other.port(), "--seconds", "1", "--plot-csv", none, "--plot-prefix", "DATA:" });
    EXPECT_EQ(p.exitCode, 0) << p.err;
    EXPECT_EQ(readFile(none), "time\n");
}

TEST(CliPlot, TheFileIsWrittenWhenThePortGoesAway)
{
    const std::string csv = tempPath("plot-lost.csv");
    auto sim = std::make_unique<Devsim>(std::vector<std::string> { "--stream-series", "100", "--no-greeting" });
    const std::string port = sim->port();
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        sim->stop();
    });
    const auto r = cli({ "monitor", "-p", port, "--plot-csv", csv }, 15000);
    stopper.join();
    EXPECT_EQ(r.exitCode, 4) << r.err;
    const std::vector<std::string> rows = splitLines(readFile(csv));
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[0], "time,sine,saw,noise");
}

TEST(CliPlot, UsageAndFileErrors)
{
    Devsim sim({ "--stream-series", "10" });
    const auto noFile = cli({ "monitor", "-p", sim.port(), "--plot-prefix", ">" });
    EXPECT_EQ(noFile.exitCode, 2);
    EXPECT_NE(noFile.err.find("--plot-prefix goes with --plot-csv"), std::string::npos) << noFile.err;
    const auto badDir = cli({ "monitor", "-p", sim.port(), "--seconds", "1", "--plot-csv", "/nonexistent-dir/p.csv" });
    EXPECT_EQ(badDir.exitCode, 1);
    EXPECT_NE(badDir.err.find("Cannot write the plot CSV /nonexistent-dir/p.csv"), std::string::npos) << badDir.err;
}
