#pragma once
// The lines a bridge tells about itself, the same in the window's status panels and
// in the log of a bridge without one: what the connection and the serial port are
// doing, and why something failed.

namespace portvale {

// The connection (the window's first status panel).
inline constexpr char sNoConnection[] = "No Connection";
inline constexpr char sConnectedToServer[] = "Connected to Server";
inline constexpr char sDisconnectedFromServer[] = "Disconnected from Server";
inline constexpr char sClientConnected[] = "Client Connected";
inline constexpr char sClientDisconnected[] = "Client Disconnected";

// Starting the connection: why it failed goes to the detail, and a box says that it
// did.
inline constexpr char sConnectFailed[] = "Ba\xC4\x9F" "lant\xC4\xB1 Kurulamad\xC4\xB1.!";
inline constexpr char sConnectFailedCaption[] = "Hata";
inline constexpr char sTcpPortRange[] = "TCP port must be 1 to 65535";

// The serial port.
inline constexpr char sComPortLost[] = "Com port lost: %s";
inline constexpr char sComPortLostRetrying[] = "Com port lost: %s, retrying";
inline constexpr char sComPortBack[] = "Com port back: %s";
inline constexpr char sCannotOpenPort[] = "Cannot open %s: %s";

// What the user needs to know next (the window's second status panel).
inline constexpr char sListeningOn[] = "Listening on port %d (%s)";
inline constexpr char sListeningOnAddress[] = "Listening on %s";
inline constexpr char sClientsConnected[] = "%d %s; serial data to %s";
inline constexpr char sClientError[] = "Client %s: %s (%d)";
inline constexpr char sComPortClosedByDisconnect[] = "Com port closed; TCP Connect or Listen opens it again";

}  // namespace portvale
