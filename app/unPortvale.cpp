#include "app/unPortvale.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

#include "framework/Application.h"
#include "framework/Exceptions.h"
#include "framework/Persistent.h"
#include "framework/SysUtils.h"
#include "platform/ShellOpen.h"
#include "platform/serial/SerialApi.h"
#include "platform/sockets/WinSock.h"

#ifndef PORTVALE_VERSION
#define PORTVALE_VERSION "0"
#endif

namespace portvale {

namespace {

constexpr int kImageCount = 12;
// Long enough to take a burst of reads in one rendering, short enough to look at once.
constexpr std::uint32_t kPaneRenderMs = 20;
constexpr std::uint32_t kPaneRenderMaxMs = 250;

template <typename T, typename... Args>
T* Make(TForm1* form, TWinControl* parent, const char* name, Args&&... args) {
    T* control = new T(form, std::forward<Args>(args)...);
    control->SetName(name);
    if (parent) control->SetParent(parent);
    return control;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string CurrentDirectory() {
    std::vector<char> buffer(PATH_MAX);
    while (!::getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE) throw Exception(Format("Cannot read the current directory: %s", std::strerror(errno)));
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

}  // namespace

TForm1::TForm1(TComponent* owner) : TForm(owner) {
    SetName("Form1");
    SetCaption("Portvale");
    Position = TPosition::poScreenCenter;
    BuildControls();

    // The components belong to the form, which finds them by name.
    session_ = std::make_unique<TBridgeSession>(this);
    bridge_ = &session_->Bridge();
    ComPort1 = &session_->Port();
    ApplyStartingLine(*ComPort1);
    ClientSocket1 = &session_->Client();
    ClientSocket1->SetPort(0);
    ServerSocket1 = &session_->Server();
    ServerSocket1->SetPort(50200);
    status_ = std::make_unique<TSessionStatus>(*session_, [this](TSessionStatus::Line line, const std::string& text) {
        stat1->SetPanelText(line, text);
    });
    ObserveSession();

    tmrPaneRender = new TTimer(this);
    tmrPaneRender->SetName("tmrPaneRender");
    tmrPaneRender->SetInterval(kPaneRenderMs);
    tmrPaneRender->OnTimer = TNotifyEvent(this, &TForm1::tmrPaneRenderTimer);

    tmrPanePause = new TTimer(this);
    tmrPanePause->SetName("tmrPanePause");
    tmrPanePause->OnTimer = TNotifyEvent(this, &TForm1::tmrPanePauseTimer);

    OnCreate = TNotifyEvent(this, &TForm1::FormCreate);
    OnShow = TNotifyEvent(this, &TForm1::FormShow);
    SetBounds(0, 0, 960, 720);
}

TForm1::~TForm1() {
    // The session lets go of the components' events before the form destroys them.
    session_.reset();
    DestroyComponents();
}

void TForm1::BuildControls() {
    il1 = new TImageList(this, 32, 32);
    il1->SetName("il1");
    for (int i = 0; i < kImageCount; ++i) il1->Add(Format("icons/%d.svg", i));
    BuildToolBar();
    BuildTopPanel();
    stat1 = Make<TStatusBar>(this, this, "stat1");
    stat1->SetHeight(24);
    stat1->SetAlign(TAlign::alBottom);
    stat1->AddPanel(TStatusPanel{{}, 500, TAlignment::taLeftJustify});
    stat1->AddPanel(TStatusPanel{{}, 200, TAlignment::taCenter});
    BuildLogArea();
}

void TForm1::BuildToolBar() {
    tlb1 = Make<TToolBar>(this, this, "tlb1");
    tlb1->Images = il1;
    tlb1->ShowCaptions = true;
    tlb1->SetHeight(60);
    tlb1->SetAlign(TAlign::alTop);
    auto button = [&](const char* name, const char* caption, int image, void (TForm1::*handler)(TObject*)) {
        auto* b = Make<TToolButton>(this, tlb1, name);
        b->SetCaption(caption);
        b->SetImageIndex(image);
        b->OnClick = TNotifyEvent(this, handler);
        return b;
    };
    auto separator = [&](const char* name) {
        auto* b = Make<TToolButton>(this, tlb1, name);
        b->Style = TToolButtonStyle::tbsSeparator;
        return b;
    };
    btnConnect = button("btnConnect", sTcpConnect, 0, &TForm1::btnConnectClick);
    btnDisconnect = button("btnDisconnect", "TCP Disconnect", 1, &TForm1::btnDisconnectClick);
    btnSeparator1 = separator("btnSeparator1");
    btnComPortOn = button("btnComPortOn", "Com-Port On", 6, &TForm1::btnComPortOnClick);
    btnComPortOff = button("btnComPortOff", "Com-Port Off", 7, &TForm1::btnComPortOffClick);
    btnSeparator2 = separator("btnSeparator2");
    btnSetup = button("btnSetup", "Com Port Settings", 2, &TForm1::btnSetupClick);
    btnSave = button("btnSave", "Save Settings", 5, &TForm1::btnSaveClick);
    btnSeparator3 = separator("btnSeparator3");
    btnWebsite = button("btnWebsite", "Website", 10, &TForm1::btnWebsiteClick);
    btnDonate = button("btnDonate", "Buy", 9, &TForm1::btnDonateClick);
    btnHelp = button("btnHelp", "Help", 11, &TForm1::btnHelpClick);

    // Captions name a button; the tip says what a click does, and the keys are the
    // ones desktop programs use for the same commands.
    struct Tip {
        TToolButton* button;
        const char* hint;
        const char* shortCut;
    };
    const Tip tips[] = {
        {btnConnect, "Connect to the server, or listen for clients in server mode", ""},
        {btnDisconnect, "Close the TCP connection and the serial port", ""},
        {btnComPortOn, "Open the serial port", ""},
        {btnComPortOff, "Close the serial port", ""},
        {btnSetup, "Choose the serial port and its line settings", "Ctrl+,"},
        {btnSave, "Save the server, TCP port, socket mode and serial port state", "Ctrl+S"},
        {btnWebsite, "Open the Portvale website", ""},
        {btnDonate, "Open the Portvale shop", ""},
        {btnHelp, "Open the Portvale help page", "F1"},
    };
    for (const Tip& tip : tips) {
        tip.button->SetHint(tip.hint);
        tip.button->SetShortCut(tip.shortCut);
    }
}

void TForm1::BuildTopPanel() {
    pnl1 = Make<TPanel>(this, this, "pnl1");
    pnl1->SetHeight(150);
    pnl1->SetAlign(TAlign::alTop);
    auto labelled = [&](TLabel*& label, const char* labelName, const char* caption, TEdit*& edit,
                        const char* editName, const char* text) {
        label = Make<TLabel>(this, pnl1, labelName);
        label->SetCaption(caption);
        edit = Make<TEdit>(this, pnl1, editName);
        edit->SetText(text);
        label->FocusControl = edit;
    };
    labelled(lblHost, "lblHost", "Server:", txbHost, "txbHost", "localhost");
    labelled(lblPort, "lblPort", "TCP/IP Port :", txbPort, "txbPort", "5000");
    labelled(lblSendMessage, "lblSendMessage", "TCP Message", txbSendMessage, "txbSendMessage", "");
    txbSendMessage->OnKeyPress = TKeyPressEvent(this, &TForm1::txbSendMessageKeyPress);
    btnTCPSendMessage = Make<TButton>(this, pnl1, "btnTCPSendMessage");
    btnTCPSendMessage->SetCaption("(TCP/IP)   Send");
    btnTCPSendMessage->OnClick = TNotifyEvent(this, &TForm1::btnTCPSendMessageClick);
    labelled(lblCom, "lblCom", "Com  Message:", txbCom, "txbCom", "");
    txbCom->OnKeyPress = TKeyPressEvent(this, &TForm1::txbComKeyPress);
    btnSendCom = Make<TButton>(this, pnl1, "btnSendCom");
    btnSendCom->SetCaption("(Com Port) Send");
    btnSendCom->OnClick = TNotifyEvent(this, &TForm1::btnSendComClick);

    chkCarriageReturn = Make<TCheckBox>(this, pnl1, "chkCarriageReturn");
    chkCarriageReturn->SetCaption("Add Carriage Return");
    chkCarriageReturn->SetChecked(true);
    chkNewLine = Make<TCheckBox>(this, pnl1, "chkNewLine");
    chkNewLine->SetCaption("Add New Line");
    chkNewLine->SetChecked(true);

    const std::vector<std::string> formats{"String", "Binary", "Decimal", "Hex"};
    grpTCPSocketType = Make<TRadioGroup>(this, pnl1, "grpTCPSocketType");
    grpTCPSocketType->SetCaption("TCP Socket Mode");
    grpTCPSocketType->SetItems({"Off", "Client", "Server"});
    grpTCPSocketType->OnClick = TNotifyEvent(this, &TForm1::grpTCPSocketTypeClick);
    rdSendFormat = Make<TRadioGroup>(this, pnl1, "rdSendFormat");
    rdSendFormat->SetCaption("Sending Format");
    rdSendFormat->SetItems(formats);
    rdSendFormat->SetItemIndex(0);
    rdSendFormat->OnClick = TNotifyEvent(this, &TForm1::rdSendFormatClick);
    rdIncomingFormat = Make<TRadioGroup>(this, pnl1, "rdIncomingFormat");
    rdIncomingFormat->SetCaption("Incoming Format");
    rdIncomingFormat->SetItems(formats);
    rdIncomingFormat->SetItemIndex(0);
    rdIncomingFormat->OnClick = TNotifyEvent(this, &TForm1::rdIncomingFormatClick);
}

void TForm1::BuildLogArea() {
    pnl4 = Make<TPanel>(this, this, "pnl4");
    pnl4->OnResize = TNotifyEvent(this, &TForm1::pnl4Resize);

    pnl5 = Make<TPanel>(this, pnl4, "pnl5");
    pnl5->SetHeight(37);
    pnl5->SetAlign(TAlign::alBottom);
    imgConectionStatus = Make<TImage>(this, pnl5, "imgConectionStatus");
    imgConectionStatus->Transparent = true;
    imgConectionStatus->SetBounds(4, 2, 32, 32);
    lbl4 = Make<TLabel>(this, pnl5, "lbl4");
    lbl4->SetAlignment(TAlignment::taRightJustify);
    lbl4->SetCaption("Portvale " PORTVALE_VERSION " \xE2\x80\x94 TCP \xE2\x86\x94 serial bridge");

    auto pane = [&](TPanel*& panel, const char* panelName, TAlign align, TGroupBox*& group,
                    const char* groupName, const char* caption, TRichEdit*& edit, const char* editName) {
        panel = Make<TPanel>(this, pnl4, panelName);
        panel->SetAlign(align);
        group = Make<TGroupBox>(this, panel, groupName);
        group->SetCaption(caption);
        group->SetAlign(TAlign::alClient);
        edit = Make<TRichEdit>(this, group, editName);
        edit->SetAlign(TAlign::alClient);
        edit->BoldFont = true;
        edit->ScrollBars = TScrollStyle::ssBoth;
    };
    pane(pnl2, "pnl2", TAlign::alTop, grp1, "grp1", "TCP/IP Incoming Message", redtTCPIPMsg, "redtTCPIPMsg");
    pane(pnl3, "pnl3", TAlign::alClient, grp2, "grp2", "Com Port Incoming Message", redtComPortMsg,
         "redtComPortMsg");
    tcpFeed_ = std::make_unique<TPaneFeed>(*redtTCPIPMsg);
    comFeed_ = std::make_unique<TPaneFeed>(*redtComPortMsg);
    pmTCPIPMsg = BuildPaneMenu(redtTCPIPMsg, *tcpFeed_, "pmTCPIPMsg");
    pmComPortMsg = BuildPaneMenu(redtComPortMsg, *comFeed_, "pmComPortMsg");
    pnl4->SetAlign(TAlign::alClient);
}

TPopupMenu* TForm1::BuildPaneMenu(TRichEdit* pane, TPaneFeed& feed, const char* name) {
    auto* menu = new TPopupMenu(this);
    menu->SetName(name);
    menu->Add("Clear", [pane](TObject*) { pane->Clear(); });
    menu->Add("Copy", [pane](TObject*) { pane->CopyToClipboard(); });
    menu->Add("Save As...", [this, pane](TObject*) { SavePaneAs(*pane); });
    menu->Add(
        "Show Time", [&feed](TObject* item) { feed.ShowTime = static_cast<TMenuItem*>(item)->Checked; }, true);
    pane->PopupMenu = menu;
    return menu;
}

std::unique_ptr<TForm1> TForm1::CreateMainWindow() {
    auto form = std::make_unique<TForm1>(nullptr);
    Guarded([&] { form->Create(); });
    Guarded([&] { form->WriteDefaultSettingsIfMissing(); });
    return form;
}

// ---- start-up ----

void TForm1::FormCreate(TObject*) { InitMainWindow(); }

void TForm1::FormShow(TObject*) { InitMainWindow(); }

void TForm1::InitMainWindow() {
    // The panes keep their text: the show handler runs this again after creation, and
    // what they hold then is the user's.
    // Always one separator appended, as the record file's name is put right after it.
    SettingsDir = CurrentDirectory() + "/";
    SettingsFile = SettingsDir + kTcpSettingsFileName;
    Settings = TTcpSettings{};
    bmpConnected = TBitmap{};
    bmpDisconnected = TBitmap{};
    const std::string comPortIni = SettingsDir + kComPortIniFileName;
    if (FileExists(comPortIni)) ComPort1->LoadSettings(stIniFile, comPortIni);
    grpTCPSocketType->SetItemIndex(0);
    bmpConnected.LoadFrom(*il1, 0);
    bmpDisconnected.LoadFrom(*il1, 1);
    status_->Set(TSessionStatus::Connection, sNoConnection);
    imgConectionStatus->SetPicture(bmpDisconnected);
    if (!FileExists(SettingsFile)) return;

    Settings.LoadFromFile(SettingsFile);
    txbHost->SetText(Settings.HostText());
    txbPort->SetText(IntToStr(Settings.Port()));
    const std::int32_t mode = Settings.SocketMode();
    grpTCPSocketType->SetItemIndex(mode < -1 ? -1 : mode > 2 ? 2 : mode);
    ComPortOn = Settings.SerialFlag();
    btnComPortOn->SetDown(ComPortOn != 0);
    btnComPortOff->SetDown(ComPortOn == 0);
}

void TForm1::WriteDefaultSettingsIfMissing() {
    if (SettingsFile.empty() || FileExists(SettingsFile)) return;
    TTcpSettings::Defaults().SaveToFile(SettingsFile);
}

// ---- serial port, links, panes ----

void TForm1::btnComPortOnClick(TObject*) {
    if (ComPortOn != 0) {
        btnComPortOn->SetDown(true);
        return;
    }
    ComPortOn = 1;
    btnComPortOn->SetDown(true);
    btnComPortOff->SetDown(false);
    status_->portClosedByDisconnect = false;
    try {
        ComPort1->SetConnected(true);
    } catch (const std::exception& error) {
        try {
            ComPort1->SetConnected(false);
        } catch (const std::exception&) {
            // Closing always leaves the port closed; the open's error is the one to show.
        }
        ComPortOn = 0;
        btnComPortOn->SetDown(false);
        // No box, as before; the panel beside the status says why the port is not on.
        SetStatusDetail(OpenFailureText(error));
        return;
    }
    RefreshStatusDetail();
}

void TForm1::btnComPortOffClick(TObject*) {
    StopPortRetry();
    btnComPortOn->SetDown(false);
    btnComPortOff->SetDown(true);
    ComPort1->SetConnected(false);
    ComPortOn = 0;
    status_->portClosedByDisconnect = false;
    RefreshStatusDetail();
}

void TForm1::btnWebsiteClick(TObject*) { OpenLink(kWebsiteUrl); }
void TForm1::btnDonateClick(TObject*) { OpenLink(kShopUrl); }
void TForm1::btnHelpClick(TObject*) { OpenLink(kProductUrl); }

void TForm1::OpenLink(const char* url) {
    if (!ShellOpen(url)) SetStatusDetail(Format(sCannotOpenLink, url));
}

void TForm1::pnl4Resize(TObject*) {
    // Below 10 pixels the rule would give a negative height; the pane then closes.
    pnl2->SetHeight(std::max(pnl4->Height() / 2 - 5, 0));
}

void TForm1::SavePaneAs(TRichEdit& pane) {
    const std::string suggested = &pane == redtTCPIPMsg ? "tcp-incoming.txt" : "com-incoming.txt";
    IInteraction* asker = Application().Interaction();
    const std::optional<std::string> path = asker ? asker->SaveFileName("Save As", SettingsDir + suggested) : std::nullopt;
    if (!path || path->empty()) return;
    // Newest line first, as the pane shows it.
    std::ofstream file(*path, std::ios::binary | std::ios::trunc);
    file << pane.Text();
    if (!pane.Text().empty() && pane.Text().back() != '\n') file << '\n';
    file.close();
    if (!file) {
        const int error = errno;
        Application().MessageBox(Format("Cannot write %s: %s", path->c_str(), std::strerror(error)),
                                 Application().Title, MB_OK | MB_ICONERROR);
        return;
    }
    SetStatusDetail(Format("Pane saved to %s", path->c_str()));
}

void TForm1::ShowReceived(TBridgeDirection direction, const std::string& bytes) {
    if (OnReceived) OnReceived(direction, bytes);
    if (!ShowBlocks) return;
    TPaneFeed& feed = direction == TBridgeDirection::TcpToCom ? *tcpFeed_ : *comFeed_;
    feed.Queue(bytes, IncomingFormat, TArrival::Now());
    if (!tmrPaneRender->Enabled()) tmrPaneRender->SetEnabled(true);
}

void TForm1::tmrPaneRenderTimer(TObject*) {
    tmrPaneRender->SetEnabled(false);
    const auto start = std::chrono::steady_clock::now();
    tcpFeed_->Render();
    comFeed_->Render();
    // Rendering that costs much waits longer next time, and bytes that come faster
    // than a pane can keep wait longest: nobody reads them as they fly past, and the
    // thread is the bridge's.
    const auto cost = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    const bool overrun = tcpFeed_->Overrun() || comFeed_->Overrun();
    tmrPaneRender->SetInterval(overrun ? kPaneRenderMaxMs
                                       : static_cast<std::uint32_t>(std::clamp<long long>(
                                             cost.count() * 10, kPaneRenderMs, kPaneRenderMaxMs)));
    ArmPanePause();
}

void TForm1::tmrPanePauseTimer(TObject*) {
    tmrPanePause->SetEnabled(false);
    const auto now = std::chrono::steady_clock::now();
    tcpFeed_->PauseOver(now);
    comFeed_->PauseOver(now);
    ArmPanePause();
}

void TForm1::ArmPanePause() {
    std::optional<std::chrono::steady_clock::time_point> until;
    for (const TPaneFeed* feed : {tcpFeed_.get(), comFeed_.get()})
        if (const auto held = feed->HeldUntil(); held && (!until || *held < *until)) until = held;
    // Restarted either way: a new block moved the pause on.
    tmrPanePause->SetEnabled(false);
    if (!until) return;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*until - std::chrono::steady_clock::now());
    tmrPanePause->SetInterval(static_cast<std::uint32_t>(std::max<long long>(wait.count(), 1)));
    tmrPanePause->SetEnabled(true);
}

// ---- settings ----

void TForm1::btnSaveClick(TObject*) {
    Settings.SetHostText(txbHost->Text());
    Settings.SetPort(StrToIntDef(txbPort->Text(), 0));
    Settings.SetSocketMode(grpTCPSocketType->ItemIndex());
    Settings.SetSerialFlag(ComPortOn);
    Settings.SaveToFile(SettingsFile);
    SetStatusDetail(Format(sSettingsSaved, SettingsFile.c_str()));
}

void TForm1::btnSetupClick(TObject*) {
    try {
        const std::string portBefore = ComPort1->Port();
        ComPort1->ShowSetupDialog();
        // Another port chosen: the lost one is no longer what the user wants.
        if (ComPort1->Port() != portBefore) StopPortRetry();
        // After Cancel too, so the file always holds the settings the port runs with.
        ComPort1->StoreSettings(stIniFile, SettingsDir + kComPortIniFileName);
    } catch (...) {
        Application().MessageBox(sNoComPort, Application().Title, MB_OK);
    }
}

// ---- TCP connection ----

std::int32_t TForm1::PortFromText() const { return TcpPortFromText(txbPort->Text()); }

void TForm1::grpTCPSocketTypeClick(TObject*) {
    btnConnect->SetCaption(grpTCPSocketType->ItemIndex() == 2 ? sTcpListen : sTcpConnect);
}

void TForm1::btnConnectClick(TObject*) {
    if (TcpConnected == 1) {
        btnConnect->SetDown(true);
        return;
    }
    // The connect opens (or closes) the port itself.
    StopPortRetry();
    status_->portClosedByDisconnect = false;
    // Earlier failures go now; what the steps report (a client's failure may come
    // inside its own step) stays.
    RefreshStatusDetail();
    const int mode = grpTCPSocketType->ItemIndex();
    try {
        switch (mode) {
            case 1:
                ClientSocket1->SetHost(txbHost->Text());
                ClientSocket1->SetPort(PortFromText());
                // Before the attempt: an empty host ends it inside the assignment.
                bridge_->Connecting(true);
                ClientSocket1->SetActive(true);
                ComPort1->SetConnected(false);
                break;
            case 2: {
                bridge_->Connecting(false);
                ClientSocket1->SetActive(false);
                const bool wasListening = ServerSocket1->Active();
                ServerSocket1->SetPort(PortFromText());
                ServerSocket1->SetActive(true);
                // An earlier client session's end says nothing about the server.
                if (!wasListening && ServerSocket1->Active() && status_->Text(TSessionStatus::Connection) == sDisconnectedFromServer)
                    status_->Set(TSessionStatus::Connection, "");
                ComPort1->SetConnected(false);
                break;
            }
            default:
                bridge_->Connecting(false);
                ClientSocket1->SetActive(false);
                ServerSocket1->SetActive(false);
                ComPort1->SetConnected(true);
                break;
        }
        if (ComPortOn != 0) ComPort1->SetConnected(true);
        // The listener started or stopped.
        if (mode != 1) RefreshStatusDetail();
    } catch (const std::exception& error) {
        // The steps already done stay done. The box says that it failed; the panel, why.
        const bool portFailed = dynamic_cast<const EComPort*>(&error) != nullptr;
        SetStatusDetail(portFailed ? OpenFailureText(error) : std::string(error.what()));
        Application().MessageBox(sConnectFailed, sConnectFailedCaption, MB_OK);
    }
}

void TForm1::btnDisconnectClick(TObject*) {
    StopPortRetry();
    // The server closes its accepted connections without notifications, so the
    // window says itself that they are gone.
    const bool hadClients = ServerClientConnected != 0;
    session_->CloseTcp();
    ComPort1->SetConnected(false);
    status_->TcpClosed(hadClients);
    imgConectionStatus->SetPicture(bmpDisconnected);
    if (hadClients) btnConnect->SetDown(false);
    ServerClientConnected = 0;
    TcpConnected = 0;
    status_->portClosedByDisconnect = ComPortOn != 0;
    RefreshStatusDetail();
}

// ---- what the session tells ----

void TForm1::ObserveSession() {
    bridge_->OnReceived = [this](TBridgeDirection direction, const std::string& bytes) {
        ShowReceived(direction, bytes);
    };
    // Refusals and limits never apply here (everyone, any number of clients); what is
    // left is trouble the user should see.
    bridge_->OnNotice = [this](TBridgeNotice, const std::string& text) {
        if (!text.empty()) SetStatusDetail(text);
    };
    TBridgeSession::Observers& on = session_->On;
    on.connectedToServer = [this](TCustomWinSocket*) {
        status_->ConnectedToServer();
        ShowConnection(true);
    };
    on.disconnectedFromServer = [this](bool) {
        status_->DisconnectedFromServer();
        ShowConnection(false);
    };
    on.clientConnected = [this](TCustomWinSocket* socket) {
        status_->ClientConnected(socket);
        ServerClientConnected = 1;
        ShowConnection(true);
    };
    on.clientDisconnected = [this](TCustomWinSocket* socket, int remaining) { ClientDisconnected(socket, remaining); };
    on.socketError = [this](TCustomWinSocket* socket, const std::string& text, int code, bool accepted) {
        // Absorbed: no box. The text tells the user why "TCP Connect" seemed to do
        // nothing, why the connection ended, or which client failed.
        status_->SocketError(socket, text, code, accepted);
    };
    on.portLost = [this] { PortLost(); };
    on.portBack = [this] { status_->PortBack(); };
    on.wantPort = [this] { return ComPortOn != 0; };
}

void TForm1::ShowConnection(bool connected) {
    imgConectionStatus->SetPicture(connected ? bmpConnected : bmpDisconnected);
    btnConnect->SetDown(connected);
    TcpConnected = connected ? 1 : 0;
}

void TForm1::ClientDisconnected(TCustomWinSocket* socket, int remaining) {
    // While another accepted client remains, the bridge is still connected to it.
    if (remaining == 0) {
        ServerClientConnected = 0;
        ShowConnection(false);
    }
    status_->ClientDisconnected(socket);
}

void TForm1::PortLost() {
    const bool wanted = ComPortOn != 0;
    status_->PortLost(wanted);
    if (wanted) return;
    // Opened without "Com-Port On" (a connect in mode Off): as after a failed one.
    btnComPortOn->SetDown(false);
    btnComPortOff->SetDown(false);
}

// ---- message formats and manual sending ----

void TForm1::rdSendFormatClick(TObject*) { SendFormat = rdSendFormat->ItemIndex(); }

void TForm1::rdIncomingFormatClick(TObject*) { IncomingFormat = rdIncomingFormat->ItemIndex(); }

TLineEnds TForm1::LineEnds() const { return TLineEnds{chkCarriageReturn->Checked(), chkNewLine->Checked()}; }

std::string TForm1::EncodeMessage(const std::string& text) {
    TEncodedMessage message = ConvertMessage(text, SendFormat, LineEnds());
    if (!message.error.empty())
        Application().MessageBox(message.error, sFormatErrorCaption, MB_OK | MB_ICONWARNING);
    return std::move(message.bytes);
}

std::string TForm1::RenderBytes(const std::string& bytes) const { return FormatBytes(bytes, IncomingFormat); }

void TForm1::btnTCPSendMessageClick(TObject*) {
    // A format error (or, in String, a character with no single byte) is refused
    // with its box rather than sent mangled.
    TEncodedMessage message = ConvertMessage(txbSendMessage->Text(), SendFormat, LineEnds());
    if (!message.error.empty()) {
        Application().MessageBox(message.error, sFormatErrorCaption, MB_OK | MB_ICONWARNING);
        return;
    }
    // Each side with a live connection gets it: the accepted client that takes the
    // serial data, and the client socket. A listener without clients is no target.
    std::vector<TCustomWinSocket*> targets;
    if (ServerSocket1->Active())
        if (TCustomWinSocket* client = bridge_->FirstServerClient()) targets.push_back(client);
    if (ClientSocket1->WinSocket()->IsConnected()) targets.push_back(ClientSocket1->WinSocket());
    if (targets.empty()) {
        SetStatusDetail(sNoTcpConnection);
        return;
    }
    // Behind whatever the bridge has queued for the same connection.
    for (TCustomWinSocket* target : targets) bridge_->SendToTcp(target, message.bytes);
}

void TForm1::btnSendComClick(TObject*) {
    TEncodedMessage message = ConvertMessage(txbCom->Text(), SendFormat, LineEnds());
    if (!message.error.empty()) {
        Application().MessageBox(message.error, sFormatErrorCaption, MB_OK | MB_ICONWARNING);
        return;
    }
    if (!ComPort1->Connected()) {
        SetStatusDetail(sComPortIsClosed);
        return;
    }
    if (!message.bytes.empty()) bridge_->WriteSerial(std::move(message.bytes));
}

void TForm1::txbSendMessageKeyPress(TObject*, char& Key) {
    if (Key != '\r') return;
    btnTCPSendMessage->Click();
    txbSendMessage->SelectAll();
}

// Enter sends, as in the TCP message field; the text stays selected for the next one.
void TForm1::txbComKeyPress(TObject*, char& Key) {
    if (Key != '\r') return;
    btnSendCom->Click();
    txbCom->SelectAll();
}

}  // namespace portvale
