#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "cli/Batch.h"
#include "cli/KaldoraCli.h"
#include "protocol/HexText.h"

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
    return FormatFrameHex(bytes.data(), bytes.size());
}

TEST(BatchCsv, ReadsQuotesLineEndsBomAndComments) {
    struct Row {
        const char* name;
        const char* text;
        std::vector<std::pair<int, std::vector<std::string>>> rows; // line, fields
    };
    const Row cases[] = {
        {"quoted comma and doubled quotes", "model,id,note\nKESTREL-A,1,\"a, \"\"b\"\"\"\n",
         {{2, {"KESTREL-A", "1", "a, \"b\""}}}},
        {"CRLF, BOM, no last line end", "\xEF\xBB\xBFmodel,id\r\nKESTREL-A,1\r\nMARLIN-A,2",
         {{2, {"KESTREL-A", "1"}}, {3, {"MARLIN-A", "2"}}}},
        {"blank and comment lines keep line numbers", "# made by the line\n\nmodel,id\n  \n#KESTREL-A,9\nMARLIN-A,2\n",
         {{6, {"MARLIN-A", "2"}}}},
        {"line break inside quotes", "model,id,note\nKESTREL-A,1,\"two\r\nlines\"\nMARLIN-A,3,\n",
         {{2, {"KESTREL-A", "1", "two\r\nlines"}}, {4, {"MARLIN-A", "3", ""}}}},
        {"empty quoted and empty fields", "model,id,a,b\nKESTREL-A,1,\"\",\n", {{2, {"KESTREL-A", "1", "", ""}}}},
    };
    for (const auto& c : cases) {
        const TBatchFile file = ParseBatchCsv(c.text);
        EXPECT_EQ(file.Error, "") << c.name;
        ASSERT_EQ(file.Rows.size(), c.rows.size()) << c.name;
        for (size_t k = 0; k < c.rows.size(); ++k) {
            EXPECT_EQ(file.Rows[k].Line, c.rows[k].first) << c.name;
            EXPECT_EQ(file.Rows[k].Fields, c.rows[k].second) << c.name;
            EXPECT_EQ(file.Rows[k].SkipReason, "") << c.name;
        }
    }
}

TEST(BatchCsv, MalformedRowsAreSkippedWithLineAndReason) {
    struct Row {
        const char* row;
        const char* reason; // empty: the row is good
    };
    const Row cases[] = {
        {"kestrel-a , 5 ,,", ""},
        {"OSPREY-B,63,23A1705,", ""},
        {"OSPREY-B,0,2391234,", ""},
        {"MARLIN-A,63,,", ""},
        {"KESTREL-A,1,,x,y", "5 fields, but the header names 4 columns (extra: 'y')"},
        {"KESTREL-A,1", "missing columns 'serial', 'note'"},
        {"KESTREL-A,1,", "missing column 'note'"},
        {"KESTREL,1,,", "unknown model 'KESTREL' (KESTREL-A, MARLIN-A or OSPREY-B)"},
        {",1,,", "no model given"},
        {"MARLIN-A,,,", "no id given"},
        {"MARLIN-A,1x,,", "id '1x' is not a whole number"},
        {"MARLIN-A,256,,", "id 256 is outside 0..255 (one byte in the frame)"},
        {"MARLIN-A,-1,,", "id -1 is outside 0..255"},
        {"OSPREY-B,1,,", "OSPREY-B needs a serial number (its address on the bus); the serial is empty"},
        {"OSPREY-B,1,0,", "serial '0' must have 3 to 10 characters"},
        {"OSPREY-B,1,23A17051234,", "serial '23A17051234' must have 3 to 10 characters"},
        {"OSPREY-B,1,23D1705,", "serial '23D1705': character 3 'D' is not a month (0..9 or A..C)"},
        {"OSPREY-B,1,-3A1705,", "serial '-3A1705': character 1 '-' is not a digit"},
        {"OSPREY-B,1,23a1705,", "serial '23a1705': character 3 'a' is not a month"},
        {"OSPREY-B,1,99C9999999,", "serial '99C9999999' gives no address: '99129999999' is not a valid integer value"},
        {"KESTREL-A,1,\"x\"y,", "text after a closing quote: 'y'"},
        {"KESTREL-A,1,,\"open", "the quote opened on line 2 is never closed"},
    };
    for (const auto& c : cases) {
        const TBatchFile file = ParseBatchCsv(std::string("model,id,serial,note\n") + c.row + "\n");
        ASSERT_EQ(file.Error, "") << c.row;
        ASSERT_EQ(file.Rows.size(), 1u) << c.row;
        EXPECT_EQ(file.Rows[0].Line, 2) << c.row;
        if (*c.reason == 0)
            EXPECT_EQ(file.Rows[0].SkipReason, "") << c.row;
        else
            EXPECT_EQ(file.Rows[0].SkipReason.rfind(c.reason, 0), 0u) << c.row << " -> " << file.Rows[0].SkipReason;
        EXPECT_EQ(file.Rows[0].Frame.empty(), *c.reason != 0) << c.row;
    }
    // A file without a serial column can still hold the other models.
    const TBatchFile noSerial = ParseBatchCsv("model,id\nOSPREY-B,1\nKESTREL-A,2\n");
    EXPECT_EQ(noSerial.Rows[0].SkipReason, "OSPREY-B needs a serial number, and the file has no 'serial' column");
    EXPECT_EQ(noSerial.Rows[1].SkipReason, "");
}

TEST(BatchCsv, UnusableFilesSayWhy) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "no header row (the first line must name the columns, e.g. model,id,serial)"},
        {"\xEF\xBB\xBF# only a comment\r\n\r\n", "no header row"},
        {"model,serial\nKESTREL-A,1\n", "the header row names no 'id' column"},
        {"ID,serial\n", "the header row names no 'model' column"},
        {"model,id, Id \n", "the header names column 'id' twice (columns 2 and 3)"},
        {"model,\"id\n", "header row on line 1: the quote opened on line 1 is never closed"},
    };
    for (const auto& [text, error] : cases)
        EXPECT_EQ(ParseBatchCsv(text).Error.rfind(error, 0), 0u) << text << " -> " << ParseBatchCsv(text).Error;
}

TEST(BatchCsv, EachModelBuildsTheFrameTheFrameCommandBuilds) {
    struct Row {
        const char* model;
        const char* id;
        const char* serial;
    };
    const Row cases[] = {{"KESTREL-A", "1", "23A1705"}, {"MARLIN-A", "7", ""}, {"OSPREY-B", "1", "23A1705"},
                         {"osprey-b", "63", "2391234"}, {"KESTREL-A", "63", ""}, {"MARLIN-A", "0", "23A1705"}};
    for (const auto& c : cases) {
        const TBatchFile file =
            ParseBatchCsv(std::string("model,id,serial\n") + c.model + "," + c.id + "," + c.serial + "\n");
        ASSERT_EQ(file.Rows.at(0).SkipReason, "") << c.model;
        TCommandInputs inputs;
        std::vector<std::string> options = {"--model", c.model, "--id", c.id};
        if (std::string(c.model) == "OSPREY-B" || std::string(c.model) == "osprey-b")
            options.insert(options.end(), {"--serial", c.serial});
        ASSERT_EQ(ParseFrameOptions(options, inputs), "");
        TCipherState cipher{};
        EXPECT_EQ(Hex(file.Rows[0].Frame), Hex(BuildCommandFrame(inputs, cipher))) << c.model << " " << c.id;
    }
    // The OSPREY-B frame goes to the address its serial gives, never to every device.
    const TBatchFile osprey = ParseBatchCsv("model,id,serial\nOSPREY-B,1,23A1705\n");
    EXPECT_EQ(Hex(osprey.Rows[0].Frame), "24 00 0A DC 01 FD 02 5A 01 03 D1 32 ");
}

TBatchFile SampleFile() {
    return ParseBatchCsv("model,id,serial,note\n"
                         "KESTREL-A,1,,\"bench 1, left\"\n"
                         "OSPREY-B,2,23A1705,\n"
                         "WREN,3,,\n"
                         "MARLIN-A,4,,\n");
}

std::vector<TRowResult> SampleResults(const TBatchFile& file) {
    std::vector<TRowResult> results = InitialResults(file);
    results[0] = {TRowStatus::Ok, "", "0D 00 01", 1, "/dev/pts/3", 1004, "2024-05-01T09:30:05+02:00"};
    results[1] = {TRowStatus::Failed, "Error: no reply within 3000 ms", "", 2, "/dev/pts/4", 6002,
                  "2024-05-01T09:30:11+02:00"};
    return results;
}

TEST(BatchReport, CarriesEveryRowWithItsOutcome) {
    const TBatchFile file = SampleFile();
    const std::vector<TRowResult> results = SampleResults(file);
    const std::string report = FormatBatchReport(file, results);
    EXPECT_EQ(report,
              "model,id,serial,note,result,reason,reply,attempts,port,elapsed_ms,time\r\n"
              "KESTREL-A,1,,\"bench 1, left\",ok,,0D 00 01,1,/dev/pts/3,1004,2024-05-01T09:30:05+02:00\r\n"
              "OSPREY-B,2,23A1705,,failed,Error: no reply within 3000 ms,,2,/dev/pts/4,6002,"
              "2024-05-01T09:30:11+02:00\r\n"
              "WREN,3,,,skipped,\"unknown model 'WREN' (KESTREL-A, MARLIN-A or OSPREY-B)\",,0,,,\r\n"
              "MARLIN-A,4,,,not run,,,0,,,\r\n");

    // Fed back in, the report's own columns are replaced, not doubled.
    const TBatchFile again = ParseBatchCsv(report);
    ASSERT_EQ(again.Error, "");
    EXPECT_EQ(again.Rows[0].Fields[3], "bench 1, left");
    EXPECT_EQ(FormatBatchReport(again, results), report);
    // A column of the input's own that happens to share a name is kept.
    const TBatchFile ownTime = ParseBatchCsv("model,id,time\nKESTREL-A,1,08:00\n");
    EXPECT_EQ(FormatBatchReport(ownTime, InitialResults(ownTime)),
              "model,id,time,result,reason,reply,attempts,port,elapsed_ms,time\r\n"
              "KESTREL-A,1,08:00,not run,,,0,,,\r\n");

    EXPECT_EQ(FormatBatchSummary(file, results, false),
              "Summary: 4 rows: 1 ok, 1 failed, 1 skipped, 1 not run\n"
              "  failed line 3: Error: no reply within 3000 ms (2 attempts, /dev/pts/4)\n"
              "  skipped line 4: unknown model 'WREN' (KESTREL-A, MARLIN-A or OSPREY-B)\n"
              "  not run line 5: \n"
              "Ports: /dev/pts/3 1 row, /dev/pts/4 1 row\n");
    EXPECT_EQ(FormatSummaryJson(file, results, true),
              "{\"type\":\"summary\",\"rows\":4,\"ok\":1,\"failed\":1,\"skipped\":1,\"not_run\":1,"
              "\"interrupted\":true,\"ports\":\"/dev/pts/3 1 row, /dev/pts/4 1 row\",\"problems\":["
              "{\"line\":3,\"result\":\"failed\",\"reason\":\"Error: no reply within 3000 ms\"},"
              "{\"line\":4,\"result\":\"skipped\",\"reason\":\"unknown model 'WREN' (KESTREL-A, MARLIN-A or OSPREY-B)\"},"
              "{\"line\":5,\"result\":\"not run\",\"reason\":\"\"}]}");
    EXPECT_EQ(FormatRowJson(file, 0, results[0]),
              "{\"type\":\"row\",\"line\":2,\"result\":\"ok\",\"reason\":\"\",\"reply\":\"0D 00 01\",\"attempts\":1,"
              "\"port\":\"/dev/pts/3\",\"elapsed_ms\":1004,\"time\":\"2024-05-01T09:30:05+02:00\",\"columns\":"
              "{\"model\":\"KESTREL-A\",\"id\":\"1\",\"serial\":\"\",\"note\":\"bench 1, left\"}}");

    EXPECT_EQ(BatchExitCode(results), 1);
    EXPECT_EQ(BatchExitCode({}), 1);
    EXPECT_EQ(BatchExitCode({results[0], results[0]}), 0);
    const std::string now = IsoLocalTimeNow();
    EXPECT_EQ(now.size(), 25u) << now;
    EXPECT_EQ(now[22], ':') << now;
}

// ---- The runner, over scripted ports ----

struct TScript {
    std::mutex Lock;
    std::map<std::string, std::vector<std::string>> Sent; // port -> frames
    std::map<std::string, int> Closed;                   // port -> closes
};

TBatchPort ScriptedPort(const std::string& name, TScript& script,
                        std::function<TBatchAttempt(const std::string& name, int call)> answer) {
    auto calls = std::make_shared<int>(0);
    TBatchPort port;
    port.Name = name;
    port.Open = [name] { return name == "/dev/broken" ? std::string("no such port") : std::string(); };
    port.Exchange = [&script, name, calls, answer](const std::vector<uint8_t>& frame) {
        {
            std::lock_guard guard(script.Lock);
            script.Sent[name].push_back(Hex(frame));
        }
        return answer(name, ++*calls);
    };
    port.Close = [&script, name](const std::string&) {
        std::lock_guard guard(script.Lock);
        ++script.Closed[name];
    };
    return port;
}

// The stop flag of the runner cases, so that an exchange can stop the run while in flight.
std::atomic<bool> StopNow{false};

TBatchAttempt Accepted() {
    return {true, "0D", "", 1000, ""};
}
TBatchAttempt Silent() {
    return {false, "", "Error: no reply within 3000 ms", 3000, ""};
}

TBatchFile GoodRows(int count) {
    std::string text = "model,id\n";
    for (int k = 0; k < count; ++k)
        text += "KESTREL-A," + std::to_string(k) + "\n";
    return ParseBatchCsv(text);
}

TEST(BatchRun, RetriesLostPortsAndStopping) {
    struct Case {
        const char* name;
        int rows, retries;
        std::vector<std::string> ports;
        std::function<TBatchAttempt(const std::string&, int)> answer;
        std::vector<std::string> expected; // per row: status, attempts, port
    };
    const Case cases[] = {
        {"retried until accepted", 2, 2, {"A"},
         [](const std::string&, int call) { return call == 2 || call == 3 ? Accepted() : Silent(); },
         {"ok 2 A", "ok 1 A"}},
        {"retries run out", 1, 1, {"A"}, [](const std::string&, int) { return Silent(); }, {"failed 2 A"}},
        {"no retries by default", 1, 0, {"A"},
         [](const std::string&, int) { return TBatchAttempt{false, "01 02", "no result: 2 bytes", 1000, ""}; },
         {"failed 1 A"}},
        {"a port that does not open leaves the rows to the others", 2, 0, {"/dev/broken", "B"},
         [](const std::string&, int) { return Accepted(); }, {"ok 1 B", "ok 1 B"}},
        {"no port opens: nothing runs", 2, 0, {"/dev/broken"}, [](const std::string&, int) { return Accepted(); },
         {"not run 0 ", "not run 0 "}},
        {"a lost port fails its row and takes no more, no retry", 3, 3, {"A"},
         [](const std::string&, int call) {
             return call == 1 ? Accepted() : TBatchAttempt{false, "", "", 5, "/dev/pts/9 is gone (unplugged?)"};
         },
         {"ok 1 A", "failed 1 A", "not run 0 "}},
        {"a frame that never went out goes to another port", 3, 0, {"A", "B"},
         [](const std::string& name, int) {
             return name == "B" ? Accepted() : TBatchAttempt{false, "", "", 0, "A is not open", true};
         },
         {"ok 1 B", "ok 1 B", "ok 1 B"}},
        {"a frame that never went out on a retry fails its row", 1, 1, {"A"},
         [](const std::string&, int call) {
             return call == 1 ? Silent() : TBatchAttempt{false, "", "", 0, "A is not open", true};
         },
         {"failed 2 A"}},
        {"stop: the row in flight ends, no retry, the rest do not run", 3, 5, {"A"},
         [](const std::string&, int) {
             StopNow = true;
             return Silent();
         },
         {"failed 1 A", "not run 0 ", "not run 0 "}},
    };
    for (const auto& c : cases) {
        const TBatchFile file = GoodRows(c.rows);
        std::vector<TRowResult> results = InitialResults(file);
        TScript script;
        std::vector<TBatchPort> ports;
        for (const auto& name : c.ports)
            ports.push_back(ScriptedPort(name, script, c.answer));
        StopNow = false;
        std::vector<size_t> order;
        RunBatchRows(file, results, ports, {c.retries}, StopNow, [&](size_t index) { order.push_back(index); });
        for (size_t k = 0; k < results.size(); ++k) {
            const auto& r = results[k];
            EXPECT_EQ(std::string(RowStatusText(r.Status)) + " " + std::to_string(r.Attempts) + " " + r.Port,
                      c.expected[k])
                << c.name << ", row " << k;
            EXPECT_EQ(r.Status == TRowStatus::Ok, r.Reason.empty()) << c.name << ", row " << k << ": " << r.Reason;
            if (r.Status == TRowStatus::Failed) {
                EXPECT_FALSE(r.Time.empty()) << c.name;
            }
        }
        // Every port that opened is closed once, however its run ended.
        for (const auto& name : c.ports)
            EXPECT_EQ(script.Closed[name], name == "/dev/broken" ? 0 : 1) << c.name << ", " << name;
        EXPECT_EQ(order.size(), static_cast<size_t>(std::count_if(results.begin(), results.end(), [](auto& r) {
                                    return r.Status != TRowStatus::NotRun;
                                })))
            << c.name;
    }
}

TEST(BatchRun, NotRunRowsSayWhy) {
    const TBatchFile file = GoodRows(2);
    TScript script;
    auto run = [&](std::vector<std::string> names, bool stop) {
        std::vector<TRowResult> results = InitialResults(file);
        std::vector<TBatchPort> ports;
        for (const auto& name : names)
            ports.push_back(ScriptedPort(name, script, [](const std::string&, int) {
                return TBatchAttempt{false, "", "", 0, "gone"};
            }));
        std::atomic<bool> stopFlag{stop};
        RunBatchRows(file, results, ports, {}, stopFlag, {});
        return results.back().Reason;
    };
    EXPECT_EQ(run({"/dev/broken"}, false), "no port could be opened");
    EXPECT_EQ(run({"A"}, false), "no port left to send it (every port was lost)");
    EXPECT_EQ(run({"A"}, true), "interrupted before it was sent");
}

TEST(BatchRun, SeveralPortsShareTheRowsInOrder) {
    // Each port holds its first row until the other port has a row too, so both must
    // take part; rows leave the queue in file order.
    const TBatchFile file = GoodRows(6);
    std::vector<TRowResult> results = InitialResults(file);
    TScript script;
    std::mutex lock;
    std::condition_variable changed;
    std::set<std::string> busy;
    auto answer = [&](const std::string& name, int call) {
        if (call == 1) {
            std::unique_lock guard(lock);
            busy.insert(name);
            changed.notify_all();
            changed.wait_for(guard, std::chrono::seconds(10), [&] { return busy.size() == 2; });
        }
        return Accepted();
    };
    std::vector<TBatchPort> ports = {ScriptedPort("A", script, answer), ScriptedPort("B", script, answer)};
    std::atomic<bool> stop{false};
    RunBatchRows(file, results, ports, {}, stop, {});
    EXPECT_EQ(busy.size(), 2u);
    size_t sentA = script.Sent["A"].size(), sentB = script.Sent["B"].size();
    EXPECT_GE(sentA, 1u);
    EXPECT_GE(sentB, 1u);
    EXPECT_EQ(sentA + sentB, 6u);
    for (size_t k = 0; k < results.size(); ++k) {
        EXPECT_EQ(results[k].Status, TRowStatus::Ok) << k;
        // The frame sent for a row is that row's frame.
        const auto& sent = script.Sent[results[k].Port];
        EXPECT_NE(std::find(sent.begin(), sent.end(), Hex(file.Rows[k].Frame)), sent.end()) << k;
    }
    EXPECT_NE(PortShares(results).find("A "), std::string::npos);
    EXPECT_NE(PortShares(results).find("B "), std::string::npos);
}

} // namespace
