#include "serial/errordetails.h"

#include "serial/portname.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>

namespace serial {

namespace {

// A network port: the server and port, the system's (or the resolver's) reason, what to check.
std::string NetworkDetails(const std::string& name, int code) {
    const std::optional<TcpEndpoint> endpoint = ParseTcpName(name);
    if (!endpoint)
        return "Port name: " + name +
               "\nA serial device server is named tcp://HOST:PORT: an IPv4 address, an IPv6 "
               "address in brackets or a host name, then the port number (1 to 65535), such "
               "as tcp://192.0.2.10:4001 or tcp://[2001:db8::10]:4001.";
    std::string text = "Server: " + endpoint->host + ", port " + std::to_string(endpoint->port);
    if (code != 0)
        text += std::string("\nReason: ") + (code < 0 ? ::gai_strerror(code) : std::strerror(code));
    if (code < 0) {
        text += "\nThe host name is not known here: check it, or type the server's address "
                "instead (tcp://192.0.2.10:4001).";
        return text;
    }
    switch (code) {
    case ECONNREFUSED:
        text += "\nNothing takes connections on that port: check that the device server is on, "
                "that this is the TCP port of its serial port in TCP server (raw) mode, and "
                "that no other program is connected to it.";
        break;
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
        text += "\nThe server does not answer: check its address, the network cable and that "
                "the device server is on.";
        break;
    case ECONNRESET:
    case EPIPE:
        text += "\nThe server ended the connection (it may have restarted, or taken another "
                "client). Open the port again.";
        break;
    default:
        break;
    }
    return text;
}

} // namespace

std::string CommsErrorDetails(const ECommsError& error) {
    if (error.Path().empty())
        return {};
    if (IsTcpName(error.Path()))
        return NetworkDetails(error.Path(), error.SystemError());
    std::string text = "Device: " + error.Path();
    const int code = error.SystemError();
    if (code != 0)
        text += std::string("\nReason: ") + std::strerror(code);
    switch (code) {
    case EACCES:
    case EPERM:
        text += "\nSerial ports belong to the group dialout. Join it with "
                "\"sudo adduser $USER dialout\", then log out and log in again.";
        break;
    case EBUSY:
        text += "\nThe port is held by another program (or another democomm window). Close it "
                "there and try again.";
        break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        text += "\nCheck the port name. COMn stands for /dev/ttyS<n-1> (COM1 is /dev/ttyS0) "
                "unless an alias COMn exists in " +
                AliasFolder() + "; a USB adapter is usually /dev/ttyUSB0, typed as a path.";
        break;
    case ENOTTY:
        text += "\nThis is not a serial device: choose a serial port such as /dev/ttyS0 or "
                "/dev/ttyUSB0.";
        break;
    default:
        break;
    }
    return text;
}

} // namespace serial
