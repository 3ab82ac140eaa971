#include "app/TfrmMain.h"

#include <cstdio>

#include "platform/Files.h"
#include "platform/Resources.h"
#include "platform/Text.h"

namespace nimbrel::app {

namespace {

constexpr int kClientWidth = 794;
constexpr int kClientHeight = 386;
constexpr int kCompactWidth = 455;
constexpr int kCompactHeight = 160;

using Items = std::vector<std::string>;

const std::string kTheta(platform::kTheta);

const char* const kOpenFileFilter =
    "dump files, bin files,FPGA files Calibration Files Resources "
    "file(*.dmp,*.bin,*.rbf,*.dat,*.res)|*.dmp;*.bin;*.rbf;*.dat;*.res|all types(*.*)|*.*";

template <typename C>
C& Setup(C& c, const std::string& caption, bool visible, bool enabled) {
  c.SetCaption(caption);
  c.SetVisible(visible);
  c.SetEnabled(enabled);
  return c;
}

}  // namespace

TfrmMain::TfrmMain(Environment env)
    : ui::TForm(kClientWidth, kClientHeight),
      Label1("Label1", {349, 632, 71, 13}),
      Memo("Memo", {0, 0, 311, 386}),
      rgMode("rgMode", {8, 194, 128, 217}, "Mode",
             Items{"boot loader", "GUI resources", "solution", "update backup  file", "default System Info", "FPGA",
                   "calibration data"},
             0),
      Connect("Connect", {317, 13, 128, 45}),
      btnBackup("btnBackup", {158, 262, 114, 30}),
      btnPatch("btnPatch", {158, 298, 114, 30}),
      btnAutoUpload("btnAutoUpload", {317, 81, 128, 45}),
      rgFPGA("rgFPGA", {633, 574, 140, 233}, "Scanner Base",
             Items{"AA( screw) v1", "AA(screw) v2", "AB(20mm wm)", "AC(10mm ws)", "AD(10mm sst)",
                   "AE(10mm ws wide)", "AF(AE+ROHS)", "AG(AF+f-" + kTheta + ", new door)", "AH(new door2)", "AJ"},
             -1),
      rgSolution("rgSolution", {158, 334, 125, 78}, "solution", Items{"normal", "med", "vet"}, 0),
      btnUpload("btnUpload", {158, 418, 76, 30}),
      rgConnection("rgConnection", {349, 740, 124, 67}, "connection type", Items{"USB", "Ethernet"}, 0),
      editAddress("editAddress", {349, 651, 125, 21}),
      rgLCD("rgLCD", {349, 678, 106, 56}, "LCD", Items{"Not changed", "AG(ROHS)"}, 0),
      rgDoor("rgDoor", {502, 627, 106, 56}, "Door", Items{"Not changed", "AG(new door)"}, 0),
      rgMotor("rgMotor", {502, 751, 106, 56}, "Motor", Items{"Not changed", "AG(ws 10mm)"}, 0),
      rgOptic("rgOptic", {502, 689, 106, 56}, "Optic", Items{"Not changed", "AG(f-" + kTheta + ")"}, 0),
      rgEtc("rgEtc", {66, 29, 106, 70}, "Etc", Items{"Not changed", "Reserved"}, 0),
      GroupBox1("GroupBox1", {462, 2, 324, 359}),
      rgLOT("rgLOT", {8, 11, 310, 86}, "LOT",
            Items{"AA v1", "AA v2", "AB", "AC", "AD", "AE", "AF", "AG", "AH", "AJ"}, -1, 3),
      rgStepMotor("rgStepMotor", {8, 103, 310, 66}, " step motor ",
                  Items{"screw", "wm 20mm", "sst 10mm", "ws 10mm(~AG)", "ws 10mm(AH)", "SAEHAN"}, 3, 3),
      rgMainBoard("rgMainBoard", {8, 175, 310, 56}, "main board  ", Items{"corebd2.0", "mainbd 1.x", "mainbd 2.0"},
                  2, 3),
      rgROHSLCD("rgROHSLCD", {8, 288, 78, 70}, "ROHS LCD", Items{"no", "yes"}, 1),
      rgFTheta("rgFTheta", {184, 288, 78, 70}, "f-" + kTheta, Items{"no", "yes"}, 1),
      rgAGDoor("rgAGDoor", {96, 288, 78, 70}, "tray type", Items{"old", "AG", "AH"}, 1),
      rgPowerBoard("rgPowerBoard", {7, 230, 210, 56}, "power board  ", Items{"STK672", "SLA7078"}, 0, 2),
      edittsCode("edittsCode", {317, 234, 128, 21}),
      btnTestTSCode("btnTestTSCode", {317, 172, 128, 25}),
      btnMaketsCode("btnMaketsCode", {317, 203, 128, 25}),
      chkMustUpdate("chkMustUpdate", {320, 149, 125, 17}),
      pbUpload("pbUpload", {317, 60, 128, 19}),
      OD{kOpenFileFilter, "*.dmp"},
      Timer1(env.loop, 5000),
      Timer2(env.loop, 1000),
      tmSilenceMode(env.loop, 1000),
      env_(std::move(env)) {
  // 1. The window as its description builds it.
  SetCaption("Nimbrel System Updater");
  Setup(Label1, "target address", false, false);
  Memo.SetCaption("");
  Setup(rgMode, rgMode.Caption(), false, true);
  Setup(Connect, "Connect", true, true);
  Setup(btnBackup, "backup System Info", false, true);
  Setup(btnPatch, "patch System Info", false, true);
  Setup(btnAutoUpload, "update", true, true);
  Setup(rgFPGA, rgFPGA.Caption(), true, true);
  Setup(rgSolution, rgSolution.Caption(), false, false);
  Setup(btnUpload, "manual Upload ", false, true);
  Setup(rgConnection, rgConnection.Caption(), false, true);
  Setup(editAddress, "", false, false);
  editAddress.SetText(kFactoryScannerAddress);
  Setup(rgLCD, rgLCD.Caption(), true, true);
  Setup(rgDoor, rgDoor.Caption(), true, true);
  Setup(rgMotor, rgMotor.Caption(), true, true);
  Setup(rgOptic, rgOptic.Caption(), true, true);
  Setup(rgEtc, rgEtc.Caption(), false, true);
  Setup(GroupBox1, " Parts Information ", true, true);
  Setup(edittsCode, "", false, true);
  edittsCode.SetText("1");
  Setup(btnTestTSCode, "parse tsCode", false, true);
  Setup(btnMaketsCode, "make tsCode", false, true);
  Setup(chkMustUpdate, "force update", true, true);
  Setup(pbUpload, "", false, true);
  Timer1.SetEnabled(false);
  Timer2.SetEnabled(false);
  tmSilenceMode.SetEnabled(false);
  WireHandlers();
  // The application's handler of errors that leave a handler: an error box.
  loop().SetErrorHandler([this](const std::exception& e) {
    MessageBox(e.what(), kApplicationTitle, ui::MsgIcon::Error);
  });

  StartUp();
  ApplyDevelopmentOptions();
}

TfrmMain::~TfrmMain() {
  loop().SetErrorHandler(nullptr);
  // The receive thread points at this window: it ends before the window does.
  StopTcpReceiver();
  // Nothing of the teardown may reach the handlers any more.
  if (usb) {
    usb->OnConnect = nullptr;
    usb->OnDisconnect = nullptr;
    usb->OnReadBufferEnd = nullptr;
    usb->OnSendBufferEnd = nullptr;
  }
}

void TfrmMain::WireHandlers() {
  rgMode.OnClick = [this] { rgModeClick(&rgMode); };
  Connect.OnClick = [this] { ConnectClick(&Connect); };
  btnBackup.OnClick = [this] { btnBackupClick(&btnBackup); };
  btnPatch.OnClick = [this] { btnPatchClick(&btnPatch); };
  btnAutoUpload.OnClick = [this] { btnAutoUploadClick(&btnAutoUpload); };
  rgFPGA.OnClick = [this] { rgFPGAClick(&rgFPGA); };
  btnUpload.OnClick = [this] { btnUploadClick(&btnUpload); };
  rgConnection.OnClick = [this] { rgConnectionClick(&rgConnection); };
  rgLOT.OnClick = [this] { rgLOTClick(&rgLOT); };
  rgMainBoard.OnClick = [this] { rgMainBoardClick(&rgMainBoard); };
  rgPowerBoard.OnClick = [this] { rgPowerBoardClick(&rgPowerBoard); };
  btnTestTSCode.OnClick = [this] { btnTestTSCodeClick(&btnTestTSCode); };
  btnMaketsCode.OnClick = [this] { btnMaketsCodeClick(&btnMaketsCode); };
  Timer1.OnTimer = [this] { Timer1Timer(nullptr); };
  Timer2.OnTimer = [this] { Timer2Timer(nullptr); };
  tmSilenceMode.OnTimer = [this] { tmSilenceModeTimer(nullptr); };
}

void TfrmMain::StartUp() {
  // 2. Command line: every argument, the program path included.
  if (env_.commandLine) {
    silentState = 0;
    for (const std::string& arg : *env_.commandLine) {
      const std::string upper = platform::UpperAscii(arg);
      if (upper == "-S") {
        trace().Debug("silenetmode fw updater\n");
        silentState = 1;
      } else if (upper == "-H") {
        hiddenMode = true;
      }
    }
  }

  // 3. Single-instance guard: both locks are always asked for.
  auto dental = env_.locks.Create(kDentalMutexName);
  dentalMutex = std::move(dental.lock);
  if (dental.alreadyExisted) {
    MessageBox("Please run after closing  other sotfware using Dental scaner", "duplicated software",
               ui::MsgIcon::Warning);
    loop().Quit(kExitSecondInstance);
  }
  auto flash = env_.locks.Create(kFlashMutexName);
  flashMutex = std::move(flash.lock);
  if (flash.alreadyExisted) {
    MessageBox("Please run after closing  other sotfware using flash scaner", "duplicated software",
               ui::MsgIcon::Warning);
    loop().Quit(kExitSecondInstance);
  }

  // 4.
  LogLine("Dental type");

  // 5. The USB link and its events.
  usb = env_.makeUsb ? env_.makeUsb("00000000051B", "00000000051D") : std::make_unique<usb::NoScannerUsb>();
  usb->Event = true;
  usb->SetSynchronous(true);
  usb->OnConnect = [this] { UsbConnected(); };
  usb->OnDisconnect = [this] { UsbDisconnected(); };
  // Read completions come on the link's bulk thread: each one is dispatched
  // on the UI thread, and the bulk thread waits for it, so that the next read
  // is armed only after the dispatch of the previous block. On the bulk
  // thread the handler touches nothing of the window: the window may be
  // closing meanwhile. A block that was waiting while the link closed (or
  // closed and opened again), or while the window closed, is not dispatched.
  usb->OnReadBufferEnd = [this, &uiLoop = loop()](int channel, int size, std::uint8_t* buffer) {
    const std::uint64_t ticket = usb::EventTicket();
    uiLoop.Invoke(
        [=, this] {
          const usb::EventWork work(*usb, ticket);
          if (work.Current() && !closing) UsbReadEnd(channel, size, buffer);
        },
        usb::TakeCompletionUnit());
  };
  usb->OnSendBufferEnd = [this](int channel, int size, std::uint8_t* buffer) { UsbSendEnd(channel, size, buffer); };

  // 6. The two large buffers, once for the whole run (not cleared).
  stagingBuffer.reset(new std::uint8_t[kLargeBufferSize]);
  bulkBuffer.reset(new std::uint8_t[kLargeBufferSize]);
  receivePosition = bulkBuffer.get();
  bulkReceived = 0;

  // 7.
  rgMode.SetEnabled(false);
  btnUpload.SetEnabled(false);
  btnAutoUpload.SetEnabled(false);
  btnBackup.SetEnabled(false);
  rgMode.SetItemIndex(-1);

  // 8. No window receives the link's device-change notices.
  usb->SetEventCaller(nullptr);

  // 9. Caption.
  char suffix[256];
  platform::LoadStringResource(32767, suffix, sizeof suffix);
  SetCaption(std::string("ZK Scanner System Updater") + suffix);

  // 10.
  sessionOpen = false;
  updateStage = -1;
  closing = false;

  // 11. Factory mode keeps the designed size; otherwise only the upper part
  // of the log, Connect and "update" stay in view.
  factoryMode = FactoryMarkerExists();
  if (!factoryMode) {
    SetHeight(kCompactHeight);
    SetWidth(kCompactWidth);
  } else {
    chkMustUpdate.SetVisible(false);
    chkMustUpdate.SetChecked(false);
    chkMustUpdate.SetEnabled(true);
  }
  Memo.SetBounds({0, 0, 311, ClientHeight()});

  // 12. The updater's own version word, least significant byte first.
  std::uint32_t version = 0;
  for (int i = 0; i < 4; ++i) {
    const auto byte = static_cast<std::uint32_t>(platform::ResourceNumber(32772 + i)) & 0xFF;
    version |= byte << (8 * i);
  }
  updaterVersion = static_cast<std::int32_t>(version);
  char line[64];
  std::snprintf(line, sizeof line, "updater version:%u.%u.%u.%u", version >> 24 & 0xFF, version >> 16 & 0xFF,
                version >> 8 & 0xFF, version & 0xFF);
  LogLine(line);
  trace().Debugf("updater version %08X", version);

  // 13.
  keepAliveTimer = std::make_unique<ui::TTimer>(loop(), 1000);
  keepAliveTimer->OnTimer = [this] { KeepAliveTick(); };
  keepAliveTimer->SetEnabled(true);

  // 14.
  if (silentState > 0) {
    tmSilenceMode.SetEnabled(true);
    Connect.SetEnabled(false);
  }

  // 15.
  if (hiddenMode) {
    SetWidth(0);
    SetHeight(0);
    SetVisible(false);
  }
}

void TfrmMain::ApplyDevelopmentOptions() {
  if (env_.ethernet) {
    rgConnection.SetItemIndex(1);
    editAddress.SetText(env_.ethernet->host);
    ethernetPort = env_.ethernet->port;
  }
  // In silent mode the silent connect takes the link.
  if ((env_.ethernet || env_.pressConnect) && silentState < 1) loop().Post([this] { ConnectClick(&Connect); });
}

void TfrmMain::LogLine(const std::string& text) {
  Memo.Append(text);
  if (env_.logEcho) env_.logEcho(text);
}

void TfrmMain::rgConnectionClick(TControl*) {
  const bool ethernet = rgConnection.ItemIndex() != 0;
  Label1.SetEnabled(ethernet);
  editAddress.SetEnabled(ethernet);
}

bool TfrmMain::MarkerExists(const char* name) const {
  return platform::FileExists(platform::JoinPath(env_.paths.workDir, name));
}

bool TfrmMain::FactoryMarkerExists() const {
  return MarkerExists("factory_mode") || MarkerExists("factory_mode.txt");
}

int TfrmMain::MessageBox(const std::string& text, const std::string& caption, ui::MsgIcon icon,
                         ui::MsgButtons buttons) {
  return dialogs().MessageBox({text, caption, icon, buttons, true});
}

void TfrmMain::Close() {
  if (closed_) return;
  FormCloseQuery();
  closed_ = true;
  // The window goes, and its timers with it.
  Timer1.SetEnabled(false);
  Timer2.SetEnabled(false);
  tmSilenceMode.SetEnabled(false);
  keepAliveTimer->SetEnabled(false);
  // The operator's run ends with 0; an unattended one says how it went.
  loop().Quit(loop().QuitRequested() ? loop().ExitCode() : (silentState > 0 ? runResult : kExitUpdated));
}

}  // namespace nimbrel::app
