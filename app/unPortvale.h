#pragma once
// The bridge application: the main window TForm1 with its controls, its three
// components (the serial port and the client and server sockets), its module-level
// state and every handler.
//
// Threading: everything here runs on the GUI thread. Socket notifications arrive as
// dispatcher messages and serial events through the port's event thread's
// synchronise, so no two handlers ever run at once and the state needs no lock.
// Handlers may be re-entered from a nested loop (a message box), as on Windows.
//
// Errors: a handler lets what it does not handle itself escape; the front end's
// dispatch boundary (Guarded) hands it to the application's central handler, which
// shows it in a box captioned with the title.
//
// Settings live in the current directory at initialisation: "TCP.SET" (app/
// TcpSettings.h) and "comport.ini".

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/Bridge.h"
#include "app/BridgeSession.h"
#include "app/SessionStatus.h"
#include "app/BridgeTexts.h"
#include "app/BridgeFilter.h"
#include "app/MessageFormat.h"
#include "app/PaneFeed.h"
#include "app/SerialWriter.h"
#include "app/TcpSender.h"
#include "app/TcpSettings.h"
#include "comport/ComPort.h"
#include "framework/Timer.h"
#include "framework/controls/Controls.h"
#include "sockets/SocketComponents.h"

namespace portvale {

// The three web addresses behind "Website", "Buy" and "Help".
inline constexpr char kWebsiteUrl[] = "https://portvale.org/";
inline constexpr char kShopUrl[] = "https://portvale.org/shop";
inline constexpr char kProductUrl[] = "https://portvale.org/portvale";

// Texts of the window that tests and front ends refer to.
inline constexpr char sFormatErrorCaption[] = "Format Error";
inline constexpr char sTcpConnect[] = "TCP Connect";
inline constexpr char sTcpListen[] = "TCP Listen";
inline constexpr char sNoComPort[] = "There is no Com Port";

// The serial port's settings, beside "TCP.SET" in SettingsDir.
inline constexpr char kComPortIniFileName[] = "comport.ini";

// Status panel 1: what the user needs to know next. Panel 0 keeps the connection.
inline constexpr char sComPortIsClosed[] = "Com port is closed";
inline constexpr char sNoTcpConnection[] = "No TCP connection";
inline constexpr char sSettingsSaved[] = "Settings saved to %s";
inline constexpr char sCannotOpenLink[] = "Cannot open %s: no web browser opener (xdg-open) found";

class TForm1 : public TForm {
public:
    explicit TForm1(TComponent* owner);
    ~TForm1() override;

    // Creates the window as the program starts: the form with its controls, then its
    // creation handler (InitMainWindow), then the default "TCP.SET" when there is
    // none. Errors of those steps are shown by the central handler; the form lives.
    static std::unique_ptr<TForm1> CreateMainWindow();

    // ---- controls ----
    TImageList* il1;
    TToolBar* tlb1;
    TToolButton* btnConnect;
    TToolButton* btnDisconnect;
    TToolButton* btnSeparator1;
    TToolButton* btnComPortOn;
    TToolButton* btnComPortOff;
    TToolButton* btnSeparator2;
    TToolButton* btnSetup;
    TToolButton* btnSave;
    TToolButton* btnSeparator3;
    TToolButton* btnWebsite;
    TToolButton* btnDonate;
    TToolButton* btnHelp;

    TPanel* pnl1;
    TLabel* lblHost;
    TEdit* txbHost;
    TLabel* lblPort;
    TEdit* txbPort;
    TLabel* lblSendMessage;
    TEdit* txbSendMessage;
    TButton* btnTCPSendMessage;
    TLabel* lblCom;
    TEdit* txbCom;
    TButton* btnSendCom;
    TCheckBox* chkCarriageReturn;
    TCheckBox* chkNewLine;
    TRadioGroup* grpTCPSocketType;
    TRadioGroup* rdSendFormat;
    TRadioGroup* rdIncomingFormat;

    TPanel* pnl4;
    TPanel* pnl2;
    TGroupBox* grp1;
    TRichEdit* redtTCPIPMsg;
    TPanel* pnl3;
    TGroupBox* grp2;
    TRichEdit* redtComPortMsg;
    // Right click on a pane: "Clear", "Copy", "Save As...", "Show Time".
    TPopupMenu* pmTCPIPMsg;
    TPopupMenu* pmComPortMsg;
    TPanel* pnl5;
    TImage* imgConectionStatus;
    TLabel* lbl4;

    TStatusBar* stat1;
    // Renders the bytes queued for the panes: a burst costs one rendering.
    TTimer* tmrPaneRender;
    void tmrPaneRenderTimer(TObject* Sender);
    // Ends a pane's pause: bytes held for a character that never finished are shown.
    TTimer* tmrPanePause;
    void tmrPanePauseTimer(TObject* Sender);

    // ---- components: the session's, which the form names and owns ----
    TComPort* ComPort1;
    TClientSocket* ClientSocket1;
    TServerSocket* ServerSocket1;
    // The running bridge that the window shows and drives.
    TBridgeSession& Session() { return *session_; }

    // ---- module-level state ----
    std::uint8_t ComPortOn = 0;
    std::uint8_t TcpConnected = 0;
    std::uint8_t ServerClientConnected = 0;
    std::string SettingsDir;
    std::string SettingsFile;
    TTcpSettings Settings;
    TBitmap bmpConnected;
    TBitmap bmpDisconnected;
    int SendFormat = mfString;
    int IncomingFormat = mfString;
    // The bridging between the port and the sockets. Observers (capture files,
    // counters), the filter and the client policy are set on it.
    TBridge& Bridge() { return *bridge_; }
    // Every block that arrived on either side, as the panes are given it.
    TReceivedEvent OnReceived;
    // Whether forwarded blocks are rendered into the panes. A front end that shows
    // them nowhere (headless without a log) turns it off and saves the work.
    bool ShowBlocks = true;
    // Bytes for a connection behind what it has queued (the filter's answers).
    void SendToTcp(TCustomWinSocket* socket, std::string bytes) { bridge_->SendToTcp(socket, std::move(bytes)); }
    // While held, the device's bytes wait in the port instead of going to TCP.
    void HoldSerial(bool hold) { bridge_->HoldSerial(hold); }

    // ---- start-up ----
    void InitMainWindow();
    void FormCreate(TObject* Sender);
    void FormShow(TObject* Sender);
    // Writes the default record when SettingsFile does not exist.
    void WriteDefaultSettingsIfMissing();

    // ---- serial port, links, panes ----
    void btnComPortOnClick(TObject* Sender);
    void btnComPortOffClick(TObject* Sender);
    void btnWebsiteClick(TObject* Sender);
    void btnDonateClick(TObject* Sender);
    void btnHelpClick(TObject* Sender);
    void pnl4Resize(TObject* Sender);
    // Writes the pane's text to a file the user picks.
    void SavePaneAs(TRichEdit& pane);
    // Shows bytes that arrived in the direction's pane, in the incoming format.
    void ShowReceived(TBridgeDirection direction, const std::string& bytes);

    // ---- settings ----
    void btnSaveClick(TObject* Sender);
    void btnSetupClick(TObject* Sender);

    // ---- TCP connection ----
    void grpTCPSocketTypeClick(TObject* Sender);
    void btnConnectClick(TObject* Sender);
    void btnDisconnectClick(TObject* Sender);

    // ---- bridging ----
    bool RetryingPort() const { return session_->RetryingPort(); }
    // Where serial data goes: the oldest accepted client still connected, else the
    // connected client socket, else nowhere (null).
    TCustomWinSocket* SerialTarget() const { return bridge_->SerialTarget(); }
    // Bytes waiting to be written: to the serial port, and to the TCP side.
    std::size_t SerialBacklog() const { return bridge_->SerialBacklog(); }
    std::size_t TcpBacklog() const { return bridge_->TcpBacklog(); }

    // ---- message formats and manual sending ----
    void rdSendFormatClick(TObject* Sender);
    void rdIncomingFormatClick(TObject* Sender);
    void btnTCPSendMessageClick(TObject* Sender);
    void btnSendComClick(TObject* Sender);
    void txbSendMessageKeyPress(TObject* Sender, char& Key);
    void txbComKeyPress(TObject* Sender, char& Key);
    // The typed text as bytes by SendFormat with the chosen line ends; on a format
    // error the box is shown here and the result is empty.
    std::string EncodeMessage(const std::string& text);
    // Received bytes as text by IncomingFormat.
    std::string RenderBytes(const std::string& bytes) const;

private:
    void BuildControls();
    void BuildToolBar();
    void BuildTopPanel();
    void BuildLogArea();
    void SetStatusDetail(const std::string& text) { status_->SetDetail(text); }
    TPopupMenu* BuildPaneMenu(TRichEdit* pane, TPaneFeed& feed, const char* name);
    // Panel 1 set to what holds now, dropping a text that no longer does: a lost port
    // being retried, a port a disconnect closed, the listener and its clients, or
    // nothing.
    void RefreshStatusDetail() { status_->Refresh(); }
    std::string OpenFailureText(const std::exception& error) const { return status_->OpenFailureText(error); }
    void OpenLink(const char* url);
    void StopPortRetry() { session_->StopPortRetry(); }
    // What the session tells, shown in the status panels.
    void ObserveSession();
    void ShowConnection(bool connected);
    void ClientDisconnected(TCustomWinSocket* socket, int remaining);
    void PortLost();
    // The port text as a number, by the Decimal format's integer conversion.
    std::int32_t PortFromText() const;
    TLineEnds LineEnds() const;

    // Set for the earliest time a pane holds bytes to, or stopped.
    void ArmPanePause();

    std::unique_ptr<TPaneFeed> tcpFeed_;
    std::unique_ptr<TPaneFeed> comFeed_;
    std::unique_ptr<TBridgeSession> session_;
    TBridge* bridge_ = nullptr;
    // The status panels' texts.
    std::unique_ptr<TSessionStatus> status_;
};

}  // namespace portvale
