// The receive path and the result check through the real window, in virtual
// time: a scripted device answers over a pseudo-terminal (COM) or a loopback
// TCP connection, and every log line is stamped with the moment it appeared.

#include <QTcpServer>
#include <QTcpSocket>

#include <map>

#include "WindowFixture.h"
#include "protocol/Reply.h"

namespace {

struct TChunk {
    uint64_t At; // virtual ms after the command
    std::vector<uint8_t> Bytes;
};

struct TStampedLine {
    uint64_t At;
    std::string Text;
    bool operator==(const TStampedLine&) const = default;
};

std::ostream& operator<<(std::ostream& os, const TStampedLine& l) { return os << l.At << ": " << l.Text; }

std::vector<uint8_t> Reply(size_t length, const std::string& elnAt10 = {}) {
    std::vector<uint8_t> bytes(length, 0x11);
    for (size_t k = 0; k < elnAt10.size() && 10 + k < length; ++k) bytes[10 + k] = static_cast<uint8_t>(elnAt10[k]);
    return bytes;
}

enum class TLink { Com, Tcp };

// A window with its link open to a scripted device.
class ReceiveTest : public WindowTest, public ::testing::WithParamInterface<TLink> {
protected:
    void Open() {
        if (GetParam() == TLink::Com) {
            FPty = std::make_unique<TPty>();
            Make({FPty->SlavePath});
            Form->BB_PortSwitch->click();
            ASSERT_TRUE(Form->Comm1->Enabled());
        } else {
            ASSERT_TRUE(FServer.listen(QHostAddress::LocalHost));
            Make();
            FPeer = ConnectTcp(FServer);
            ASSERT_NE(FPeer, nullptr);
        }
        Form->RadioButton3->click(); // KESTREL-A
        Form->Memo1->clear();
        FLinesSeen = 0;
        Lines.clear();
    }

    // The device sends bytes; returns once the window holds them for its deferred read.
    void DeviceSends(const std::vector<uint8_t>& bytes) {
        if (GetParam() == TLink::Com) {
            ASSERT_EQ(::write(FPty->Master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
            ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Comm1->InQueCount() == int(bytes.size()); }, 5000));
            ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Timer2->Enabled(); }, 5000));
        } else {
            ASSERT_FALSE(Form->Timer2->Enabled());
            Form->RxCount = 0; // what the last deferred read left
            FPeer->write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            FPeer->flush();
            ASSERT_TRUE(QTest::qWaitFor([&] { return Form->RxCount == int(bytes.size()); }, 5000));
        }
    }

    // Moves virtual time to t (ms since the start of the script), stamping new log lines.
    void RunUntil(uint64_t t) {
        while (Clock.Now() < FStart + t) {
            Clock.Advance(1);
            const QStringList now = LogLines();
            for (; FLinesSeen < now.size(); ++FLinesSeen)
                Lines.push_back({Clock.Now() - FStart, now[FLinesSeen].toStdString()});
        }
    }

    // Runs a script: a click at 0, the device's chunks at their times, until end.
    void Play(QAbstractButton* command, const std::vector<TChunk>& chunks, uint64_t end) {
        FStart = Clock.Now();
        if (command) command->click();
        for (const TChunk& c : chunks) {
            RunUntil(c.At);
            DeviceSends(c.Bytes);
        }
        RunUntil(end);
    }

    // The lines of the script without the hexadecimal echo of received bytes.
    std::vector<TStampedLine> ResultLines() const {
        std::vector<TStampedLine> out;
        for (const TStampedLine& l : Lines)
            if (l.Text.empty() || l.Text[0] != ' ') out.push_back(l);
        return out;
    }

    std::vector<TStampedLine> Lines;

private:
    std::unique_ptr<TPty> FPty;
    QTcpServer FServer;
    QTcpSocket* FPeer = nullptr;
    uint64_t FStart = 0;
    qsizetype FLinesSeen = 0;
};

} // namespace

TEST_P(ReceiveTest, ResultLinesAndTheirMoments) {
    Open();
    struct Row {
        const char* Name;
        QAbstractButton* Command;
        std::vector<TChunk> Chunks;
        std::vector<TStampedLine> Expected;
        const char* StatusAfter;
    };
    const Row rows[] = {
        {"Set_ID answered after 50 ms", Form->BitBtn1, {{50, Reply(13)}}, {{1054, "SetID_OK"}}, "0"},
        {"no answer", Form->BitBtn1, {}, {{3000, "Error"}}, "0"},
        {"14 bytes: no line", Form->BitBtn1, {{50, Reply(14)}}, {}, "0"},
        {"8 then 5 bytes 1200 ms apart", Form->BitBtn1, {{50, Reply(8)}, {1250, Reply(5)}}, {}, "0"},
        {"reply in two chunks within the second", Form->BitBtn1, {{10, Reply(6)}, {500, Reply(9)}},
         {{1014, "SetID_OK"}}, "0"},
        {"ELN set", Form->Button2, {{100, Reply(15)}}, {{1104, "SetSerial_number_OK"}}, "0"},
        {"ELN read shows bytes 10 to 16", Form->Button3, {{100, Reply(20, "23A1705")}}, {{1104, "23A1705"}}, "0"},
        {"a late reply after Error", Form->BitBtn1, {{3500, Reply(13)}}, {{3000, "Error"}, {4504, "SetID_OK"}}, "0"},
        {"...silences the next time-out", Form->BitBtn1, {}, {}, "0"},
        {"two replies in one second count as one", Form->BitBtn1, {{50, Reply(13)}, {300, Reply(13)}}, {}, "0"},
    };
    for (const Row& r : rows) {
        Lines.clear();
        Play(r.Command, r.Chunks, 4600);
        EXPECT_EQ(ResultLines(), r.Expected) << r.Name;
        EXPECT_EQ(Form->StatusSimpleText().toStdString(), r.StatusAfter) << r.Name;
        EXPECT_FALSE(Form->Timer2->Enabled()) << r.Name;
        EXPECT_FALSE(Form->Timer3->Enabled()) << r.Name;
        EXPECT_FALSE(Form->Timer4->Enabled()) << r.Name;
    }
    EXPECT_TRUE(Reported.empty()) << Reported.front();
}

TEST_P(ReceiveTest, ReceivedBytesAreLoggedAndCounted) {
    Open();
    Form->ShowCommEvent->setChecked(true);
    const uint32_t before = Form->LogLength;
    Play(nullptr, {{0, {0x24, 0x01, 0x02, 0x42, 0x03}}}, 10);
    const std::string queue = GetParam() == TLink::Com ? "5" : "-1";
    const std::vector<TStampedLine> expected = {
        {4, "Before Read : " + queue}, {4, "Received character bytes : 5"}, {4, " 24 01 02"}, {4, " 42 03"}};
    EXPECT_EQ(Lines, expected);
    EXPECT_EQ(Form->LogLength - before, 19u);
    EXPECT_EQ(Form->StatusSimpleText(), QString("5"));
    EXPECT_EQ(Form->ReplyCount, 5);
    EXPECT_EQ(Form->ReplySeen, 1);
}

INSTANTIATE_TEST_SUITE_P(Links, ReceiveTest, ::testing::Values(TLink::Com, TLink::Tcp),
                         [](const auto& info) { return info.param == TLink::Com ? "Com" : "Tcp"; });

// Reads that come faster than the deferred read are gathered, none overwritten.
TEST_F(WindowTest, SocketReadsBeforeTheDeferredReadAreAllGathered) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    TForm1& f = Make();
    QTcpSocket* peer = ConnectTcp(server);
    ASSERT_NE(peer, nullptr);
    for (const QByteArray& chunk : {QByteArray(7, 'a'), QByteArray(6, 'b')}) {
        const int32_t held = f.RxCount > 0 ? f.RxCount : 0;
        peer->write(chunk);
        peer->flush();
        ASSERT_TRUE(QTest::qWaitFor([&] { return f.RxCount == held + chunk.size(); }, 5000));
    }
    Clock.Advance(4);
    EXPECT_EQ(f.RxByteCount, 13);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.ReplyBuffer.data()), 13), "aaaaaaabbbbbb");
    Clock.Advance(1000);
    EXPECT_EQ(LogLines().back(), QString("SetID_OK"));
}

// A stream on a serial port is taken by one deferred read, up to what a tick takes:
// the terminal layer queues only 4 KB at a time, and the rest must not wait for
// further arrivals and ticks.
TEST_F(WindowTest, OneDeferredReadTakesAStreamWhole) {
    TPty pty;
    TForm1& f = Make({pty.SlavePath});
    f.BB_PortSwitch->click();
    ASSERT_TRUE(f.Comm1->Enabled());
    // As much as the pseudo-terminal takes before the window reads anything.
    const std::vector<uint8_t> block(1024, 'A');
    int32_t written = 0;
    for (ssize_t n; (n = ::write(pty.Master, block.data(), block.size())) > 0;) written += static_cast<int32_t>(n);
    ASSERT_GT(written, 4096);
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.Timer2->Enabled(); }, 5000));
    Clock.Advance(4);
    EXPECT_EQ(f.RxByteCount, written);
    EXPECT_EQ(f.Comm1->InQueCount(), 0);
    EXPECT_FALSE(f.Timer2->Enabled());
}

// Typing into the ELN field sends one frame a key, each answered in turn.
TEST_F(WindowTest, TypingTheElnSendsAFrameForEveryKey) {
    TPty pty;
    TForm1& f = Make({pty.SlavePath});
    f.BB_PortSwitch->click();
    f.RadioButton3->click();
    f.Edit5->show();
    f.Edit5->setFocus();
    std::vector<std::string> carried;
    for (char key : std::string("1705")) {
        QTest::keyClick(f.Edit5, key);
        const std::vector<uint8_t> frame = pty.ReadAll();
        ASSERT_GE(frame.size(), 15u);
        carried.emplace_back(reinterpret_cast<const char*>(frame.data()) + 8, 7);
        const uint8_t reply[15] = {};
        ASSERT_EQ(::write(pty.Master, reply, sizeof reply), 15);
        ASSERT_TRUE(QTest::qWaitFor([&] { return f.Timer2->Enabled(); }, 5000));
        Clock.Advance(1100);
        EXPECT_EQ(LogLines().back(), QString("SetSerial_number_OK")) << key;
    }
    EXPECT_EQ(carried, (std::vector<std::string>{std::string("1\0\0\0\0\0\0", 7), std::string("17\0\0\0\0\0", 7),
                                                 std::string("170\0\0\0\0", 7), std::string("1705\0\0\0", 7)}));
}
