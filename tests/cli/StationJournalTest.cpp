#include <gtest/gtest.h>

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <set>
#include <thread>

#include "cli/Journal.h"
#include "cli/StationJournal.h"

namespace {

class StationJournalTest : public testing::Test {
protected:
    void SetUp() override {
        std::string templ = testing::TempDir() + "kaldora-station-XXXXXX";
        Dir = mkdtemp(templ.data());
        Path = Dir + "/lot.db";
    }
    void TearDown() override { std::filesystem::remove_all(Dir); }

    std::unique_ptr<TStationJournal> Open(const std::string& ids = "1-5") {
        std::string error;
        auto journal = TStationJournal::Open(Path, true, error);
        EXPECT_TRUE(journal) << error;
        TIdPool pool;
        EXPECT_EQ(ParseIdPool(ids, pool), "");
        EXPECT_TRUE(journal && journal->BindLot("KESTREL-A", pool, error)) << error;
        return journal;
    }

    std::string Export(TStationJournal& journal) {
        std::string text, error;
        EXPECT_TRUE(journal.Export([&](const std::string& line) { return text += line, true; }, error))
            << error;
        return text;
    }

    std::string Dir, Path;
};

TEST_F(StationJournalTest, TwoConnectionsRacingForTheNextIdNeverTakeOneTwice) {
    auto first = Open("0-49");
    auto second = Open("0-49");
    std::vector<int> taken[2];
    auto claimAll = [&](TStationJournal& journal, int side) {
        for (int k = 0; k < 40; ++k) {
            const TClaim claim =
                journal.Claim("E" + std::to_string(side) + "-" + std::to_string(k), "fx", false);
            ASSERT_NE(claim.Kind, TClaimKind::Failed) << claim.Error;
            if (claim.Kind == TClaimKind::New) taken[side].push_back(claim.Record.Id);
        }
    };
    std::thread other(claimAll, std::ref(*second), 1);
    claimAll(*first, 0);
    other.join();
    std::set<int> all(taken[0].begin(), taken[0].end());
    all.insert(taken[1].begin(), taken[1].end());
    EXPECT_EQ(taken[0].size() + taken[1].size(), 50u);
    EXPECT_EQ(all.size(), 50u) << "an ID was taken twice";
    EXPECT_EQ(*all.rbegin(), 49);
    EXPECT_EQ(first->Counts().Free, 0u);
}

TEST_F(StationJournalTest, AnElnHoldsOneIdUnlessReassigned) {
    auto journal = Open("1-5");
    std::string error;
    const TClaim first = journal->Claim("24B0042", "fx1", false);
    ASSERT_EQ(first.Kind, TClaimKind::New);
    EXPECT_EQ(first.Record.Id, 1);
    // Its Set_ID got no answer: the device gets the same ID again, on any fixture.
    ASSERT_TRUE(journal->Record(first.Record.Seq, TStationState::Uncertain, "no reply", error)) << error;
    const TClaim again = journal->Claim("24B0042", "fx2", false);
    EXPECT_EQ(again.Kind, TClaimKind::Retry);
    EXPECT_EQ(again.Record.Id, 1);
    EXPECT_EQ(again.Record.Attempts, 2);
    ASSERT_TRUE(journal->Record(again.Record.Seq, TStationState::Ok, "", error));
    const TClaim known = journal->Claim("24B0042", "fx1", false);
    EXPECT_EQ(known.Kind, TClaimKind::Known);
    EXPECT_EQ(known.Record.Id, 1);
    EXPECT_EQ(journal->Claim("24B0043", "fx1", false).Record.Id, 2);
    const TClaim reassigned = journal->Claim("24B0042", "fx1", true);
    EXPECT_EQ(reassigned.Kind, TClaimKind::New);
    EXPECT_EQ(reassigned.Record.Id, 3);
    ASSERT_TRUE(journal->Record(reassigned.Record.Seq, TStationState::Ok, "", error));
    const std::string csv = Export(*journal);
    EXPECT_NE(csv.find("24B0042,1,reassigned,fx2,2,"), std::string::npos) << csv;
    EXPECT_NE(csv.find("24B0043,2,uncertain,fx1,1,"), std::string::npos) << csv;
    EXPECT_NE(csv.find("24B0042,3,ok,fx1,1,"), std::string::npos) << csv;
    EXPECT_EQ(csv.substr(0, csv.find('\n') + 1), "eln,id,result,fixture,attempts,time\r\n");
}

TEST_F(StationJournalTest, TheDatabaseItselfRefusesASecondHolderOfAnIdOrOfAnEln) {
    auto journal = Open("1-5");
    journal->Claim("24B0042", "fx1", false);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Path.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, JournalBusyTimeoutMs);
    for (const char* sql :
         {"INSERT INTO devices(eln, id, state, fixture, time) VALUES('24B0099', 1, 'ok', 'x', '')",
          "INSERT INTO devices(eln, id, state, fixture, time) VALUES('24B0042', 2, 'ok', 'x', '')"})
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr) & 0xff, SQLITE_CONSTRAINT) << sql;
    sqlite3_close(db);
}

TEST_F(StationJournalTest, AReleasedIdGoesBackToThePoolAndAUsedUpPoolSaysSo) {
    auto journal = Open("7-8");
    std::string error;
    const TClaim a = journal->Claim("A", "fx", false);
    ASSERT_TRUE(journal->Record(a.Record.Seq, TStationState::Released, "not sent", error));
    EXPECT_EQ(journal->Claim("B", "fx", false).Record.Id, 7);
    EXPECT_EQ(journal->Claim("C", "fx", false).Record.Id, 8);
    EXPECT_EQ(journal->Claim("D", "fx", false).Kind, TClaimKind::PoolUsedUp);
    // A reassignment with no ID left keeps the device's record as it was.
    ASSERT_TRUE(journal->Record(journal->Claim("B", "fx", false).Record.Seq, TStationState::Ok, "", error));
    EXPECT_EQ(journal->Claim("B", "fx", true).Kind, TClaimKind::PoolUsedUp);
    EXPECT_EQ(journal->Claim("B", "fx", false).Kind, TClaimKind::Known);
}

TEST_F(StationJournalTest, ARunThatEndedWhileSendingLeavesTheIdTakenAndUncertain) {
    {
        auto journal = Open("1-5");
        ASSERT_EQ(journal->Claim("24B0042", "fx1", false).Kind, TClaimKind::New);
    }
    auto journal = Open("1-5");
    std::string error;
    EXPECT_EQ(journal->SettleInterrupted(error), 1);
    EXPECT_EQ(journal->Counts().Uncertain, 1u);
    EXPECT_EQ(journal->Counts().Free, 4u);
    EXPECT_EQ(journal->Claim("24B0042", "fx2", false).Kind, TClaimKind::Retry);
}

TEST_F(StationJournalTest, AJournalOfAnotherLotOrProgramIsRefused) {
    Open("1-5");
    std::string error;
    auto journal = TStationJournal::Open(Path, true, error);
    ASSERT_TRUE(journal);
    TIdPool pool;
    ParseIdPool("1-6", pool);
    EXPECT_FALSE(journal->BindLot("KESTREL-A", pool, error));
    EXPECT_EQ(error, "journal '" + Path +
                         "' belongs to another lot: KESTREL-A, IDs 1-5; this command gives "
                         "KESTREL-A, IDs 1-6");
    ParseIdPool("1-5", pool);
    EXPECT_FALSE(journal->BindLot("MARLIN-A", pool, error));

    const std::string batch = Dir + "/batch.db";
    ASSERT_TRUE(TJournal::Open(batch, error)) << error;
    bool notStation = false;
    EXPECT_FALSE(TStationJournal::Open(batch, true, error, &notStation));
    EXPECT_TRUE(notStation);
    EXPECT_EQ(error, "journal '" + batch +
                         "' is not a station's journal: it is a batch journal (kaldora-cli batch)");
}

} // namespace
