#pragma once
// The TCP socket layer: socket objects, the client socket component and the server
// socket component.

#include "sockets/ClientSocket.h"
#include "sockets/ServerSocket.h"
#include "sockets/WinSocket.h"
