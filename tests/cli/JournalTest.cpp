#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "cli/Csv.h"
#include "cli/Journal.h"

namespace {

const std::vector<TRowState> AllStates = {TRowState::Pending, TRowState::Sending,   TRowState::Ok,
                                          TRowState::Failed,  TRowState::LateReply, TRowState::LostAfterSend,
                                          TRowState::Unknown, TRowState::Skipped,   TRowState::NotRun};

auto Tie(const TJournalRow& r) {
    return std::make_tuple(r.Line, r.Fields, std::string(RowStateName(r.State)), r.Reason, r.Reply,
                           r.Attempts, r.Port, r.ElapsedMs, r.Time, r.Frame, r.Id, r.Serial);
}

TJournalRow Row(int line, const std::string& fields, TRowState state = TRowState::Pending) {
    TJournalRow row;
    row.Line = line;
    row.Fields = fields;
    row.State = state;
    return row;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class JournalTest : public testing::Test {
protected:
    void SetUp() override {
        std::string templ = testing::TempDir() + "kaldora-journal-XXXXXX";
        Dir = mkdtemp(templ.data());
        Path = Dir + "/lot.db";
    }
    void TearDown() override { std::filesystem::remove_all(Dir); }

    std::unique_ptr<TJournal> Open() {
        std::string error;
        auto journal = TJournal::Open(Path, error);
        EXPECT_TRUE(journal) << error;
        return journal;
    }

    std::string Dir, Path;
    std::string Error;
};

TEST(RowState, NamesAndTexts) {
    const char* names[] = {"pending", "sending", "ok",      "failed", "late",
                           "lost",    "unknown", "skipped", "not_run"};
    const char* texts[] = {"not run",         "unknown", "ok",      "failed", "late reply",
                           "lost after send", "unknown", "skipped", "not run"};
    ASSERT_EQ(AllStates.size(), RowStateCount);
    for (TRowState state : AllStates) {
        const size_t k = static_cast<size_t>(state);
        EXPECT_STREQ(RowStateName(state), names[k]);
        EXPECT_STREQ(RowStateText(state), texts[k]);
        TRowState back = TRowState::Ok;
        EXPECT_TRUE(RowStateOfName(names[k], back));
        EXPECT_EQ(back, state);
    }
    TRowState back;
    EXPECT_FALSE(RowStateOfName("late reply", back));
}

TEST_F(JournalTest, EveryFieldAndStateSurvivesAReopen) {
    std::vector<TJournalRow> rows;
    for (TRowState state : AllStates) {
        const int k = static_cast<int>(state);
        TJournalRow row = Row(10 + k, "KESTREL-A," + std::to_string(k), state);
        row.Reason = "reason " + std::to_string(k);
        row.Reply = "24 00 " + std::to_string(k);
        row.Attempts = k + 1;
        row.Port = "/dev/ttyUSB" + std::to_string(k);
        row.ElapsedMs = 1000L * k + 7;
        row.Time = "2024-05-0" + std::to_string(k) + "T10:00:00+02:00";
        row.Frame = "FF " + std::to_string(k);
        row.Id = k == 7 ? -1 : 200 + k;
        row.Serial = "SN" + std::to_string(k);
        rows.push_back(row);
    }
    std::vector<TJournalRow> added = rows;
    ASSERT_TRUE(Open()->AddRows(added, Error)) << Error;

    auto journal = Open();
    const auto read = journal->RowsIn(AllStates, 100);
    ASSERT_EQ(read.size(), rows.size());
    for (size_t k = 0; k < rows.size(); ++k)
        EXPECT_EQ(Tie(read[k]), Tie(rows[k]));
    const auto counts = journal->Counts();
    for (size_t k = 0; k < RowStateCount; ++k)
        EXPECT_EQ(counts[k], 1u) << k;

    // A filter, a limit, and a visitor that stops.
    const auto some = journal->RowsIn({TRowState::Unknown, TRowState::Pending, TRowState::Ok}, 2);
    ASSERT_EQ(some.size(), 2u);
    EXPECT_EQ(some[0].Line, 10);
    EXPECT_EQ(some[1].Line, 12);
    int visited = 0;
    EXPECT_TRUE(journal->ForEachRow(
        AllStates, [&](const TJournalRow&) { return ++visited < 3; }, Error));
    EXPECT_EQ(visited, 3);
    EXPECT_TRUE(journal->RowsIn({}, 10).empty());
}

TEST_F(JournalTest, MarkSendingThenRecord) {
    auto journal = Open();
    std::vector<TJournalRow> rows = {Row(2, "KESTREL-A,1")};
    ASSERT_TRUE(journal->AddRows(rows, Error));

    ASSERT_TRUE(journal->MarkSending(2, "COM3", "AA BB", 2, Error)) << Error;
    TJournalRow row = journal->RowsIn({TRowState::Sending}, 1).at(0);
    EXPECT_EQ(row.Port, "COM3");
    EXPECT_EQ(row.Frame, "AA BB");
    EXPECT_EQ(row.Attempts, 2);
    EXPECT_FALSE(row.Time.empty());

    row.State = TRowState::LateReply;
    row.Reason = "late";
    row.Reply = "01 02";
    row.ElapsedMs = 3400;
    row.Time = "t";
    ASSERT_TRUE(journal->Record(row, Error)) << Error;
    EXPECT_EQ(Tie(journal->RowsIn({TRowState::LateReply}, 1).at(0)), Tie(row));

    EXPECT_FALSE(journal->MarkSending(9, "COM3", "AA", 1, Error));
    EXPECT_EQ(Error, "journal '" + Path + "' holds no line 9");
    row.Line = 8;
    EXPECT_FALSE(journal->Record(row, Error));
    EXPECT_EQ(Error, "journal '" + Path + "' holds no line 8");
}

TEST_F(JournalTest, ExportQuotesWhatTheReaderWouldMisread) {
    auto journal = Open();
    const std::vector<std::string> header = {"model", "id", "note"};
    std::string headerCsv = CsvLine(header);
    headerCsv.resize(headerCsv.size() - 2);
    ASSERT_TRUE(journal->BindHeader(headerCsv, Error));
    const std::vector<std::vector<std::string>> inputs = {
        {"#KESTREL-A", "1", "a, b"}, {"MARLIN-A", "2", "say \"hi\""}, {"OSPREY-B", "3", "two\nlines"}};
    std::vector<TJournalRow> rows;
    for (size_t k = 0; k < inputs.size(); ++k) {
        std::string fields = CsvLine(inputs[k]);
        fields.resize(fields.size() - 2);
        rows.push_back(Row(static_cast<int>(k) + 2, fields));
    }
    rows[0].State = TRowState::Ok;
    rows[0].Attempts = 1;
    rows[0].ElapsedMs = 120;
    rows[0].Reply = "24 00";
    rows[0].Port = "COM1";
    rows[0].Time = "T1";
    rows[1].State = TRowState::Sending;
    rows[1].Reason = "x,y";
    rows[1].Attempts = 2;
    rows[1].ElapsedMs = 5;
    rows[2].ElapsedMs = 99; // no attempt: no elapsed time in the report
    ASSERT_TRUE(journal->AddRows(rows, Error));

    std::string text;
    ASSERT_TRUE(journal->Export([&](const std::string& line) { return text += line, true; }, Error)) << Error;
    EXPECT_EQ(text, "model,id,note,result,reason,reply,attempts,port,elapsed_ms,time\r\n"
                    "\"#KESTREL-A\",1,\"a, b\",ok,,24 00,1,COM1,120,T1\r\n"
                    "MARLIN-A,2,\"say \"\"hi\"\"\",unknown,\"x,y\",,2,,5,\r\n"
                    "OSPREY-B,3,\"two\nlines\",not run,,,0,,,\r\n");

    std::istringstream in(text);
    TCsvReader reader(in);
    TCsvRecord record;
    ASSERT_TRUE(reader.Next(record));
    EXPECT_EQ(record.Fields.size(), header.size() + ReportColumns.size());
    for (const auto& input : inputs) {
        ASSERT_TRUE(reader.Next(record));
        EXPECT_EQ(std::vector<std::string>(record.Fields.begin(), record.Fields.begin() + 3), input);
    }
    EXPECT_FALSE(reader.Next(record));

    int calls = 0;
    EXPECT_FALSE(journal->Export([&](const std::string&) { return ++calls < 2; }, Error));
    EXPECT_EQ(calls, 2);
}

TEST_F(JournalTest, ResumeCopiesHeldRowsBackAndRefusesAnotherLot) {
    {
        auto first = Open();
        ASSERT_TRUE(first->BindHeader("model,id", Error));
        std::vector<TJournalRow> rows = {Row(2, "KESTREL-A,7"), Row(3, "KESTREL-A,8")};
        ASSERT_TRUE(first->AddRows(rows, Error));
        TJournalRow done = rows[0];
        done.State = TRowState::Failed;
        done.Reason = "no reply";
        done.Attempts = 3;
        ASSERT_TRUE(first->Record(done, Error));
    }
    auto journal = Open();
    EXPECT_TRUE(journal->BindHeader("model,id", Error)) << Error;
    EXPECT_FALSE(journal->BindHeader("model,id,note", Error));
    EXPECT_EQ(Error, "journal '" + Path + "' belongs to another lot: its columns are model,id");

    std::vector<TJournalRow> rows = {Row(2, "KESTREL-A,7"), Row(3, "KESTREL-A,8"), Row(5, "KESTREL-A,9")};
    ASSERT_TRUE(journal->AddRows(rows, Error)) << Error;
    EXPECT_EQ(rows[0].State, TRowState::Failed);
    EXPECT_EQ(rows[0].Reason, "no reply");
    EXPECT_EQ(rows[0].Attempts, 3);
    EXPECT_EQ(rows[1].State, TRowState::Pending);
    EXPECT_EQ(journal->Counts()[static_cast<size_t>(TRowState::Pending)], 2u);

    std::vector<TJournalRow> other = {Row(6, "KESTREL-A,10"), Row(5, "KESTREL-A,7"), Row(2, "KESTREL-A,7")};
    other[2].State = TRowState::Ok;
    EXPECT_FALSE(journal->AddRows(other, Error));
    EXPECT_EQ(Error, "journal '" + Path +
                         "' belongs to another lot: line 5 reads 'KESTREL-A,9' there, "
                         "'KESTREL-A,7' here");
    EXPECT_TRUE(journal->RowsIn({TRowState::Pending}, 10).size() == 2) << "line 6 was added";
    EXPECT_EQ(other[2].State, TRowState::Ok) << "a refused batch changed the caller's rows";
}

TEST_F(JournalTest, SettleInterruptedTurnsSendingIntoUnknown) {
    auto journal = Open();
    std::vector<TJournalRow> rows = {Row(1, "a"), Row(2, "b"), Row(3, "c", TRowState::Ok)};
    ASSERT_TRUE(journal->AddRows(rows, Error));
    ASSERT_TRUE(journal->MarkSending(1, "COM1", "F1", 1, Error));
    ASSERT_TRUE(journal->MarkSending(3, "COM2", "F3", 2, Error));
    const TJournalRow sent = journal->RowsIn({TRowState::Sending}, 1).at(0);

    EXPECT_EQ(journal->SettleInterrupted(Error), 2);
    const auto settled = journal->RowsIn({TRowState::Unknown}, 10);
    ASSERT_EQ(settled.size(), 2u);
    TJournalRow expected = sent;
    expected.State = TRowState::Unknown;
    expected.Reason = "the frame may have left: the run ended before its outcome was recorded";
    EXPECT_EQ(Tie(settled[0]), Tie(expected));
    EXPECT_EQ(settled[1].Frame, "F3");
    EXPECT_EQ(journal->Counts()[static_cast<size_t>(TRowState::Pending)], 1u);
    EXPECT_EQ(journal->SettleInterrupted(Error), 0);
}

TEST_F(JournalTest, RefusesWhatIsNotAJournalAndLeavesItUntouched) {
    const auto foreignDb = [](const std::string& path, const char* sql) {
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        sqlite3_close(db);
    };
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        std::string why;
    };
    const Case cases[] = {
        {"the lot's CSV", [](const std::string& p) { std::ofstream(p) << "model,id\nKESTREL-A,1\n"; },
         "file is not a database"},
        {"another program's database",
         [&](const std::string& p) { foreignDb(p, "CREATE TABLE songs(title TEXT)"); },
         "it holds tables of another program"},
        {"another program's meta table",
         [&](const std::string& p) { foreignDb(p, "CREATE TABLE meta(key TEXT, value TEXT)"); },
         "it holds tables of another program"},
        {"a later schema",
         [&](const std::string& p) {
             std::string error;
             TJournal::Open(p, error);
             foreignDb(p, "UPDATE meta SET value = '2' WHERE key = 'schema'");
         },
         "its schema version is 2, this program reads 1"},
    };
    for (const auto& c : cases) {
        const std::string path = Dir + "/" + c.name;
        c.make(path);
        const std::string before = ReadFile(path);
        std::string error;
        EXPECT_FALSE(TJournal::Open(path, error)) << c.name;
        EXPECT_EQ(error, "journal '" + path + "' is not a journal of kaldora-cli: " + c.why) << c.name;
        EXPECT_EQ(ReadFile(path), before) << c.name;
    }

    const std::string missing = Dir + "/no/such/dir.db";
    EXPECT_FALSE(TJournal::Open(missing, Error));
    EXPECT_EQ(Error, "journal '" + missing + "': unable to open database file");

    std::ofstream(Path).close(); // an empty file is a database with nothing in it yet
    EXPECT_TRUE(Open());
}

TEST_F(JournalTest, SendingSurvivesKill9) {
    auto journal = Open();
    std::vector<TJournalRow> rows = {Row(4, "KESTREL-A,1")};
    ASSERT_TRUE(journal->AddRows(rows, Error));

    int marked[2];
    ASSERT_EQ(pipe(marked), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child's own connection: one inherited over fork must not be used.
        std::string error;
        auto own = TJournal::Open(Path, error);
        if (!own || !own->MarkSending(4, "COM2", "AA 55", 1, error)) _exit(1);
        (void)!write(marked[1], "m", 1);
        for (;;)
            pause();
    }
    close(marked[1]);
    char byte = 0;
    ASSERT_EQ(read(marked[0], &byte, 1), 1) << "the child ended before it marked the row";
    close(marked[0]);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    const auto held = journal->RowsIn({TRowState::Sending}, 10);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].Port, "COM2");
    EXPECT_EQ(held[0].Frame, "AA 55");
    journal.reset();
    EXPECT_EQ(Open()->SettleInterrupted(Error), 1);
}

TEST_F(JournalTest, TwoConnectionsSeeEachOtherAndWaitForEachOther) {
    auto a = Open();
    auto b = Open();
    std::vector<TJournalRow> rows;
    for (int line = 1; line <= 100; ++line)
        rows.push_back(Row(line, std::to_string(line)));
    ASSERT_TRUE(a->AddRows(rows, Error));
    EXPECT_EQ(b->Counts()[static_cast<size_t>(TRowState::Pending)], 100u);
    ASSERT_TRUE(b->MarkSending(1, "COM1", "F", 1, Error));
    EXPECT_EQ(a->RowsIn({TRowState::Sending}, 10).size(), 1u);

    // Writers on both connections at once: each waits out the other's lock.
    const auto writer = [](TJournal* journal, int first, std::string* error) {
        for (int line = first; line <= 100; line += 2)
            if (!journal->MarkSending(line, "COM", "F", 1, *error)) return;
    };
    std::string errorA, errorB;
    std::thread ta(writer, a.get(), 1, &errorA), tb(writer, b.get(), 2, &errorB);
    ta.join();
    tb.join();
    EXPECT_EQ(errorA, "");
    EXPECT_EQ(errorB, "");
    EXPECT_EQ(a->Counts()[static_cast<size_t>(TRowState::Sending)], 100u);
}

} // namespace
