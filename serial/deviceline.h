#pragma once
// The line the device expects, shared by every part of democomm that talks to it: 8 data
// bits, no parity, 2 stop bits, no flow control of any kind, DTR off, RTS raised only while
// sending (for RS-485 adapters that switch direction on it), no byte replaced or dropped.
// Port name, baud rate and time-outs are left to the caller.

class TComm;

namespace serial {

void ConfigureDeviceLine(TComm& comm);

} // namespace serial
