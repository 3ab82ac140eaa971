#pragma once
// The main window: the hub that owns every control, every flag and counter
// of the conversation with the scanner, the buffers and the links. Handlers
// communicate through this state. The handlers of each subsystem are defined
// in that subsystem's folder (protocol/, update/, unit/, net/).

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "app/Environment.h"
#include "net/TTCPReceiverFwd.h"
#include "platform/Sockets.h"
#include "protocol/ControlFrame.h"
#include "ui/Controls.h"
#include "ui/Form.h"
#include "usb/TUSB.h"

namespace nimbrel::app {

using ui::TControl;

// The link a connect request goes out on.
enum class Link { Usb, Ethernet };

inline constexpr std::size_t kLargeBufferSize = 52428800;  // 0x3200000

// The factory address of the scanner on its private network: the default of
// the target-address box. It is only ever a default; nothing sends to it
// unless an operator selects the Ethernet link.
inline constexpr const char* kFactoryScannerAddress = "192.168.0.250";

inline constexpr const char* kDentalMutexName = "Unique Name of Tavix Brixel Dental Mutex";
inline constexpr const char* kFlashMutexName = "Unique Name of Tavix Brixel Flash Mutex";

class TfrmMain final : public ui::TForm {
 public:
  // Builds the window and runs the start-up sequence.
  explicit TfrmMain(Environment env);
  ~TfrmMain() override;

  // ---- Controls, in the form's order ----
  ui::TLabel Label1;
  ui::TMemo Memo;
  ui::TRadioGroup rgMode;
  ui::TButton Connect;
  ui::TButton btnBackup;
  ui::TButton btnPatch;
  ui::TButton btnAutoUpload;
  ui::TRadioGroup rgFPGA;
  ui::TRadioGroup rgSolution;
  ui::TButton btnUpload;
  ui::TRadioGroup rgConnection;
  ui::TEdit editAddress;
  ui::TRadioGroup rgLCD;
  ui::TRadioGroup rgDoor;
  ui::TRadioGroup rgMotor;
  ui::TRadioGroup rgOptic;
  ui::TRadioGroup rgEtc;
  ui::TGroupBox GroupBox1;
  ui::TRadioGroup rgLOT;
  ui::TRadioGroup rgStepMotor;
  ui::TRadioGroup rgMainBoard;
  ui::TRadioGroup rgROHSLCD;
  ui::TRadioGroup rgFTheta;
  ui::TRadioGroup rgAGDoor;
  ui::TRadioGroup rgPowerBoard;
  ui::TEdit edittsCode;
  ui::TButton btnTestTSCode;
  ui::TButton btnMaketsCode;
  ui::TCheckBox chkMustUpdate;
  ui::OpenFileRequest OD;
  ui::TTimer Timer1;
  ui::TTimer Timer2;
  ui::TTimer tmSilenceMode;
  std::unique_ptr<ui::TTimer> keepAliveTimer;  // created at start-up

  // ---- Fields of the window ----
  std::unique_ptr<usb::TUSB> usb;
  std::int32_t updateStage = -1;
  bool sessionOpen = false;
  bool closing = false;
  bool unitSupported = false;
  bool linkEstablished = false;
  std::int32_t bulkCommand = 0;
  std::int32_t bulkTotal = 0;
  std::int32_t bulkReceived = 0;
  bool awaitingGreeting = false;
  std::int32_t scannerVersion = 0;
  std::int32_t updaterVersion = 0;
  bool factoryMode = false;  // a factory marker was present at start-up

  // ---- The program's module-level state (one window, one instance) ----
  std::unique_ptr<std::uint8_t[]> stagingBuffer;  // kLargeBufferSize bytes
  std::unique_ptr<std::uint8_t[]> bulkBuffer;     // kLargeBufferSize bytes
  std::uint8_t* receivePosition = nullptr;        // into frameBuffer or bulkBuffer
  protocol::Frame frameBuffer{};
  protocol::Frame systemInfoCopy{};
  protocol::Frame backupBuffer{};
  std::unique_ptr<std::uint8_t[]> payloadBuffer;
  std::atomic<std::int32_t> pendingSends{0};
  std::atomic<std::int32_t> sendMarker{0};
  bool oldKeepAlive = false;
  std::int32_t connectTsCode = 0;
  std::atomic<std::int32_t> replyCount{0};
  std::atomic<bool> replyDue{false};
  std::int32_t silentState = -1;
  bool hiddenMode = false;
  std::int32_t badFrameCount = 0;
  std::unique_ptr<platform::NamedLock> dentalMutex;
  std::unique_ptr<platform::NamedLock> flashMutex;
  protocol::Frame keepAliveFrame{};
  protocol::Frame endSessionFrame{};
  protocol::Frame registerFrame{};
  protocol::Frame announceFrame{};
  protocol::Frame sysInfoRequestFrame{};

  // ---- Ethernet link ----
  // The clients are made on first use; a test may put its own in place first.
  std::unique_ptr<platform::TcpClient> TCP;
  std::unique_ptr<platform::UdpClient> UDP;
  std::uint16_t tcpPort = 8484;
  std::uint16_t udpPort = 8484;
  // The running receive thread; cleared by the thread itself as it ends.
  std::atomic<net::TTCPReceiver*> tcpReceiver{nullptr};
  // Owns the thread that tcpReceiver names (declared after TCP: it goes first).
  std::unique_ptr<net::TTCPReceiver, net::TTCPReceiverDeleter> receiverThread;

  // ---- Application shell ----
  // Appends one line to the operator log (and echoes it, see Environment).
  void LogLine(const std::string& text);
  void rgConnectionClick(TControl* Sender);
  // Any request to close the window; the close always goes ahead.
  void FormCloseQuery();
  void tmSilenceModeTimer(TControl* Sender);
  // Asks the window to close, as the close box does.
  void Close();
  bool Closed() const { return closed_; }

  // ---- Device protocol: connect handshake ----
  void ConnectClick(TControl* Sender);
  void UsbConnected();
  void UsbDisconnected();
  void TCPConnected();
  void TCPDisconnected();
  // Sends the connect request on the link and waits for the greeting.
  void SendConnectRequest(Link link);
  // Disables what needs a session and clears sessionOpen and unitSupported.
  void ResetSessionUi();
  // ---- Device protocol: receive dispatcher ----
  void UsbReadEnd(int channel, int size, std::uint8_t* buffer);
  // Every received block, from either link, on the UI thread, one at a time.
  void DispatchFrame(const std::uint8_t* block, int length);
  // ---- Device protocol: sending ----
  // The sending operations return when the last block has been handed to
  // the link; pendingSends tracks completion.
  void UsbSendEnd(int channel, int size, std::uint8_t* buffer);
  // One USB send on channel 1 inside the sendMarker bracket.
  void UsbSend(std::uint8_t* buffer, int size);
  // USB when active, else TCP when connected, else nothing.
  void TransportSend(std::uint8_t* buffer, int size);
  // The first 512 bytes, a pause, then 512,000-byte chunks; the keep-alive
  // timer is stopped meanwhile.
  void SendChunked(std::uint8_t* buffer, int size);
  // Sets pendingSends, sends the announcement, then the staged data.
  void SendTransfer(std::uint8_t* announcement, std::uint8_t* data);
  // Stages the payload behind its upload header in stagingBuffer, announces
  // and sends it, and releases payloadBuffer (the payload normally is
  // payloadBuffer.get()). A payload that does not fit the staging buffer is
  // refused with a log line, and pendingSends is set to 0.
  void SendUpload(std::int32_t command, const std::uint8_t* payload, std::int64_t size);
  // "SoF", the command and transferLength 0 into the frame; ends any
  // announced receive transfer and points receivePosition at frameBuffer.
  void PrepareRequest(std::int32_t command, protocol::Frame& frame);
  // pendingSends down by one, never below 0; any thread.
  void LowerPendingSends();
  // ---- Device protocol: keep-alive and device commands ----
  void KeepAliveTick();
  void SendEndOfSession();
  void WriteRegister(std::int32_t reg, std::int32_t value);

  // ---- Ethernet transport ----
  // The Ethernet branch of the Connect action: wake datagram, receive
  // thread, TCP connect to editAddress on tcpPort (TCPConnected runs inside);
  // sets linkEstablished when connected. A refused or timed-out connect
  // throws platform::SocketError (the program's general error handling
  // reports it); the receive thread then stays and a later call reuses it.
  void OpenEthernetLink();
  // Sends in 512-byte passes (the last one filled up with zeros), 50 ms
  // apart, over `client` or, when none is given, TCP; lowers pendingSends.
  void TCPSendBuffer(const std::uint8_t* data, int size, platform::TcpClient* client = nullptr);
  void TCPWorkBegin();
  void TCPWorkEnd();

  // ---- Update engine ----
  void rgModeClick(TControl* Sender);
  void btnUploadClick(TControl* Sender);
  void btnAutoUploadClick(TControl* Sender);
  void Timer1Timer(TControl* Sender);
  void Timer2Timer(TControl* Sender);

  // ---- Unit identity and System Info ----
  void rgFPGAClick(TControl* Sender);
  void rgLOTClick(TControl* Sender);
  void rgPowerBoardClick(TControl* Sender);
  void rgMainBoardClick(TControl* Sender);
  void btnTestTSCodeClick(TControl* Sender);
  void btnMaketsCodeClick(TControl* Sender);
  void btnBackupClick(TControl* Sender);
  void btnPatchClick(TControl* Sender);

  // ---- Services ----
  platform::EventLoop& loop() { return env_.loop; }
  platform::Trace& trace() { return env_.trace; }
  ui::Dialogs& dialogs() { return env_.dialogs; }
  const platform::Paths& paths() const { return env_.paths; }
  // True when a file of that bare name exists in the working directory.
  bool MarkerExists(const char* name) const;
  bool FactoryMarkerExists() const;
  // Shows a message box: modal, topmost, owner-less.
  int MessageBox(const std::string& text, const std::string& caption, ui::MsgIcon icon,
                 ui::MsgButtons buttons = ui::MsgButtons::Ok);

 private:
  void WireHandlers();
  void StartUp();

  Environment env_;
  bool closed_ = false;
};

}  // namespace nimbrel::app
