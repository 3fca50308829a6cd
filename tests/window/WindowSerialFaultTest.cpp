// The window's serial port when things go wrong: the device vanishes while
// open, or the port cannot be opened. Over real pseudo-terminals.

#include "WindowFixture.h"

#include "comm/PosixSerialDriver.h"

#include <sys/resource.h>

namespace {

double ProcessCpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(u.ru_utime) + ms(u.ru_stime);
}

} // namespace

TEST_F(WindowTest, AVanishedDeviceIsLoggedOnceAndThePortClosed) {
    auto pty = std::make_unique<TPty>();
    const std::string path = pty->SlavePath;
    TForm1& f = Make({path});
    f.BB_PortSwitch->click();
    ASSERT_TRUE(f.Comm1->Enabled());

    pty.reset(); // the master closes: the device is gone
    ASSERT_TRUE(QTest::qWaitFor([&] { return !f.Comm1->Enabled(); }, 3000));
    const double cpu = ProcessCpuMs();
    QTest::qWait(2000);
    const double used = ProcessCpuMs() - cpu;
    std::printf("process CPU over 2 s after the device was lost: %.3f ms\n", used);
    EXPECT_LT(used, 40.0); // under 2%

    const std::string lostLine = "Com1 (" + path + ") lost: the device was unplugged or closed";
    EXPECT_EQ(LogLines(), QStringList({"Open Com1 OK", QString::fromStdString(lostLine)}));
    EXPECT_EQ(f.BB_PortSwitch->text(), QString("Open"));
    EXPECT_TRUE(f.Comm1->DeviceLost());
    EXPECT_TRUE(f.RadioButton1->isEnabled() && f.RadioButton2->isEnabled() && f.btnBaudRate->isEnabled());
    EXPECT_TRUE(f.CSpinEdit1->isEnabled());
    EXPECT_FALSE(f.BB_SendData->isEnabled());
    EXPECT_TRUE(Reported.empty());

    // The device is back, as another pseudo-terminal under the same Com number.
    TPty back;
    Ports = {back.SlavePath};
    f.BB_PortSwitch->click();
    EXPECT_TRUE(f.Comm1->Enabled());
    EXPECT_EQ(f.BB_PortSwitch->text(), QString("Close"));
    EXPECT_EQ(LogLines().last(), QString("Open Com1 OK"));
    EXPECT_EQ(LogLines().size(), 3);
    f.BB_PortSwitch->click();
    EXPECT_EQ(LogLines().last(), QString("Close Com1 OK"));
    EXPECT_TRUE(Reported.empty());
}

TEST_F(WindowTest, APortThatDoesNotOpenIsLoggedWithItsReason) {
    TPty pty;
    TPosixSerialDriver otherDriver;
    TComm otherProgram(std::shared_ptr<TSerialDriver>(&otherDriver, [](TSerialDriver*) {}));
    otherProgram.SetDeviceName(pty.SlavePath);
    otherProgram.Open();
    ASSERT_TRUE(otherProgram.Enabled());

    struct Row {
        const char* name;
        std::vector<std::string> ports;
        std::string line;
    } rows[] = {
        {"no port for Com1", {}, "Com1: no such device"},
        {"missing device", {"/dev/kaldora-no-such-port"}, "Com1 (/dev/kaldora-no-such-port): no such device"},
        {"held by another program",
         {pty.SlavePath},
         "Com1 (" + pty.SlavePath + "): in use by another program"},
    };
    for (const Row& r : rows) {
        TForm1& f = Make(r.ports);
        Reported.clear();
        // The reason is in the log before "Port not open" is reported.
        int linesWhenReported = -1;
        const TExceptionReporter fixture = SetExceptionReporter([&](const std::string& m) {
            Reported.push_back(m);
            linesWhenReported = LogLines().size();
        });
        f.BB_PortSwitch->click();
        SetExceptionReporter(fixture);
        EXPECT_FALSE(f.Comm1->Enabled()) << r.name;
        EXPECT_EQ(LogLines(), QStringList({QString::fromStdString(r.line)})) << r.name;
        EXPECT_EQ(Reported, std::vector<std::string>({"Port not open (Error: -1)"})) << r.name;
        EXPECT_EQ(linesWhenReported, 1) << r.name;
    }
}

// The device goes mid-reply, then again while a repeat send runs: each loss is
// one line, the part of a reply already taken is judged as it stands, nothing
// spins, and the port opens again afterwards.
TEST_F(WindowTest, ADeviceLostMidReplyOrWhileRepeatingLeavesTheWindowUsable) {
    auto pty = std::make_unique<TPty>();
    TForm1& f = Make({pty->SlavePath});
    const QString lost = QString("Com1 (%1) lost: the device was unplugged or closed");
    f.BB_PortSwitch->click();
    f.RadioButton3->click();
    f.BitBtn1->click();
    ASSERT_FALSE(pty->ReadAll().empty());
    const uint8_t part[5] = {0x24, 1, 2, 3, 4};
    ASSERT_EQ(::write(pty->Master, part, sizeof part), 5);
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.Timer2->Enabled(); }, 3000));
    Clock.Advance(4);
    QString path = QString::fromStdString(pty->SlavePath);
    pty.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !f.Comm1->Enabled(); }, 3000));
    Clock.Advance(3000); // five bytes are no answer, but they are something: no "Error"
    EXPECT_EQ(LogLines(), QStringList({"Open Com1 OK", " 24 01 02 03 04", lost.arg(path)}));

    pty = std::make_unique<TPty>();
    Ports = {pty->SlavePath};
    path = QString::fromStdString(pty->SlavePath);
    f.BB_PortSwitch->click();
    ASSERT_TRUE(f.Comm1->Enabled());
    f.Edit1->setText("01 02");
    f.CheckBox1->setChecked(true);
    f.BB_SendBin->click();
    Clock.Advance(500);
    EXPECT_EQ(pty->ReadAll(), (std::vector<uint8_t>{1, 2}));
    pty.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !f.Comm1->Enabled(); }, 3000));
    const double cpu = ProcessCpuMs();
    QTest::qWait(2000);
    EXPECT_LT(ProcessCpuMs() - cpu, 40.0); // under 2%
    Clock.Advance(1000);
    EXPECT_EQ(LogLines().mid(4), QStringList({lost.arg(path), "Open Comport first!", "Open Comport first!"}));
    f.Button1->click();

    TPty back;
    Ports = {back.SlavePath};
    f.BB_PortSwitch->click();
    EXPECT_TRUE(f.Comm1->Enabled());
    EXPECT_TRUE(Reported.empty()) << Reported.front();
}
