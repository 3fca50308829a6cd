#include "comm/Comm.h"
#include "FakeSerialDriver.h"
#include "TestPosters.h"
#include "base/Exception.h"
#include "comm/SerialPorts.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <tuple>

using namespace std::chrono_literals;
using F = TFakeSerialDriver;

namespace {

struct CommFixture : ::testing::Test {
    std::shared_ptr<F> Driver = std::make_shared<F>();
    TQueuePoster Poster;
    TComm Comm{Driver, &Poster};

    void OpenPort() {
        Comm.Open();
        ASSERT_TRUE(Comm.Enabled());
    }
    std::string RaisedBy(const std::function<void()>& action) {
        try {
            action();
        } catch (const Exception& e) {
            return e.Message();
        }
        return "(nothing raised)";
    }
};

} // namespace

TEST(CommDefaults, NewObjectHasTheConstructorValues) {
    TComm comm(std::make_shared<F>());
    EXPECT_EQ(comm.DeviceName(), "Com2");
    EXPECT_EQ(comm.MonitorEvents(), TCommEventTypes::All());
    EXPECT_EQ(comm.BaudRate(), br9600);
    EXPECT_EQ(comm.Parity(), paNone);
    EXPECT_EQ(comm.StopBits(), sb10);
    EXPECT_EQ(comm.DataBits(), da8);
    EXPECT_EQ(comm.ReadBufSize(), 4096);
    EXPECT_EQ(comm.WriteBufSize(), 2048);
    EXPECT_EQ(comm.SuspendTime(), 5u);
    EXPECT_EQ(comm.ReadTimeout(), 1000);
    EXPECT_EQ(comm.WriteTimeout(), 1000);
    EXPECT_TRUE(comm.Options().Empty());
    EXPECT_EQ(comm.FlowControl(), fcDefault);
    EXPECT_EQ(comm.EventChars().XOnChar(), 0x11);
    EXPECT_EQ(comm.EventChars().XOffChar(), 0x13);
    EXPECT_FALSE(comm.Enabled());
    EXPECT_EQ(comm.Handle(), InvalidSerialHandle);
}

TEST(CommEventMask, WindowSetAndEmptySet) {
    EXPECT_EQ(CommEventMask({evError, evRlsd, evRxChar, evRxFlag, evTxEmpty}), 0xA7u);
    EXPECT_EQ(CommEventMask({}), 0u);
    EXPECT_EQ(CommEventMask(TCommEventTypes::All()), 0x1FFu);
}

TEST_F(CommFixture, LineSettersApplyOnlyChangesAndOnlyWhileOpen) {
    Comm.SetBaudRate(br19200); // closed: stored only
    EXPECT_EQ(Driver->Count(F::cSetCommState), 0);
    OpenPort();
    ASSERT_EQ(Driver->SentDcbs.size(), 1u);
    EXPECT_EQ(Driver->SentDcbs[0].BaudRate, 19200u);

    const std::vector<std::pair<const char*, std::function<void()>>> sameValue = {
        {"BaudRate", [&] { Comm.SetBaudRate(br19200); }},
        {"Parity", [&] { Comm.SetParity(paNone); }},
        {"StopBits", [&] { Comm.SetStopBits(sb10); }},
        {"DataBits", [&] { Comm.SetDataBits(da8); }},
        {"Options", [&] { Comm.SetOptions({}); }},
        {"FlowControl", [&] { Comm.SetFlowControl(fcDefault); }},
    };
    for (const auto& [name, set] : sameValue) {
        set();
        EXPECT_EQ(Driver->SentDcbs.size(), 1u) << name;
    }
    const std::vector<std::pair<const char*, std::function<void()>>> newValue = {
        {"BaudRate", [&] { Comm.SetBaudRate(br115200); }},
        {"Parity", [&] { Comm.SetParity(paMark); }},
        {"StopBits", [&] { Comm.SetStopBits(sb20); }},
        {"DataBits", [&] { Comm.SetDataBits(da7); }},
        {"Options", [&] { Comm.SetOptions({coNullStrip}); }},
        {"FlowControl", [&] { Comm.SetFlowControl(fcCTS); }},
    };
    size_t sent = 1;
    for (const auto& [name, set] : newValue) {
        set();
        EXPECT_EQ(Driver->SentDcbs.size(), ++sent) << name;
    }
}

TEST_F(CommFixture, ClosedOnlySettingsAreIgnoredWhileOpen) {
    Comm.SetDeviceName("Com5");
    OpenPort();
    Comm.SetDeviceName("Com9");
    Comm.SetReadBufSize(100);
    Comm.SetWriteBufSize(200);
    Comm.SetSuspendTime(77);
    Comm.SetMonitorEvents({evBreak});
    EXPECT_EQ(Comm.DeviceName(), "Com5");
    EXPECT_EQ(Comm.ReadBufSize(), 4096);
    EXPECT_EQ(Comm.WriteBufSize(), 2048);
    EXPECT_EQ(Comm.SuspendTime(), 5u);
    EXPECT_EQ(Comm.MonitorEvents(), TCommEventTypes::All());

    Comm.Close();
    Comm.Open();
    EXPECT_EQ(Driver->OpenedName, "Com5");
    Comm.Close();
    Comm.SetDeviceName("Com9");
    Comm.SetMonitorEvents({evBreak});
    Comm.Open();
    EXPECT_EQ(Driver->OpenedName, "Com9");
    EXPECT_EQ(Driver->SentMasks.back(), EV_BREAK);
}

TEST_F(CommFixture, ControlBlockCarriesTheTables) {
    struct Row {
        const char* name;
        TParity parity;
        unsigned char sentParity;
    } rows[] = {{"none", paNone, 0},
                {"odd sends even", paOdd, 2},
                {"even sends odd", paEven, 1},
                {"mark", paMark, 3},
                {"space", paSpace, 4}};
    OpenPort();
    for (const Row& r : rows) {
        Comm.SetParity(r.parity);
        EXPECT_EQ(Driver->SentDcbs.back().Parity, r.sentParity) << r.name;
    }
    for (int b = br110; b <= br256000; ++b) {
        Comm.SetBaudRate(static_cast<TBaudRate>(b));
        EXPECT_EQ(Driver->SentDcbs.back().BaudRate, BaudRateTable[b]) << b;
    }
    EXPECT_EQ(Driver->SentDcbs.back().BaudRate, 256000u);
    for (auto [bits, size] : {std::pair{da4, 4}, {da5, 5}, {da6, 6}, {da7, 7}, {da8, 8}}) {
        Comm.SetDataBits(bits);
        EXPECT_EQ(Driver->SentDcbs.back().ByteSize, size);
    }
    for (auto [stop, sent] : {std::pair{sb15, 1}, {sb20, 2}, {sb10, 0}}) {
        Comm.SetStopBits(stop);
        EXPECT_EQ(Driver->SentDcbs.back().StopBits, sent);
    }
    const TDcb& last = Driver->SentDcbs.back();
    EXPECT_EQ(last.XonLim, 1024);
    EXPECT_EQ(last.XoffLim, 1024);
    EXPECT_EQ(last.XonChar, 0x11);
    EXPECT_EQ(last.XoffChar, 0x13);
}

TEST_F(CommFixture, OptionsSetTheirOwnFlagsAndLeaveTheOthers) {
    Driver->DriverDcb.fParity = true;
    Driver->DriverDcb.fNull = true;
    Driver->DriverDcb.fOutX = true;
    Driver->DriverDcb.fAbortOnError = true;
    OpenPort();
    const TDcb& cleared = Driver->SentDcbs.back();
    EXPECT_FALSE(cleared.fParity || cleared.fDsrSensitivity || cleared.fTXContinueOnXoff ||
                 cleared.fErrorChar || cleared.fNull);
    EXPECT_TRUE(cleared.fOutX);
    EXPECT_TRUE(cleared.fAbortOnError);

    struct Row {
        TCommOption option;
        bool TDcb::*flag;
    } rows[] = {{coParityCheck, &TDcb::fParity},
                {coDsrSensitivity, &TDcb::fDsrSensitivity},
                {coIgnoreXOff, &TDcb::fTXContinueOnXoff},
                {coErrorChar, &TDcb::fErrorChar},
                {coNullStrip, &TDcb::fNull}};
    for (const Row& only : rows) {
        Comm.SetOptions({only.option});
        const TDcb& sent = Driver->SentDcbs.back();
        for (const Row& r : rows)
            EXPECT_EQ(sent.*r.flag, r.option == only.option) << only.option << "/" << r.option;
    }
}

TEST_F(CommFixture, FlowControlSetsTheFlowFieldsInFull) {
    // The driver reports every handshake on, as another program may leave the line.
    TDcb& d = Driver->DriverDcb;
    d.fOutxCtsFlow = d.fOutxDsrFlow = d.fOutX = d.fInX = true;
    d.fDtrControl = d.fRtsControl = 2;
    struct Row {
        TFlowControl fc;
        bool cts, dsr, outX, inX;
        unsigned char dtrControl, rtsControl;
    } rows[] = {{fcNone, false, false, false, false, 1, 1},
                {fcCTS, true, false, false, false, 1, 2},
                {fcDTR, false, true, false, false, 2, 1},
                {fcSoftware, false, false, true, true, 1, 1},
                {fcDefault, true, true, true, true, 2, 2}}; // the driver's, as reported
    for (const Row& r : rows) {
        auto driver = std::make_shared<F>();
        driver->DriverDcb = d;
        TComm comm(driver, &Poster);
        comm.SetFlowControl(r.fc);
        comm.Open();
        ASSERT_EQ(driver->SentDcbs.size(), 1u) << r.fc;
        const TDcb& s = driver->SentDcbs[0];
        EXPECT_EQ(std::tuple(s.fOutxCtsFlow, s.fOutxDsrFlow, s.fOutX, s.fInX, s.fDtrControl, s.fRtsControl),
                  std::tuple(r.cts, r.dsr, r.outX, r.inX, r.dtrControl, r.rtsControl))
            << r.fc;
    }
    // A line that only has RTS/DTR raised keeps them raised without a handshake.
    d = TDcb{};
    d.fDtrControl = d.fRtsControl = 1;
    Comm.SetFlowControl(fcNone);
    OpenPort();
    EXPECT_EQ(Driver->SentDcbs.back().fDtrControl, 1);
    EXPECT_EQ(Driver->SentDcbs.back().fRtsControl, 1);
}

TEST_F(CommFixture, TimeoutRecordAndWriteMultiplier) {
    Comm.SetBaudRate(br19200);
    OpenPort();
    ASSERT_EQ(Driver->SentTimeouts.size(), 1u);
    const TCommTimeouts& t = Driver->SentTimeouts[0];
    EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, WriteTimeoutMultiplier(br19200));
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
    Comm.SetBaudRate(br9600); // re-applies the block, not the time-outs
    EXPECT_EQ(Driver->SentTimeouts.size(), 1u);

    EXPECT_EQ(WriteTimeoutMultiplier(br110), 909u);
    EXPECT_EQ(WriteTimeoutMultiplier(br19200), 5u);
    EXPECT_EQ(WriteTimeoutMultiplier(br256000), 1u); // never 0: a 0 total means no limit
}

TEST_F(CommFixture, OpenCallsInOrderAndStartsTheThread) {
    Comm.SetMonitorEvents({evError, evRlsd, evRxChar, evRxFlag, evTxEmpty});
    OpenPort();
    EXPECT_EQ(Driver->SentMasks, (std::vector<uint32_t>{0x1FF, 0xA7}));
    EXPECT_EQ(Driver->Count(F::cCreateEventWaiter), 1);
    ASSERT_NE(Comm.EventThread(), nullptr);
    EXPECT_EQ(Comm.EventThread()->SuspendTime(), 5u);
}

TEST_F(CommFixture, SilentOpenFailures) {
    Driver->Fail(F::cOpen, 2);
    EXPECT_NO_THROW(Comm.Open());
    EXPECT_FALSE(Comm.Enabled());
    EXPECT_EQ(Driver->Count(F::cClose), 0);

    Driver->Fail(F::cOpen, 0);
    Driver->CharDevice = false;
    EXPECT_NO_THROW(Comm.Open());
    EXPECT_FALSE(Comm.Enabled());
    EXPECT_EQ(Driver->Count(F::cClose), 1);
    EXPECT_EQ(Driver->Count(F::cSetCommTimeouts), 0);
    EXPECT_EQ(Comm.Handle(), InvalidSerialHandle);
    EXPECT_EQ(RaisedBy([&] { Comm.SetRTSState(true); }), "Port not open (Error: -1)");
}

TEST_F(CommFixture, EveryCommErrorCarriesItsNumber) {
    struct Row {
        const char* name;
        F::TCall failing;
        int error;
        std::function<void(TComm&)> action;
        const char* message;
    } rows[] = {
        {"open twice", F::cCallKinds, 0, [](TComm& c) { c.Open(); },
         "Port already assigned (open) (Error: -1)"},
        {"check open", F::cCallKinds, 0, [](TComm& c) { c.CheckOpen(); },
         "Port already assigned (open) (Error: -1)"},
        {"block refused", F::cSetCommState, 22, [](TComm& c) { c.SetParity(paOdd); },
         "Error updating DataControlBlock (Error: 22)"},
        {"char refused", F::cSetCommState, 5, [](TComm& c) { c.EventChars().SetEvtChar('\n'); },
         "Error updating DataControlBlock (Error: 5)"},
        {"escape refused", F::cEscape, 71, [](TComm& c) { c.SetDTRState(true); },
         "EscapeCommFunction failure (Error: 71)"},
        {"break refused", F::cEscape, 1, [](TComm& c) { c.SetBREAKState(true); },
         "EscapeCommFunction failure (Error: 1)"},
        {"closed escape", F::cCallKinds, 0,
         [](TComm& c) {
             c.Close();
             c.SetXONState(true);
         },
         "Port not open (Error: -1)"},
    };
    for (const Row& r : rows) {
        auto driver = std::make_shared<F>();
        TComm comm(driver, &Poster);
        comm.Open();
        ASSERT_TRUE(comm.Enabled()) << r.name;
        if (r.failing != F::cCallKinds) driver->Fail(r.failing, r.error);
        EXPECT_EQ(RaisedBy([&] { r.action(comm); }), r.message) << r.name;
    }
}

TEST_F(CommFixture, FailuresInsideOpen) {
    {
        auto driver = std::make_shared<F>();
        driver->Fail(F::cSetCommTimeouts, 13);
        TComm comm(driver, &Poster);
        EXPECT_EQ(RaisedBy([&] { comm.Open(); }), "Error updating CommTimeouts (Error: 13)");
        EXPECT_TRUE(comm.Enabled());
        EXPECT_EQ(comm.EventThread(), nullptr);
        EXPECT_EQ(driver->Count(F::cSetCommState), 0);
        comm.Close();
        EXPECT_FALSE(comm.Enabled());
        EXPECT_EQ(driver->Count(F::cClose), 1);
    }
    {
        auto driver = std::make_shared<F>();
        driver->Fail(F::cSetCommState, 22);
        TComm comm(driver, &Poster);
        EXPECT_EQ(RaisedBy([&] { comm.Open(); }), "Error updating DataControlBlock (Error: 22)");
        EXPECT_TRUE(comm.Enabled());
        EXPECT_EQ(comm.EventThread(), nullptr);
    }
    {
        // Reported after the port is fully open and the thread started.
        auto driver = std::make_shared<F>();
        driver->Fail(F::cSetupComm, 12);
        TComm comm(driver, &Poster);
        EXPECT_EQ(RaisedBy([&] { comm.Open(); }), "Error initializing Read/Write Buffers (Error: 12)");
        EXPECT_TRUE(comm.Enabled());
        EXPECT_NE(comm.EventThread(), nullptr);
        EXPECT_EQ(RaisedBy([&] { comm.Open(); }), "Port already assigned (open) (Error: -1)");
        EXPECT_TRUE(comm.Enabled());
    }
}

TEST_F(CommFixture, ClosedPortResults) {
    char buffer[4];
    EXPECT_EQ(Comm.Write("ab", 2), -1);
    EXPECT_EQ(Comm.Read(buffer, 4), -1);
    EXPECT_EQ(Comm.InQueCount(), -1);
    EXPECT_EQ(Comm.OutQueCount(), -1);
    EXPECT_FALSE(Comm.GetModemState(1));
    EXPECT_FALSE(Comm.GetComState(1));
    Comm.PurgeIn();
    Comm.Close();
    Comm.Close();
    EXPECT_EQ(Driver->Count(F::cPurge) + Driver->Count(F::cClose), 0);
}

TEST_F(CommFixture, ReadAndWriteReportThroughTheirResult) {
    OpenPort();
    Driver->InData = "hello";
    char buffer[8] = {};
    const int clears = Driver->Count(F::cClearCommError);
    EXPECT_EQ(Comm.Read(buffer, 0), 0);
    EXPECT_EQ(Driver->Count(F::cRead), 0);
    EXPECT_EQ(Driver->Count(F::cClearCommError), clears + 2);
    EXPECT_EQ(Driver->InData, "hello");

    EXPECT_EQ(Comm.Read(buffer, 8), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");

    Driver->WriteAccepts = 3;
    Driver->Fail(F::cWrite, 5);
    const int before = Driver->Count(F::cClearCommError);
    EXPECT_EQ(Comm.Write("abcdef", 6), 3);
    EXPECT_EQ(Driver->Count(F::cClearCommError), before + 1);

    Driver->Stat.cbInQue = 12;
    Driver->Stat.cbOutQue = 34;
    EXPECT_EQ(Comm.InQueCount(), 12);
    EXPECT_EQ(Comm.OutQueCount(), 34);
}

TEST_F(CommFixture, PurgesAndEscapeNumbers) {
    OpenPort();
    Comm.PurgeIn();
    Comm.PurgeOut();
    Comm.SetBREAKState(true);
    Comm.SetBREAKState(false);
    EXPECT_EQ(Driver->Purges, (std::vector<unsigned long>{0x0A, 0x05, 0x0F, 0x0F}));

    Driver->Escapes.clear();
    Comm.SetDTRState(false);
    Comm.SetDTRState(true);
    Comm.SetRTSState(false);
    Comm.SetRTSState(true);
    Comm.SetXONState(false);
    Comm.SetXONState(true);
    EXPECT_EQ(Driver->Escapes, (std::vector<int>{6, 5, 4, 3, 1, 2}));
}

TEST_F(CommFixture, ModemAndLineStatusArguments) {
    OpenPort();
    Driver->ModemStatus = MS_CTS_ON | MS_RLSD_ON;
    const bool modem[] = {false, true, false, false, true, false};
    for (int which = 0; which <= 5; ++which)
        EXPECT_EQ(Comm.GetModemState(which), modem[which]) << which;
    Driver->ModemStatus = 0xFF;
    EXPECT_FALSE(Comm.GetModemState(0));
    EXPECT_FALSE(Comm.GetModemState(5));
    Driver->Fail(F::cModemStatus, 5);
    EXPECT_FALSE(Comm.GetModemState(1));

    struct Row {
        bool TComStat::*flag;
        std::vector<int> trueFor;
    } rows[] = {{&TComStat::fCtsHold, {0, 1, 6, -1}},
                {&TComStat::fDsrHold, {2}},
                {&TComStat::fRlsdHold, {3}},
                {&TComStat::fXoffHold, {4}},
                {&TComStat::fXoffSent, {5}}};
    for (const Row& r : rows) {
        Driver->Stat = TComStat{};
        Driver->Stat.*r.flag = true;
        for (int which : {-1, 0, 1, 2, 3, 4, 5, 6}) {
            const bool expected = std::find(r.trueFor.begin(), r.trueFor.end(), which) != r.trueFor.end();
            EXPECT_EQ(Comm.GetComState(which), expected) << which;
        }
    }
}

TEST_F(CommFixture, DispatchOrderAndArguments) {
    std::vector<std::string> calls;
    const auto note = [&](const char* name) { return [&calls, name](TObject*) { calls.push_back(name); }; };
    Comm.OnBreak = note("Break");
    Comm.OnCts = note("Cts");
    Comm.OnDsr = note("Dsr");
    Comm.OnError = [&](TObject* s, int errors) {
        EXPECT_EQ(s, &Comm);
        calls.push_back("Error " + std::to_string(errors));
    };
    Comm.OnRing = note("Ring");
    Comm.OnRlsd = note("Rlsd");
    Comm.OnRxChar = [&](TObject*, unsigned long count) {
        calls.push_back("RxChar " + std::to_string(count));
    };
    Comm.OnRxFlag = note("RxFlag");
    Comm.OnTxEmpty = note("TxEmpty");
    Comm.OnComStatEvent = [&](TObject*, unsigned long status, TComStat stat) {
        calls.push_back("ComStat " + std::to_string(status) + " " + std::to_string(stat.cbInQue));
    };
    OpenPort();
    Driver->Errors = CE_FRAME;
    Driver->Stat.cbInQue = 9;
    Comm.HandleCommEvent(nullptr, 0x1FF);
    EXPECT_EQ(calls, (std::vector<std::string>{"Break", "Cts", "Dsr", "Error 8", "Ring", "Rlsd", "RxChar 9",
                                               "RxFlag", "TxEmpty", "ComStat 511 9"}));

    calls.clear();
    Driver->Stat.cbInQue = 0;
    Comm.HandleCommEvent(nullptr, EV_RXCHAR | EV_ERR);
    EXPECT_EQ(calls, (std::vector<std::string>{"Error 8", "ComStat 129 0"}));
}

TEST_F(CommFixture, DispatchWithoutHandlersOnlyClearsErrors) {
    OpenPort();
    const int clears = Driver->Count(F::cClearCommError);
    Comm.HandleCommEvent(nullptr, 0x1FF);
    EXPECT_EQ(Driver->Count(F::cClearCommError), clears + 1);
}

TEST_F(CommFixture, EventCharsApplyAtOnceOnlyWhenOpen) {
    Comm.EventChars().SetXOnChar('A');
    EXPECT_EQ(Driver->Count(F::cSetCommState), 0);
    OpenPort();
    EXPECT_EQ(Driver->SentDcbs.back().XonChar, 'A');
    Comm.EventChars().SetXOffChar('B');
    Comm.EventChars().SetErrorChar('C');
    Comm.EventChars().SetEofChar('D');
    Comm.EventChars().SetEvtChar('E');
    const TDcb& s = Driver->SentDcbs.back();
    EXPECT_EQ(std::string({s.XonChar, s.XoffChar, s.ErrorChar, s.EofChar, s.EvtChar}), "ABCDE");
    EXPECT_EQ(Driver->SentDcbs.size(), 5u);

    Comm.EventChars().SetChar(0, 'Z');
    EXPECT_EQ(Driver->SentDcbs.size(), 6u);
    EXPECT_EQ(std::string({Driver->SentDcbs.back().XonChar}), "A");

    TCommEventChars other(nullptr);
    other.SetEvtChar('q');
    Comm.EventChars().Assign(&other);
    EXPECT_EQ(Comm.EventChars().XOnChar(), 0x11);
    EXPECT_EQ(Comm.EventChars().EvtChar(), 'q');
    EXPECT_EQ(Driver->SentDcbs.size(), 6u);
    EXPECT_THROW(Comm.EventChars().Assign(&Comm), Exception);
}

TEST_F(CommFixture, EventsReachTheMainThreadOneAtATime) {
    std::vector<unsigned long> counts;
    Comm.OnRxChar = [&](TObject*, unsigned long count) { counts.push_back(count); };
    Driver->Stat.cbInQue = 3;
    OpenPort();
    Driver->PushEvent(EV_RXCHAR);
    Driver->PushEvent(EV_RXCHAR);
    ASSERT_TRUE(Poster.PumpUntil([&] { return counts.size() == 2; }));
    EXPECT_EQ(counts, (std::vector<unsigned long>{3, 3}));
}

TEST_F(CommFixture, HandlerThatRaisesReleasesTheEventThread) {
    int calls = 0;
    Comm.OnRxChar = [&](TObject*, unsigned long) {
        ++calls;
        throw Exception("handler failed");
    };
    Driver->Stat.cbInQue = 1;
    OpenPort();
    Driver->PushEvent(EV_RXCHAR);
    Driver->PushEvent(EV_RXCHAR);
    ASSERT_TRUE(Poster.PumpUntil([&] { return calls == 2; }));
    EXPECT_EQ(Poster.Raised, (std::vector<std::string>{"handler failed", "handler failed"}));
}

TEST_F(CommFixture, CloseWithAHandOverPendingDropsIt) {
    int calls = 0;
    Comm.OnComStatEvent = [&](TObject*, unsigned long, TComStat) { ++calls; };
    for (int i = 0; i < 50; ++i) {
        OpenPort();
        Driver->PushEvent(EV_TXEMPTY);
        // The posted call is queued but not pumped before Close.
        ASSERT_TRUE(Poster.WaitPosted());
        const auto start = std::chrono::steady_clock::now();
        Comm.Close();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
        EXPECT_EQ(Poster.PumpPending(), 1);
    }
    EXPECT_EQ(calls, 0);
}

TEST_F(CommFixture, CloseFromInsideAHandler) {
    int calls = 0;
    Comm.OnRxChar = [&](TObject*, unsigned long) {
        ++calls;
        Comm.Close();
    };
    Comm.OnComStatEvent = [&](TObject*, unsigned long, TComStat) { ADD_FAILURE() << "event after Close"; };
    Driver->Stat.cbInQue = 1;
    for (int i = 0; i < 20; ++i) {
        OpenPort();
        Driver->PushEvent(EV_RXCHAR);
        ASSERT_TRUE(Poster.PumpUntil([&] { return !Comm.Enabled(); }));
        EXPECT_EQ(calls, i + 1);
    }
}

TEST_F(CommFixture, HandlersMayClearReplaceOrDestroyTheirOwnEvent) {
    // Closures big enough to live on the heap, so that freeing one while it
    // runs is a use-after-free that the address sanitizer sees.
    const std::string tag(64, 'x');
    std::vector<std::string> calls;
    Comm.OnRxChar = [&, tag](TObject*, unsigned long) {
        Comm.OnRxChar = nullptr; // one-shot
        calls.push_back("once " + tag.substr(0, 1));
    };
    Comm.OnTxEmpty = [&, tag](TObject*) {
        Comm.OnTxEmpty = [&, tag](TObject*) { calls.push_back("second " + tag.substr(0, 1)); };
        calls.push_back("first " + tag.substr(0, 1));
    };
    Driver->Stat.cbInQue = 2;
    OpenPort();
    Comm.HandleCommEvent(nullptr, EV_RXCHAR | EV_TXEMPTY);
    Comm.HandleCommEvent(nullptr, EV_RXCHAR | EV_TXEMPTY);
    EXPECT_EQ(calls, (std::vector<std::string>{"once x", "first x", "second x"}));

    // Destroyed inside its own handler, through the event thread: the rest of
    // the dispatch is dropped and nothing of the freed component is touched.
    for (uint32_t mask : {EV_RXCHAR | EV_TXEMPTY, uint32_t{EV_RXCHAR}}) {
        auto driver = std::make_shared<F>();
        driver->Stat.cbInQue = 1;
        auto comm = std::make_unique<TComm>(driver, &Poster);
        int after = 0;
        comm->OnRxChar = [&, tag](TObject*, unsigned long) { comm.reset(); };
        comm->OnTxEmpty = [&](TObject*) { ++after; };
        comm->OnComStatEvent = [&](TObject*, unsigned long, TComStat) { ++after; };
        comm->Open();
        driver->PushEvent(mask);
        ASSERT_TRUE(Poster.PumpUntil([&] { return comm == nullptr; }));
        EXPECT_EQ(after, 0);
        EXPECT_EQ(driver->Count(F::cClose), 1);
    }
}

TEST_F(CommFixture, LostDeviceIsReportedOnceAndThePortOpensAgain) {
    struct Row {
        const char* name;
        std::function<void(F&, TComm&)> lose; // makes the component find the device gone
    } rows[] = {
        {"event wait hangs up", [](F& d, TComm&) { d.PushHangUp(); }},
        {"write finds it gone",
         [](F& d, TComm& c) {
             d.Lose(F::cWrite, ENODEV);
             d.PushHangUp(); // the event thread finds it too: still one report
             EXPECT_EQ(c.Write("ab", 2), 2);
         }},
        {"read finds it gone",
         [](F& d, TComm& c) {
             d.Lose(F::cRead, EIO);
             char b[4];
             c.Read(b, 4);
         }},
    };
    for (const Row& r : rows) {
        auto driver = std::make_shared<F>();
        TComm comm(driver, &Poster);
        comm.SetDeviceName("/dev/ttyUSB0");
        std::vector<std::string> seen;
        comm.OnDeviceLost = [&](TObject* sender) {
            EXPECT_EQ(sender, &comm);
            seen.push_back(comm.DeviceName() + (comm.Enabled() ? " open" : " closed"));
            comm.Close(); // what the window does: harmless, the port is closed already
        };
        comm.Open();
        ASSERT_TRUE(comm.Enabled()) << r.name;
        r.lose(*driver, comm);
        ASSERT_TRUE(Poster.PumpUntil([&] { return !seen.empty(); })) << r.name;
        Poster.PumpFor(50ms);
        EXPECT_EQ(seen, (std::vector<std::string>{"/dev/ttyUSB0 closed"})) << r.name;
        EXPECT_TRUE(comm.DeviceLost()) << r.name;
        EXPECT_NE(comm.DeviceLostError(), 0) << r.name;
        EXPECT_EQ(driver->Count(F::cClose), 1) << r.name;
        EXPECT_EQ(comm.Write("x", 1), -1) << r.name;

        // The device is back: it opens again, and the loss is forgotten.
        driver->Restore();
        comm.Open();
        EXPECT_TRUE(comm.Enabled()) << r.name;
        EXPECT_FALSE(comm.DeviceLost()) << r.name;
        EXPECT_EQ(comm.Write("ok", 2), 2) << r.name;
    }
}

TEST(CommWithoutPoster, WriteReportsALostDeviceOnTheCallersThread) {
    auto driver = std::make_shared<F>();
    TComm comm(driver);
    int lost = 0;
    comm.OnDeviceLost = [&](TObject*) { ++lost; };
    comm.Open();
    driver->WriteAccepts = 1;
    driver->Lose(F::cWrite, ENXIO);
    EXPECT_EQ(comm.Write("abc", 3), 1); // what got out before the device went
    EXPECT_EQ(lost, 1);
    EXPECT_FALSE(comm.Enabled());
    EXPECT_EQ(comm.DeviceLostError(), ENXIO);
    EXPECT_EQ(comm.Write("abc", 3), -1);
    EXPECT_EQ(lost, 1);
}

TEST_F(CommFixture, OpenFailuresKeepTheirReason) {
    struct Row {
        const char* name;
        int openError;
        bool charDevice;
        int expected;
    } rows[] = {{"no such device", ENOENT, true, ENOENT},
                {"permission denied", EACCES, true, EACCES},
                {"held by another program", EBUSY, true, EBUSY},
                {"not a terminal", 0, false, ENOTTY},
                {"opens", 0, true, 0}};
    for (const Row& r : rows) {
        Driver->Fail(F::cOpen, r.openError);
        Driver->CharDevice = r.charDevice;
        EXPECT_NO_THROW(Comm.Open()) << r.name;
        EXPECT_EQ(Comm.Enabled(), r.expected == 0) << r.name;
        EXPECT_EQ(Comm.OpenError(), r.expected) << r.name;
        Comm.Close();
    }
}

TEST(OpenFailureReason, NamesTheDeviceAndTheReason) {
    struct Row {
        int error;
        const char* text;
    } rows[] = {
        {ENOENT, "/dev/ttyUSB0: no such device"},
        {ENODEV, "/dev/ttyUSB0: no such device"},
        {EBUSY, "/dev/ttyUSB0: in use by another program"},
        {EACCES,
         "/dev/ttyUSB0: permission denied \u2014 add your user to the dialout group (sudo adduser $USER "
         "dialout) and log in again"},
        {EPERM,
         "/dev/ttyUSB0: permission denied \u2014 add your user to the dialout group (sudo adduser $USER "
         "dialout) and log in again"},
        {ENOTTY, "/dev/ttyUSB0: not a serial port"},
        {EIO, "/dev/ttyUSB0: cannot be opened: Input/output error (error 5)"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(OpenFailureReason("/dev/ttyUSB0", r.error), r.text) << r.error;
    EXPECT_EQ(OpenFailureReason("", ENOENT), "(no device): no such device");
}

TEST_F(CommFixture, PartialWritesAndLineErrors) {
    OpenPort();
    Driver->WriteAccepts = 4; // the driver moves only part, without failing
    EXPECT_EQ(Comm.Write("abcdefgh", 8), 4);
    EXPECT_EQ(Driver->OutData, "abcd");

    std::vector<int> errors;
    Comm.OnError = [&](TObject*, int e) { errors.push_back(e); };
    const unsigned long lineErrors[] = {CE_RXPARITY, CE_FRAME,  CE_OVERRUN,
                                        CE_BREAK,    CE_RXOVER, CE_RXPARITY | CE_FRAME | CE_OVERRUN};
    for (unsigned long flags : lineErrors) {
        const size_t before = errors.size();
        Driver->Errors = flags;
        Driver->PushEvent(EV_ERR);
        ASSERT_TRUE(Poster.PumpUntil([&] { return errors.size() > before; })) << flags;
        EXPECT_EQ(errors.back(), static_cast<int>(flags));
    }
}

TEST(CommWithoutPoster, OpensWithoutAnEventThread) {
    auto driver = std::make_shared<F>();
    TComm comm(driver);
    comm.Open();
    EXPECT_TRUE(comm.Enabled());
    EXPECT_EQ(comm.EventThread(), nullptr);
    EXPECT_EQ(driver->Count(F::cCreateEventWaiter), 0);
}

TEST(CommRegister, RecordsTCommOnSamples) {
    const size_t before = RegisteredComponents().size();
    Register();
    ASSERT_EQ(RegisteredComponents().size(), before + 1);
    EXPECT_EQ(RegisteredComponents().back().Page, "Samples");
    EXPECT_EQ(RegisteredComponents().back().ClassName, "TComm");
}

TEST(ResolveDeviceName, ComNumbersAndPaths) {
    const std::vector<std::string> ports = {"/dev/ttyUSB0", "/dev/ttyACM0", "/dev/ttyS0"};
    struct Row {
        const char* name;
        const char* expected;
    } rows[] = {{"Com1", "/dev/ttyUSB0"},
                {"com2", "/dev/ttyACM0"},
                {"COM3", "/dev/ttyS0"},
                {"Com4", ""},
                {"Com0", ""},
                {"Com", ""},
                {"Com-1", ""},
                {"Com1x", ""},
                {"Com 1", ""},
                {"ttyS0", ""},
                {"", ""},
                {"Com99999999999", ""},
                {"/dev/pts/3", "/dev/pts/3"}};
    for (const Row& r : rows)
        EXPECT_EQ(ResolveDeviceName(r.name, ports), r.expected) << r.name;
}

namespace {

// A sysfs tty class folder and a device folder as the kernel lays them out:
// class/tty/<name> links to the tty's folder below devices/, whose "device"
// link leads up to the device the port belongs to. The device nodes are plain
// files, which no port query can open as a terminal: only what sysfs says may
// decide which ports are listed.
struct TFakeSysfs {
    std::filesystem::path Root, Dev, Sys, Class;
    TFakeSysfs() {
        char templ[] = "/tmp/kaldora-ports-XXXXXX";
        Root = mkdtemp(templ);
        Dev = Root / "dev";
        Sys = Root / "sys";
        Class = Sys / "class" / "tty";
        std::filesystem::create_directories(Dev);
        std::filesystem::create_directories(Class);
    }
    ~TFakeSysfs() { std::filesystem::remove_all(Root); }
    static void Write(const std::filesystem::path& path, const std::string& text) {
        std::FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr) << path;
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    // A tty below devices/<device> (empty: a virtual one, without a device link).
    std::filesystem::path Tty(const std::string& name, const std::string& device,
                              const std::string& driver = "") {
        const std::string parent = device.empty() ? "virtual" : device;
        const std::filesystem::path dir = Sys / "devices" / parent / "tty" / name;
        std::filesystem::create_directories(dir);
        std::filesystem::create_symlink("../../devices/" + parent + "/tty/" + name, Class / name);
        if (!device.empty()) {
            std::filesystem::create_symlink("../../../" + std::filesystem::path(device).filename().string(),
                                            dir / "device");
            const std::filesystem::path link = Sys / "devices" / device / "driver";
            if (!driver.empty() && !std::filesystem::is_symlink(link))
                std::filesystem::create_symlink(Sys / "bus" / "drivers" / driver, link);
        }
        Write(Dev / name, "");
        return dir;
    }
    // USB device attributes; an empty text leaves the attribute out.
    void UsbDevice(const std::string& device, std::vector<std::pair<const char*, std::string>> attributes) {
        std::filesystem::create_directories(Sys / "devices" / device);
        for (const auto& [name, text] : attributes)
            if (!text.empty()) Write(Sys / "devices" / device / name, text + "\n");
    }
};

} // namespace

TEST(ListSerialPorts, EveryPortWithADeviceInAStableOrder) {
    TFakeSysfs fs;
    const std::string usb = "pci0000:00/0000:00:14.0/usb1/";
    fs.UsbDevice(usb + "1-1", {{"idVendor", "0403"},
                               {"idProduct", "6001"},
                               {"manufacturer", "FTDI"},
                               {"product", "FT232R USB UART"},
                               {"serial", "A10K1234"}});
    fs.UsbDevice(usb + "1-4", {{"idVendor", "2341"}, {"idProduct", "0043"}, {"manufacturer", "Arduino"}});
    fs.Tty("ttyUSB10", usb + "1-2/1-2:1.0/ttyUSB10", "pl2303");
    fs.Tty("ttyUSB1", usb + "1-1/1-1:1.0/ttyUSB1", "ftdi_sio");
    fs.Tty("ttyUSB2", usb + "1-3/1-3:1.0/ttyUSB2", "cp210x");
    fs.Tty("ttyXRUSB0", usb + "1-6/1-6:1.0", "xr_serial");
    fs.Tty("ttyACM0", usb + "1-4/1-4:1.0", "cdc_acm");
    fs.Tty("rfcomm0", usb + "1-5/1-5:1.0/bluetooth/hci0/hci0:11"); // a radio on USB is no adapter
    fs.Tty("ttyAMA0", "platform/fe201000.serial", "uart-pl011");
    struct Uart {
        const char* name;
        const char* type;
    } uarts[] = {{"ttyS0", "4\n"}, {"ttyS1", "0\n"}, {"ttyS10", "4\n"}, {"ttyS2", ""}};
    for (const Uart& u : uarts) {
        const auto dir = fs.Tty(u.name, "platform/serial8250", "serial8250");
        if (*u.type) fs.Write(dir / "type", u.type); // ttyS2: no type, and no terminal to ask
    }
    for (const char* name : {"tty1", "ptmx", "console"}) // virtual: no device behind them
        fs.Tty(name, "");
    fs.Tty("ttyUSB3", usb + "1-7/1-7:1.0/ttyUSB3");
    std::filesystem::remove(fs.Dev / "ttyUSB3"); // gone from /dev: not present

    const std::string dev = fs.Dev.string();
    const std::vector<std::string> names = {"ttyUSB1", "ttyUSB2", "ttyUSB10", "ttyXRUSB0", "ttyACM0",
                                            "rfcomm0", "ttyAMA0", "ttyS0",    "ttyS10"};
    std::vector<std::string> expected;
    for (const std::string& n : names)
        expected.push_back(dev + "/" + n);
    EXPECT_EQ(ListSerialPortsIn(dev, fs.Class.string()), expected);

    const std::vector<TSerialPortInfo> info = ListSerialPortInfoIn(dev, fs.Class.string());
    ASSERT_EQ(info.size(), names.size());
    EXPECT_EQ(info[0], (TSerialPortInfo{dev + "/ttyUSB1", "ttyUSB1", "ftdi_sio", true, "0403", "6001", "FTDI",
                                        "FT232R USB UART", "A10K1234"}));
    EXPECT_EQ(info[4], (TSerialPortInfo{dev + "/ttyACM0", "ttyACM0", "cdc_acm", true, "2341", "0043",
                                        "Arduino", "", ""}));
    EXPECT_EQ(info[3].Driver, "xr_serial");
    EXPECT_TRUE(info[3].Usb);
    EXPECT_EQ(info[3].VendorId, ""); // a USB device without attributes
    EXPECT_EQ(info[5], (TSerialPortInfo{dev + "/rfcomm0", "rfcomm0", "", false, "", "", "", "", ""}));
    EXPECT_EQ(info[6],
              (TSerialPortInfo{dev + "/ttyAMA0", "ttyAMA0", "uart-pl011", false, "", "", "", "", ""}));
    EXPECT_EQ(info[7].Driver, "serial8250");
    EXPECT_TRUE(ListSerialPortsIn(dev, (fs.Root / "nowhere").string()).empty());
}

TEST(WithGivenPorts, GivenFirstThenTheMachinesEachOnce) {
    EXPECT_EQ(WithGivenPorts({"/tmp/ttyV0", "ttyUSB1", "/tmp/ttyV0"}, {"/dev/ttyUSB0", "/dev/ttyUSB1"}),
              (std::vector<std::string>{"/tmp/ttyV0", "/dev/ttyUSB1", "/dev/ttyUSB0"}));
    EXPECT_EQ(WithGivenPorts({}, {"/dev/ttyS0"}), (std::vector<std::string>{"/dev/ttyS0"}));
    EXPECT_EQ(WithGivenPorts({"/dev/pts/3"}, {}), (std::vector<std::string>{"/dev/pts/3"}));
}
