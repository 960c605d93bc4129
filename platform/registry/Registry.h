#pragma once
// The registry the port component is written against: keys (backslash-separated
// paths, matched without regard to case, as on Windows) holding named string and
// 32-bit integer values, under the two roots HKEY_CURRENT_USER and
// HKEY_LOCAL_MACHINE. Names live in portvale::reg so the Windows error numbers never
// clash with the serial layer's.
//
// Storage: each root is one text file (user.reg, machine.reg) in the user's
// configuration directory ($XDG_CONFIG_HOME/portvale, else ~/.config/portvale), in a
// REGEDIT4-like form that can be read and edited by hand. Every change rewrites the
// file through a temporary sibling renamed over it, so a crash leaves the old file or
// the new one, never half of either; changes from several processes are serialised
// by a lock file. There is no administrator on this side: HKEY_LOCAL_MACHINE is the
// user's own file too.
//
// HKEY_LOCAL_MACHINE\HARDWARE is read-only and synthesised: its key
// HARDWARE\DEVICEMAP\SERIALCOMM lists the system's serial ports (SerialDevices.h), one
// string value per port whose data is the name a port accepts. As on Windows, the key
// exists only while there is at least one port.
//
// Calls return ERROR_SUCCESS or a Windows error number. Thread-safe.

#include <cstdint>
#include <string>

namespace portvale::reg {

using HKEY = std::uintptr_t;
using LSTATUS = std::int32_t;
using DWORD = std::uint32_t;
using REGSAM = std::uint32_t;

inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;

// Windows error numbers the registry returns.
inline constexpr LSTATUS ERROR_SUCCESS = 0;
inline constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
inline constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
inline constexpr LSTATUS ERROR_INVALID_HANDLE = 6;
inline constexpr LSTATUS ERROR_OUTOFMEMORY = 14;
inline constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
inline constexpr LSTATUS ERROR_BAD_PATHNAME = 161;
inline constexpr LSTATUS ERROR_MORE_DATA = 234;
inline constexpr LSTATUS ERROR_NO_MORE_ITEMS = 259;
inline constexpr LSTATUS ERROR_BADDB = 1009;             // the store's text cannot be read as a store
inline constexpr LSTATUS ERROR_REGISTRY_IO_FAILED = 1016;
inline constexpr LSTATUS ERROR_KEY_DELETED = 1018;       // the open key is gone from the store

// Value types; only strings and 32-bit integers are kept.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_DWORD = 4;

// Access rights.
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// RegCreateKeyEx's disposition.
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// subKey is relative to key (a root or an open key); "" opens key itself again. A
// trailing backslash is ignored; a leading one or an empty name in the middle is
// ERROR_BAD_PATHNAME. ERROR_FILE_NOT_FOUND when the key does not exist.
LSTATUS RegOpenKeyEx(HKEY key, const std::string& subKey, DWORD options, REGSAM access,
                     HKEY* result);
// Opens the key, creating it and every missing key above it. disposition may be null.
LSTATUS RegCreateKeyEx(HKEY key, const std::string& subKey, REGSAM access, HKEY* result,
                       DWORD* disposition);
LSTATUS RegCloseKey(HKEY key);

// Windows' buffer rules: with data null, *dataSize receives the size; a buffer too
// small gives ERROR_MORE_DATA with the needed size in *dataSize. A string's size
// counts its terminating zero. type may be null. A missing value: ERROR_FILE_NOT_FOUND.
LSTATUS RegQueryValueEx(HKEY key, const std::string& valueName, DWORD* type, void* data,
                        DWORD* dataSize);
// REG_SZ takes the bytes up to the first zero; REG_DWORD takes exactly 4 bytes.
LSTATUS RegSetValueEx(HKEY key, const std::string& valueName, DWORD type, const void* data,
                      DWORD dataSize);
LSTATUS RegDeleteValue(HKEY key, const std::string& valueName);
// The value at index, in the order the values were first set. *nameSize holds the
// name buffer's size in characters, its zero included, and receives the name's
// length without it; data and dataSize as for RegQueryValueEx. Past the last value:
// ERROR_NO_MORE_ITEMS.
LSTATUS RegEnumValue(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* type,
                     void* data, DWORD* dataSize);

// The errno behind the calling thread's last failure of a call above, 0 when the
// failure was not the system's.
int RegLastSystemError();

// The directory holding the store. "" restores the default (read from the environment
// at each call). Tests point it at a directory of their own.
void SetRegistryRoot(const std::string& directory);
std::string RegistryRoot();

}  // namespace portvale::reg
