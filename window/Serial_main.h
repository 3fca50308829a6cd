#pragma once
// The main window: every control of the stored layout, the serial port Comm1,
// the TCP client ClientSocket1, the four timers, the window state and the log.
// Every handler runs on the main thread; an Exception raised in one ends that
// handler and is shown by the exception report (nothing is rolled back).

#include <QMainWindow>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Object.h"
#include "comm/Comm.h"
#include "protocol/Cipher.h"
#include "protocol/Frame.h"
#include "protocol/HexText.h"
#include "toolkit/ClientSocket.h"
#include "toolkit/QtMainThreadPoster.h"
#include "toolkit/Timer.h"
#include "ui_Serial_commands.h"
#include "ui_Serial_main.h"
#include "ui_Serial_rawsend.h"

class QFileSystemWatcher;

// What the window takes from its surroundings; tests replace the defaults.
struct TFormEnvironment {
    // Serial ports present, in "Com<N>" order. Null: the ports of this machine.
    std::function<std::vector<std::string>()> PortLister;
    // Driver for Comm1. Null: the POSIX driver over PortLister.
    std::shared_ptr<TSerialDriver> SerialDriver;
    // Clock of the four timers. Null: real time.
    TTimerEngine* TimerEngine = nullptr;
    // The controls hidden at start are left for BuildHiddenControls, which the
    // program calls once the window is drawn; without this the window is whole
    // when constructed.
    bool DeferHiddenControls = false;
};

class TForm1 : public QMainWindow,
               public TObject,
               public Ui::TForm1,
               public Ui::CommandPanel,
               public Ui::RawSendPanel {
    Q_OBJECT

public:
    explicit TForm1(TFormEnvironment environment = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    // Appends one line to Memo1 (time-prefixed when CB_TimeRecord is checked),
    // first clearing the log when AutoClear is checked and LogLength is above 30000.
    // Makes the command panel and the raw send row, which are hidden at start,
    // and binds every control's handlers; until then no handler runs. Once only.
    void BuildHiddenControls();
    bool HiddenControlsBuilt() const { return rgCommand != nullptr; }

    void WriteLog(const std::string& text);

    // Non-visual components.
    std::unique_ptr<TComm> Comm1;
    std::unique_ptr<TClientSocket> ClientSocket1;
    std::unique_ptr<TTimer> Timer1, Timer2, Timer3, Timer4;

    // Window state.
    std::string ComDeviceName = "Com1";
    uint8_t ReplyKind = 0;
    int32_t RxCount = 0;
    std::array<uint8_t, 5000> RxBuffer{};
    std::array<uint8_t, 5000> ReplyBuffer{};
    int32_t ReplyCount = 0;
    int32_t RxByteCount = 0;
    uint8_t ReplySeen = 0;
    uint32_t LogLength = 0;
    TCipherState CipherState{};

    // Link (Serial_link.cpp).
    void RadioButton1Click(TObject* Sender);
    void RadioButton2Click(TObject* Sender);
    void CSpinEdit1Change(TObject* Sender);
    void btnBaudRateClick(TObject* Sender);
    void cbParityChange(TObject* Sender);
    void BB_PortSwitchClick(TObject* Sender);
    void Data_EncryptClick(TObject* Sender);
    // Comm1's device vanished: one log line naming it, then closed as Close does.
    void Comm1DeviceLost(TObject* Sender);

    // Device commands (Serial_commands.cpp).
    void BitBtn1Click(TObject* Sender);
    void Button2Click(TObject* Sender);
    void Button3Click(TObject* Sender);
    void RadioButton3Click(TObject* Sender);
    void RadioButton4Click(TObject* Sender);
    void rgCommandClick(TObject* Sender);
    void SE_11Change(TObject* Sender);
    void SE_12Change(TObject* Sender);
    void Edit5KeyUp(TObject* Sender);

    // Receive path and result check (Serial_receive.cpp).
    void Comm1RxChar(TObject* Sender, unsigned long Count);
    void ClientSocket1Lookup(TObject* Sender, TClientWinSocket* Socket);
    void ClientSocket1Connecting(TObject* Sender, TClientWinSocket* Socket);
    void ClientSocket1Connect(TObject* Sender, TClientWinSocket* Socket);
    void ClientSocket1Disconnect(TObject* Sender, TClientWinSocket* Socket);
    void ClientSocket1Read(TObject* Sender, TClientWinSocket* Socket);
    void ClientSocket1Error(TObject* Sender, TClientWinSocket* Socket, TErrorEvent& ErrorEvent, int& ErrorCode);
    void Timer2Timer(TObject* Sender);
    void Timer3Timer(TObject* Sender);
    void Timer4Timer(TObject* Sender);

    // Raw send panel (Serial_rawsend.cpp).
    void BB_SendDataClick(TObject* Sender);
    void BB_SendBinClick(TObject* Sender);
    void Timer1Timer(TObject* Sender);
    void Button1Click(TObject* Sender);
    void BB_ClearClick(TObject* Sender);
    void Button4Click(TObject* Sender);

    void FormResize(TObject* Sender);

    // StatusBar1's simple-mode text (the received byte count), shown in its panel.
    QString StatusSimpleText() const;

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    static void SetVisible(std::initializer_list<QWidget*> controls, bool visible);
    static void SetEnabled(std::initializer_list<QWidget*> controls, bool enabled);
    // Fonts, colours and button images that the form file does not carry.
    void ApplyStoredLook();
    void BindEvents();
    void ShowComDevice();
    // Closes Comm1 and gives the link controls back, as the Close button does.
    void ClosePort();
    // "Com1 (/dev/ttyUSB0)": the port's name and the device it opens.
    std::string PortText() const;
    // The controls' values as the frame builder reads them.
    TCommandInputs CommandInputs();
    // Builds the frame of one command from the controls and sends it.
    void SendCommand(TCommandKind kind);
    // The common tail of every command: send on the open link, Timer4 on, Edit1, ckAutoInc.
    void CompleteAndSend(const std::vector<uint8_t>& frame);

    void SetStatusSimpleText(const QString& text);
    // Reads what the socket holds into RxBuffer behind FSocketHeld, at most
    // 1024 bytes a read; returns the last read's result.
    int ReadSocketChunk(TClientWinSocket& socket);
    // Counts, gathers and echoes the n bytes at the start of RxBuffer.
    void TakeReceivedChunk(int32_t n);
    // The log line for text, time-prefixed when CB_TimeRecord is checked.
    QString LogLine(const std::string& text) const;
    void ClearLogWhenFull();
    // The echo keeps this many of the newest hexadecimal lines.
    static constexpr size_t EchoKeptLines = 24;
    // Longer hexadecimal lines are shown cut, so a stream without line breaks
    // cannot fill the log; the log's counted length takes them whole.
    static constexpr size_t ShownHexLineBytes = 64;
    // The hexadecimal echo of received bytes, gathered (the newest lines kept,
    // notFormatted older ones counted only) until ShowReceived shows it with the
    // received count.
    void EchoReceived(std::vector<std::string> lines, size_t notFormatted);
    void FlushReceivedEcho();
    // Shows the echo and the count at once when the display is at rest, else at
    // the display timer's next tick.
    void ShowReceived();
    void FlushReceivedDisplay();

    std::function<std::vector<std::string>()> FPortLister;
    // The device Comm1 was last opened on: the port list no longer names a
    // device that has been unplugged.
    std::string FPortPath;
    // Bytes that socket reads have put into RxBuffer since the last deferred read.
    int32_t FSocketHeld = 0;
    QLabel* FStatusPanel = nullptr;
    std::unique_ptr<TTimer> FDisplayTimer;
    QString FStatusText;
    std::deque<std::string> FEchoPending;
    size_t FEchoDropped = 0;
    TQtMainThreadPoster FPoster;
    QFileSystemWatcher* FDevWatcher = nullptr;
};


extern TForm1* Form1;
