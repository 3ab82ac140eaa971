#pragma once
// The main window: the hub that owns every control, every flag and counter
// of the conversation with the scanner, the buffers and the links. Handlers
// communicate through this state. The handlers of each subsystem are defined
// in that subsystem's folder (protocol/, update/, unit/, net/).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "app/Environment.h"
#include "app/ExitCodes.h"
#include "net/TTCPReceiver.h"
#include "platform/Sockets.h"
#include "protocol/ControlFrame.h"
#include "ui/Controls.h"
#include "ui/Form.h"
#include "unit/PartNumber.h"
#include "unit/TsCode.h"
#include "update/PayloadCatalogue.h"
#include "update/TfrmFPGA.h"
#include "usb/TUSB.h"

namespace nimbrel::app {

using ui::TControl;

inline constexpr std::size_t kLargeBufferSize = 52428800;  // 0x3200000

// The factory address of the scanner on its private network: the default of
// the target-address box. It is only ever a default; nothing sends to it
// unless an operator selects the Ethernet link.
inline constexpr const char* kFactoryScannerAddress = "192.168.0.250";

// The caption of the application's error boxes.
inline constexpr const char* kApplicationTitle = "nimbrel-updater";

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
  // Shown while an upload is handed to the link: the bytes whose sends have
  // completed, of the whole, and the stage. It sits between "Connect" and
  // "update", where it covers no control.
  ui::TProgressBar pbUpload;
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
  // 64 bits: a refused transfer may announce up to 2^31 - 1 bytes, and the
  // blocks that complete it take the count past that.
  std::int64_t bulkReceived = 0;
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

  // ---- Application shell ----
  // Appends one line to the operator log (and echoes it, see Environment).
  void LogLine(const std::string& text);
  void rgConnectionClick(TControl* Sender);
  // Any request to close the window; the close always goes ahead.
  void FormCloseQuery();
  void tmSilenceModeTimer(TControl* Sender);
  // The exit code an unattended run leaves with as things stand (see
  // ExitCodes.h); an operator's run leaves with 0.
  int runResult = kExitNoScanner;
  // Ends a silent run the way a silent disconnect does: the silent-mode
  // timer closes the window one period later.
  void EndSilentRun();
  // Asks the window to close, as the close box does.
  void Close();
  bool Closed() const { return closed_; }

  // ---- Device protocol: connect handshake ----
  void ConnectClick(TControl* Sender);
  void UsbConnected();
  void UsbDisconnected();
  void TCPConnected();
  void TCPDisconnected();
  enum class Link { Usb, Ethernet };
  void SendConnectRequest(Link link);
  void ResetSessionUi();
  // ---- Device protocol: receive dispatcher ----
  void UsbReadEnd(int channel, int size, std::uint8_t* buffer);
  // Every block from the scanner, over either link, on the UI thread.
  void DispatchFrame(const std::uint8_t* block, int length);
  // Writes "SoF", the command and transferLength 0 into the frame and ends
  // any announced transfer being received.
  void PrepareRequest(std::int32_t command, protocol::ControlFrame frame);
  // Ends any announced transfer, a refused one included: the next block
  // goes to the frame buffer and is tested as a frame.
  void ResetReceiveState();
  void StoreSystemInfoCopy();
  // The greeting steps: identity log lines, identification, the System Info
  // request.
  void HandleGreeting();
  // An announced transfer too long for bulkBuffer: its bytes are counted
  // and dropped.
  bool bulkDiscard = false;
  // ---- Device protocol: sending ----
  void UsbSend(std::uint8_t* buffer, int size);
  void TransportSend(std::uint8_t* buffer, int size);
  void SendChunked(std::uint8_t* buffer, int size);
  void SendTransfer(protocol::Frame& announcement, std::uint8_t* data);
  // Stages the payload behind its upload header, announces and sends it,
  // and releases the payload. A payload that does not fit the staging
  // buffer is refused with a message; returns whether it was sent.
  bool SendUpload(std::int32_t command, std::unique_ptr<std::uint8_t[]> payload, std::int64_t size);
  void UsbSendEnd(int channel, int size, std::uint8_t* buffer);
  // ---- Device protocol: keep-alive and device commands ----
  void KeepAliveTick();
  void SendEndOfSession();
  void WriteRegister(std::int32_t reg, std::int32_t value);

  // ---- Ethernet link ----
  // Port of the wake datagram and of the TCP link.
  std::uint16_t ethernetPort = 8484;
  // The TCP and UDP clients; made with their first use unless given (the
  // TCP client only while no receiver runs on it).
  std::unique_ptr<platform::TcpClient> TCP;
  std::unique_ptr<platform::UdpClient> UDP;
  // The running receive thread; the receiver clears it as its last act.
  std::atomic<net::TTCPReceiver*> tcpReceiver{nullptr};
  // Where the receive thread's frames go on the UI thread: DispatchFrame
  // when unassigned. Lets a test watch the stream as it was cut.
  std::function<void(const std::uint8_t* frame, int length)> tcpFrameSink;
  // The Ethernet branch of the Connect action: wake datagram, receive
  // thread, TCP connect to the target address (TCPConnected runs inside the
  // connect). Sets linkEstablished and returns true when the TCP client is
  // connected; a refused or timed-out connect returns false (reason in the
  // trace), with the receiver left polling the unconnected client.
  bool OpenEthernetLink();
  // True when the TCP client reports itself connected.
  bool TcpIsConnected();
  // Sends in 512-byte passes, 50 ms apart, over the given client or TCP;
  // lowers pendingSends at the end. A pass that fails is logged and sent
  // again; after kTcpSendRetries failures in a row the send is given up.
  void TCPSendBuffer(const std::uint8_t* data, int size, platform::TcpClient* client = nullptr);
  static constexpr int kTcpSendRetries = 3;
  void TCPWorkBegin();
  void TCPWorkEnd();
  // The close's Ethernet steps: stop the receive thread, wait for it, and
  // disconnect the client. Nothing received reaches the window afterwards.
  void CloseEthernetLink();

  // ---- Update engine ----
  // Enables "manual Upload " once a mode is selected; never disables it.
  void rgModeClick(TControl* Sender);
  // The upload step of the "Mode" selection. Sender is the button for an
  // operator click (the step then ends the session and closes USB) and
  // nullptr inside the automatic sequence (it then starts the verification
  // phase). A missing embedded image throws ResourceNotFound out of it.
  void btnUploadClick(TControl* Sender);
  // Logs "upload::<slot>" and sends the slot's embedded image (slot 5: the
  // FPGA variant of the option groups as they stand) under its command
  // code. Throws ResourceNotFound, before anything is sent, for an image
  // the store does not hold.
  void UploadEmbedded(update::PayloadSlot slot);
  // Sends the file under the command code of slot `mode` (3 or 6); a file
  // named exactly "backup.dmp" in mode 3 is patched to the hardware options
  // first. Returns whether it was sent; every refusal (missing, unreadable,
  // too large to stage, too short to patch) has shown its box.
  bool UploadFromFile(update::UploadMode mode, const std::string& path);
  // -1: missing, unreadable or empty; 0: shorter than a calibration data
  // set; 1: long enough.
  int CheckCalibrationFile(const std::string& path);
  // "update": the version question, the part-number check, the locking of
  // the option groups, register 265 := 0, then stage 0. Sender is the
  // button, or nullptr when silent mode starts it.
  void btnAutoUploadClick(TControl* Sender);
  // The stage change: reopens USB, waits for the session, runs the next
  // stage or ends the sequence.
  void Timer1Timer(TControl* Sender);
  // The verification phase: one System Info request per answer until four
  // answers have come.
  void Timer2Timer(TControl* Sender);
  // The part number of the last greeting, for the part-number check.
  unit::PnField greetingPn;
  // Runs the upload step of the stage in updateStage for the sequence; a
  // step that does not lead to its verification phase stops the sequence.
  void RunSequenceStep();
  // The upload step calls this as it starts the verification phase of a
  // stage.
  void BeginVerification();
  // Stops the running sequence with "<reason>: the update stopped at stage
  // N of 5 (name)" in the log (and in a box, outside silent mode, when
  // `box`); a silent run then ends.
  void StopSequence(const std::string& reason, bool box);
  // Each start of the sequence counts here: a step or a stage change that
  // finds the count changed after its pauses belongs to a sequence that was
  // started over meanwhile, and ends.
  std::int32_t sequenceRun = 0;
  // Verification phases started so far.
  std::int32_t verificationPhases = 0;
  // The answers the current verification phase had counted when it last
  // made progress, and when that was (loop time).
  std::int32_t verifyRepliesSeen = 0;
  std::int64_t verifyProgressAt = 0;

  // ---- Upload progress ----
  // Bytes of the current upload whose sends have completed; the transports'
  // completions add to it (the USB ones on the bulk thread).
  std::atomic<std::int64_t> uploadSent{0};
  // The bar and, for uploads above 1 MB, a progress line per tenth.
  void BeginUploadProgress(std::int64_t total);
  void RefreshUploadProgress();
  void EndUploadProgress();
  // "stage 3 of 5: solution" inside the sequence, the "Mode" item else.
  std::string UploadCaption() const;

  // ---- Unit identity and System Info ----
  // The unit-type dialog, created with the window and kept for its life.
  update::TfrmFPGA frmFPGA;
  // Classifies the greeting's part number, asks about factory part numbers
  // and selects the "Scanner Base" item (and with it the LOT and options);
  // may disable "update", never enables it.
  void IdentifyUnit(const protocol::Frame& greeting);
  // True when the updater may work on the unit ("gui_test" markers in the
  // working directory let every unit pass).
  bool IsSupportedUnit(const unit::PnField& pn) const;
  // Decodes a tsCode into the option groups and logs its form.
  void ParseTsCode(std::int32_t code);
  // The v2 code of the option groups as they stand.
  std::int32_t MakeTsCode() const;
  unit::PartsInformation CurrentPartsInformation() const;
  // Shows the unit-type dialog. Cancel or the close box: logs
  // "cancel to autoupload" and returns false. "Ok": copies the choice into
  // "Scanner Base" and returns true.
  bool ChooseUnitType();
  // Row of the standard-value table for the LOT selection ("AJ" and none: 8).
  int LotRow() const;
  // The System Info patches work on a record in memory and write only their
  // fields. Each refuses a record too short for the fields it writes: it
  // logs why, changes nothing and returns false.
  //
  // The standard values of the selected generation (btnPatchClick).
  bool PatchStandardValues(std::span<std::uint8_t> record);
  // The current tsCode, and the standard values of the options changed
  // since the greeting (connectTsCode); before a record is sent.
  bool PatchHardwareOptions(std::span<std::uint8_t> record);
  // motorParam9 of SAEHAN units by power board; after PatchHardwareOptions.
  bool FixSaehanDriveCode(std::span<std::uint8_t> record);
  void rgFPGAClick(TControl* Sender);
  void rgLOTClick(TControl* Sender);
  void rgPowerBoardClick(TControl* Sender);
  void rgMainBoardClick(TControl* Sender);
  void btnTestTSCodeClick(TControl* Sender);
  void btnMaketsCodeClick(TControl* Sender);
  // Saves systemInfoCopy as backup.dmp in the program's folder; the file is
  // either the old one or the whole new one.
  void btnBackupClick(TControl* Sender);
  // Patches the first 512 bytes of backup.dmp in place with the standard
  // values. Without the file: silent when the program calls it (Sender
  // nullptr), else asks and lets the operator pick a file.
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
  void ApplyDevelopmentOptions();

  Environment env_;
  bool closed_ = false;

  // Ethernet link.
  void EnsureEthernetClients();
  // Stops the receive thread and waits for its end, letting the UI thread
  // run what the receiver is waiting for meanwhile.
  void StopTcpReceiver();
  std::unique_ptr<net::TTCPReceiver> tcpReceiverThread_;  // owns tcpReceiver's thread

  std::int64_t uploadTotal_ = 0;  // 0 while no upload is shown
  int uploadTenthsShown_ = 0;
};

}  // namespace nimbrel::app
