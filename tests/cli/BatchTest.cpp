#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>

#include "cli/Batch.h"
#include "cli/BatchRun.h"
#include "cli/Descriptors.h"
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

// A journal in a file of its own, removed with the object.
struct TTempJournal {
    explicit TTempJournal(const std::string& name)
        : Path(testing::TempDir() + "kaldora-batchtest-" + std::to_string(getpid()) + "-" + name + ".journal") {
        std::remove(Path.c_str());
        std::string error;
        Journal = TJournal::Open(Path, error);
        EXPECT_TRUE(Journal) << error;
    }
    ~TTempJournal() {
        Journal.reset();
        for (const char* end : {"", "-wal", "-shm"})
            std::remove((Path + end).c_str());
    }
    // Adds the file's rows as a batch does before it sends anything.
    void Add(const TBatchFile& file) {
        std::string error;
        ASSERT_TRUE(Journal->BindHeader(KeptHeaderCsv(file.Header), error)) << error;
        std::vector<TJournalRow> rows;
        for (const TBatchRow& row : file.Rows)
            rows.push_back(JournalRowOf(row, file.Header));
        ASSERT_TRUE(Journal->AddRows(rows, error)) << error;
    }
    std::string Export() {
        std::string text, error;
        EXPECT_TRUE(Journal->Export([&text](const std::string& line) { return text += line, true; }, error)) << error;
        return text;
    }
    std::vector<TJournalRow> Rows() {
        return Journal->RowsIn({TRowState::Pending, TRowState::Sending, TRowState::Ok, TRowState::Failed,
                                TRowState::LateReply, TRowState::LostAfterSend, TRowState::Unknown,
                                TRowState::Skipped, TRowState::NotRun},
                               1000);
    }
    std::string Path;
    std::unique_ptr<TJournal> Journal;
};

TJournalRow Outcome(int line, TRowState state, std::string reason, std::string reply, int attempts, std::string port,
                    long ms, std::string time) {
    TJournalRow row;
    row.Line = line;
    row.State = state;
    row.Reason = std::move(reason);
    row.Reply = std::move(reply);
    row.Attempts = attempts;
    row.Port = std::move(port);
    row.ElapsedMs = ms;
    row.Time = std::move(time);
    return row;
}

TEST(BatchReport, CarriesEveryRowWithItsOutcome) {
    const TBatchFile file = SampleFile();
    TTempJournal journal("report");
    journal.Add(file);
    std::string error;
    const TJournalRow ok = Outcome(2, TRowState::Ok, "", "0D 00 01", 1, "/dev/pts/3", 1004, "2024-05-01T09:30:05+02:00");
    ASSERT_TRUE(journal.Journal->Record(ok, error)) << error;
    ASSERT_TRUE(journal.Journal->Record(Outcome(3, TRowState::Failed, "Error: no reply within 3000 ms", "", 2,
                                                "/dev/pts/4", 6002, "2024-05-01T09:30:11+02:00"),
                                        error));
    const std::string report = journal.Export();
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
    EXPECT_EQ(KeptHeaderCsv(again.Header), "model,id,serial,note");
    EXPECT_EQ(JournalRowOf(again.Rows[0], again.Header).Fields, "KESTREL-A,1,,\"bench 1, left\"");
    // A column of the input's own that happens to share a name is kept.
    const TBatchFile ownTime = ParseBatchCsv("model,id,time\nKESTREL-A,1,08:00\n");
    TTempJournal ownJournal("own-time");
    ownJournal.Add(ownTime);
    EXPECT_EQ(ownJournal.Export(),
              "model,id,time,result,reason,reply,attempts,port,elapsed_ms,time\r\n"
              "KESTREL-A,1,08:00,not run,,,0,,,\r\n");
    // A field that begins with '#' is written quoted, so it is not read back as a comment.
    const TBatchFile hash = ParseBatchCsv("model,id,note\nKESTREL-A,1,x\n");
    TBatchRow row = hash.Rows[0];
    row.Fields[0] = "#KESTREL-A";
    EXPECT_EQ(JournalRowOf(row, hash.Header).Fields, "\"#KESTREL-A\",1,x");
    EXPECT_EQ(ParseBatchCsv("model,id,note\n" + JournalRowOf(row, hash.Header).Fields + "\n").Rows.size(), 1u);

    TBatchSummary summary;
    summary.Counts = journal.Journal->Counts();
    summary.Problems = journal.Journal->RowsIn({TRowState::Failed, TRowState::Skipped, TRowState::Pending}, 10);
    summary.Ports = PortShares({{"/dev/pts/3", 1}, {"/dev/pts/4", 1}});
    EXPECT_EQ(FormatBatchSummary(summary),
              "Summary: 4 rows: 1 ok, 1 failed, 1 skipped, 1 not run\n"
              "  failed line 3: Error: no reply within 3000 ms (2 attempts, /dev/pts/4)\n"
              "  skipped line 4: unknown model 'WREN' (KESTREL-A, MARLIN-A or OSPREY-B)\n"
              "  not run line 5: \n"
              "Ports: /dev/pts/3 1 row, /dev/pts/4 1 row\n");
    summary.Interrupted = true;
    summary.MoreProblems = 7;
    EXPECT_NE(FormatBatchSummary(summary).find("  ... and 7 more (see the report)\n"), std::string::npos);
    EXPECT_EQ(FormatSummaryJson(summary),
              "{\"type\":\"summary\",\"rows\":4,\"ok\":1,\"failed\":1,\"late_reply\":0,\"lost_after_send\":0,"
              "\"unknown\":0,\"skipped\":1,\"not_run\":1,"
              "\"interrupted\":true,\"ports\":\"/dev/pts/3 1 row, /dev/pts/4 1 row\",\"problems\":["
              "{\"line\":3,\"result\":\"failed\",\"reason\":\"Error: no reply within 3000 ms\"},"
              "{\"line\":4,\"result\":\"skipped\",\"reason\":\"unknown model 'WREN' (KESTREL-A, MARLIN-A or OSPREY-B)\"},"
              "{\"line\":5,\"result\":\"not run\",\"reason\":\"\"}],\"more_problems\":7}");
    TJournalRow first = ok;
    first.Fields = JournalRowOf(file.Rows[0], file.Header).Fields;
    EXPECT_EQ(FormatRowJson(file.Header, first),
              "{\"type\":\"row\",\"line\":2,\"result\":\"ok\",\"reason\":\"\",\"reply\":\"0D 00 01\",\"attempts\":1,"
              "\"port\":\"/dev/pts/3\",\"elapsed_ms\":1004,\"time\":\"2024-05-01T09:30:05+02:00\",\"columns\":"
              "{\"model\":\"KESTREL-A\",\"id\":\"1\",\"serial\":\"\",\"note\":\"bench 1, left\"}}");

    EXPECT_EQ(BatchExitCode(summary.Counts), 1);
    EXPECT_EQ(BatchExitCode({}), 1);
    std::array<size_t, RowStateCount> allOk{};
    allOk[static_cast<size_t>(TRowState::Ok)] = 2;
    EXPECT_EQ(BatchExitCode(allOk), 0);
    const std::string now = IsoLocalTimeNow();
    EXPECT_EQ(now.size(), 25u) << now;
    EXPECT_EQ(now[22], ':') << now;
}

TEST(BatchCsv, DuplicateIdsAndSerialsAreListedWithTheirLines) {
    const TBatchFile file = ParseBatchCsv("model,id,serial\n"
                                          "KESTREL-A,7,\n"
                                          "MARLIN-A,8,\n"
                                          "MARLIN-A,7,\n"
                                          "OSPREY-B,1,23A1705\n"
                                          "OSPREY-B,2,23A1705\n"
                                          "WREN,8,\n");
    TDuplicateCheck check;
    for (const TBatchRow& row : file.Rows)
        check.Add(row);
    EXPECT_TRUE(check.Found());
    // The skipped row with ID 8 does not count.
    EXPECT_EQ(check.Text(), "ID 7 on lines 2, 4; serial 23A1705 on lines 5, 6");
    TDuplicateCheck many;
    for (int k = 0; k < 12; ++k)
        many.Add(ParseBatchCsv("model,id\nKESTREL-A,3\n").Rows[0]);
    EXPECT_NE(many.Text().find("and 2 more"), std::string::npos) << many.Text();
    TDuplicateCheck none;
    for (const TBatchRow& row : ParseBatchCsv("model,id\nKESTREL-A,1\nKESTREL-A,2\n").Rows)
        none.Add(row);
    EXPECT_FALSE(none.Found());
}

// ---- The runner, over scripted ports ----

struct TScript {
    std::mutex Lock;
    std::map<std::string, std::vector<std::string>> Sent; // port -> frames
    std::map<std::string, int> Closed;                   // port -> closes
};

TBatchPort ScriptedPort(const std::string& name, TScript& script,
                        std::function<TExchangeResult(const std::string& name, int call)> answer) {
    auto calls = std::make_shared<int>(0);
    TBatchPort port;
    port.Name = name;
    port.Open = [name] { return name == "/dev/broken" ? std::string("no such port") : std::string(); };
    port.Exchange = [&script, name, calls, answer](const std::vector<uint8_t>& frame) {
        {
            std::lock_guard guard(script.Lock);
            script.Sent[name].push_back(Hex(frame));
        }
        TExchangeResult x = answer(name, ++*calls);
        x.Frame = frame;
        return x;
    };
    port.Close = [&script, name](const std::string&) {
        std::lock_guard guard(script.Lock);
        ++script.Closed[name];
    };
    return port;
}

// The stop flag of the runner cases, so that an exchange can stop the run while in flight.
std::atomic<bool> StopNow{false};

TExchangeResult Answer(TExchangeOutcome outcome, size_t sent = 12, std::string reason = "") {
    TExchangeResult x;
    x.Outcome = outcome;
    x.Sent = sent;
    x.LinkReason = std::move(reason);
    x.ElapsedMs = outcome == TExchangeOutcome::NoReply ? 3000 : 1000;
    if (outcome == TExchangeOutcome::Accepted) x.Reply = {0x0D}, x.ReplyBytes = 1;
    return x;
}
TExchangeResult Accepted() {
    return Answer(TExchangeOutcome::Accepted);
}
TExchangeResult Silent() {
    return Answer(TExchangeOutcome::NoReply);
}
TExchangeResult NotSent(const char* why) {
    return Answer(TExchangeOutcome::NotSent, 0, why);
}

TBatchFile GoodRows(int count) {
    std::string text = "model,id\n";
    for (int k = 0; k < count; ++k)
        text += "KESTREL-A," + std::to_string(k) + "\n";
    return ParseBatchCsv(text);
}

// Runs the file's rows as the batch does: into the journal, then through a queue to the
// ports; the journal's rows afterwards, with the rows left over marked not run.
struct TRun {
    TBatchRunResult Result;
    std::vector<TJournalRow> Rows;
    std::vector<int> Done; // lines, in the order they finished
};
TRun RunRows(const TBatchFile& file, std::vector<TBatchPort>& ports, int retries, std::atomic<bool>& stop,
             size_t capacity = 1024) {
    static int runs = 0;
    TTempJournal journal("run" + std::to_string(++runs));
    journal.Add(file);
    TRowQueue queue(capacity);
    TRun run;
    std::thread feeder([&] {
        for (const TBatchRow& row : file.Rows)
            if (!queue.Push({row.Line, row.Frame, DeviceText(row.Inputs)})) break;
        queue.Close();
    });
    run.Result = RunBatchRows(queue, ports, *journal.Journal, {retries}, stop,
                              [&](const TQueuedRow& row, const TJournalRow&) { run.Done.push_back(row.Line); });
    feeder.join();
    std::string error;
    EXPECT_TRUE(journal.Journal->MarkPendingNotRun("left", error)) << error;
    run.Rows = journal.Rows();
    return run;
}

TEST(BatchRun, RetriesLostPortsAndStopping) {
    struct Case {
        const char* name;
        int rows, retries;
        std::vector<std::string> ports;
        std::function<TExchangeResult(const std::string&, int)> answer;
        std::vector<std::string> expected; // per row: state, attempts, port
    };
    const Case cases[] = {
        {"retried until accepted", 2, 2, {"A"},
         [](const std::string&, int call) { return call == 2 || call == 3 ? Accepted() : Silent(); },
         {"ok 2 A", "ok 1 A"}},
        {"retries run out", 1, 1, {"A"}, [](const std::string&, int) { return Silent(); }, {"failed 2 A"}},
        {"no retries by default", 1, 0, {"A"},
         [](const std::string&, int) { return Answer(TExchangeOutcome::WrongLength); }, {"failed 1 A"}},
        {"a late reply is never retried", 1, 3, {"A"},
         [](const std::string&, int) { return Answer(TExchangeOutcome::LateReply); }, {"late reply 1 A"}},
        {"a port that does not open leaves the rows to the others", 2, 0, {"/dev/broken", "B"},
         [](const std::string&, int) { return Accepted(); }, {"ok 1 B", "ok 1 B"}},
        {"no port opens: nothing runs", 2, 0, {"/dev/broken"}, [](const std::string&, int) { return Accepted(); },
         {"not run 0 ", "not run 0 "}},
        {"a link lost after the frame left ends its row there and takes no more", 3, 3, {"A"},
         [](const std::string&, int call) {
             return call == 1 ? Accepted() : Answer(TExchangeOutcome::LostAfterSend, 12, "/dev/pts/9 is gone");
         },
         {"ok 1 A", "lost after send 1 A", "not run 0 "}},
        {"a frame that never went out goes to another port", 3, 0, {"A", "B"},
         [](const std::string& name, int) { return name == "B" ? Accepted() : NotSent("A is not open"); },
         {"ok 1 B", "ok 1 B", "ok 1 B"}},
        {"a frame that never went out on a retry fails its row", 1, 1, {"A"},
         [](const std::string&, int call) { return call == 1 ? Silent() : NotSent("A is not open"); },
         {"failed 1 A"}},
        {"stop: the row in flight is recorded, no retry, the rest do not run", 3, 5, {"A"},
         [](const std::string&, int) {
             StopNow = true;
             return Answer(TExchangeOutcome::Interrupted);
         },
         {"unknown 1 A", "not run 0 ", "not run 0 "}},
        {"stop before the frame left: the row is not run", 2, 0, {"A"},
         [](const std::string&, int) {
             StopNow = true;
             return Answer(TExchangeOutcome::Interrupted, 0);
         },
         {"not run 0 A", "not run 0 "}},
    };
    for (const auto& c : cases) {
        const TBatchFile file = GoodRows(c.rows);
        TScript script;
        std::vector<TBatchPort> ports;
        for (const auto& name : c.ports)
            ports.push_back(ScriptedPort(name, script, c.answer));
        StopNow = false;
        const TRun run = RunRows(file, ports, c.retries, StopNow);
        ASSERT_EQ(run.Rows.size(), c.expected.size()) << c.name;
        for (size_t k = 0; k < run.Rows.size(); ++k) {
            const auto& r = run.Rows[k];
            EXPECT_EQ(std::string(RowStateText(r.State)) + " " + std::to_string(r.Attempts) + " " + r.Port,
                      c.expected[k])
                << c.name << ", row " << k;
            EXPECT_EQ(r.State == TRowState::Ok, r.Reason.empty()) << c.name << ", row " << k << ": " << r.Reason;
            if (r.Attempts > 0) {
                EXPECT_FALSE(r.Time.empty()) << c.name;
            }
        }
        // Every port that opened is closed once, however its run ended.
        for (const auto& name : c.ports)
            EXPECT_EQ(script.Closed[name], name == "/dev/broken" ? 0 : 1) << c.name << ", " << name;
    }
}

TEST(BatchRun, AFrameThatLeftIsNeverSentOnAnotherPort) {
    const TBatchFile file = GoodRows(2);
    TScript script;
    auto answer = [](const std::string& name, int) {
        return name == "A" ? Answer(TExchangeOutcome::LostAfterSend, 5, "A closed the connection") : Accepted();
    };
    std::vector<TBatchPort> ports = {ScriptedPort("A", script, answer), ScriptedPort("B", script, answer)};
    std::atomic<bool> stop{false};
    const TRun run = RunRows(file, ports, 3, stop);
    std::multiset<std::string> states;
    for (const auto& r : run.Rows)
        states.insert(std::string(RowStateText(r.State)) + " " + r.Port);
    // A may or may not have taken a row before B took both; what it took stays its own.
    for (const std::string& frame : script.Sent["A"]) {
        EXPECT_EQ(std::count(script.Sent["B"].begin(), script.Sent["B"].end(), frame), 0);
        EXPECT_EQ(states.count("lost after send A"), 1u);
    }
    EXPECT_EQ(script.Sent["A"].size() + script.Sent["B"].size(), 2u);
}

TEST(BatchRun, NotRunRowsSayWhyAndARowGivenBackFindsAHealthyPort) {
    // A row that port A could not send goes back to the queue after B has run out of
    // rows: B is still waiting for it, rather than gone.
    const TBatchFile file = GoodRows(3);
    TScript script;
    std::mutex lock;
    std::condition_variable changed;
    bool bIdle = false;
    auto answer = [&](const std::string& name, int call) {
        if (name == "B") return Accepted();
        if (call == 1) {
            // Hold the first row until B has taken and finished the other two.
            std::unique_lock guard(lock);
            changed.wait_for(guard, std::chrono::seconds(10), [&] { return bIdle; });
        }
        return NotSent("A is not open");
    };
    std::vector<TBatchPort> ports = {ScriptedPort("A", script, answer), ScriptedPort("B", script, answer)};
    std::atomic<bool> stop{false};
    auto watch = ports[1].Exchange;
    auto calls = std::make_shared<int>(0);
    ports[1].Exchange = [&, watch, calls](const std::vector<uint8_t>& frame) {
        TExchangeResult x = watch(frame);
        if (++*calls == 2) {
            std::lock_guard guard(lock);
            bIdle = true;
            changed.notify_all();
        }
        return x;
    };
    const TRun run = RunRows(file, ports, 0, stop);
    for (const auto& r : run.Rows)
        EXPECT_EQ(std::string(RowStateText(r.State)) + " " + r.Port, "ok B") << r.Line << ": " << r.Reason;
    EXPECT_EQ(run.Result.Opened, 2u);
    EXPECT_EQ(run.Result.Running, 1u);
}

TEST(BatchRun, SeveralPortsShareTheRowsInOrder) {
    // Each port holds its first row until the other port has a row too, so both must
    // take part; rows leave the queue in file order.
    const TBatchFile file = GoodRows(6);
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
    const TRun run = RunRows(file, ports, 0, stop, 2);
    EXPECT_EQ(busy.size(), 2u);
    size_t sentA = script.Sent["A"].size(), sentB = script.Sent["B"].size();
    EXPECT_GE(sentA, 1u);
    EXPECT_GE(sentB, 1u);
    EXPECT_EQ(sentA + sentB, 6u);
    for (size_t k = 0; k < run.Rows.size(); ++k) {
        EXPECT_EQ(run.Rows[k].State, TRowState::Ok) << k;
        // The frame sent for a row is that row's frame.
        const auto& sent = script.Sent[run.Rows[k].Port];
        EXPECT_NE(std::find(sent.begin(), sent.end(), Hex(file.Rows[k].Frame)), sent.end()) << k;
    }
    EXPECT_NE(PortShares(run.Result.Shares).find("A "), std::string::npos);
    EXPECT_NE(PortShares(run.Result.Shares).find("B "), std::string::npos);
}

} // namespace

namespace {

TEST(Descriptors, ARunSaysHowManyPortsFitBeforeItOpensAny) {
    std::vector<TLinkSettings> links(256);
    for (auto& link : links) {
        link.Kind = TLinkSettings::TKind::Serial;
        link.Port = "/dev/x";
    }
    EXPECT_EQ(DescriptorShortfall(links, 1024, 10), "");
    EXPECT_EQ(DescriptorShortfall(links, 512, 6),
              "256 ports need 784 descriptors, and this process may have 512 (its hard limit, see ulimit -Hn), "
              "6 of them in use: 163 ports fit");
    links.resize(1);
    EXPECT_EQ(DescriptorShortfall(links, 22, 3), "");
    EXPECT_EQ(DescriptorShortfall(links, 21, 3),
              "1 port needs 19 descriptors, and this process may have 21 (its hard limit, see ulimit -Hn), "
              "3 of them in use: 0 ports fit");
}

} // namespace
