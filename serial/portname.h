#pragma once
// Port names as the user types them, turned into device paths.
//
//   - a name containing '/' is a path and is used as given;
//   - "COMn" (any case, n >= 1) is the alias "COMn" in the alias folder when that folder is
//     trusted and holds it, otherwise /dev/ttyS<n-1>;
//   - any other name is looked up under /dev;
//   - "tcp://HOST:PORT" (the scheme in any case) is a serial device server's raw TCP port,
//     which carries the line's bytes as they are: HOST an IPv4 address, an IPv6 address in
//     brackets or a host name, PORT 1..65535. It stays as typed (it holds a '/').
//
// The alias folder is where the simulated device (and anyone else) publishes a pseudo-terminal
// under a COM name: $XDG_RUNTIME_DIR/democomm when XDG_RUNTIME_DIR is set to an absolute path,
// else /tmp/democomm-<uid>. It is trusted only when it is a real directory (not a link) owned
// by the current user and not writable by group or others, so another user cannot redirect
// our port names. All functions are safe on any thread.

#include <cstdint>
#include <optional>
#include <string>

namespace serial {

// Where a tcp:// name leads: the host as typed (an IPv6 address without its brackets) and
// the port.
struct TcpEndpoint {
    std::string host;
    uint16_t port = 0;
};

// True when `name` is meant as a network port: it starts with "tcp://" in any case.
bool IsTcpName(const std::string& name);

// The endpoint of a tcp:// name; nullopt when the rest is not HOST:PORT as above (no host,
// no port or one outside 1..65535, an IPv6 address without brackets, anything after the port).
std::optional<TcpEndpoint> ParseTcpName(const std::string& name);

// The alias folder's path (whether or not it exists).
std::string AliasFolder();

// True when `folder` exists and may be trusted (see above).
bool IsTrustedAliasFolder(const std::string& folder);

// Creates the alias folder (mode 0700) if needed and checks it is trusted. Returns the empty
// string on success, else a short English reason (for the simulator's messages).
std::string PrepareAliasFolder();

// The device path for `name`.
std::string ResolvePortName(const std::string& name);

// n of "COMn" (any case, decimal, n >= 1), or 0 when `name` is not such a name.
long ComNumber(const std::string& name);

} // namespace serial
