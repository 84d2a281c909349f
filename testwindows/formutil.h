#pragma once
// Pieces every test window shares: the serial settings of their window definitions, the
// message-log rules, and the copy of a delivery into a window's receive buffer.
// User-interface thread only.

#include <QString>

#include <array>
#include <cstdint>
#include <span>
#include <string>

class QKeyEvent;
class QPlainTextEdit;
class QWidget;
class TComm;

namespace testwindows {

// Size of each window's ReceiveBuffer.
constexpr std::size_t ReceiveBufferSize = 1024;
using TReceiveBuffer = std::array<uint8_t, ReceiveBufferSize>;

// Sets every TComm property the test windows' definitions set: 8 data bits, no parity,
// 2 stop bits, no flow control, DTR off, RTS while transmitting, reads complete after
// 1000 ms of silence, reply watchdog 20000 ms. Port name and baud rate are the
// definitions' "COM2"/9600 until ShowWithPort replaces them.
void ConfigureComm32(TComm& comm);

// The number of lines a log memo holds (an empty memo holds 0).
int LineCount(const QPlainTextEdit* memo);

// The number of lines of a text where a last empty line does not count: "" 0, "1F4" 1,
// "1F4\n" 1, "1F4\n\n" 2, "\n1F4" 2.
int TextLineCount(const QString& text);

// Logs a frame handed to the port: a log of more than 100 lines is emptied first, then
// "发送:" and the frame line are added.
void LogSent(QPlainTextEdit* memo, const std::string& frameLine);

// Logs a delivery that passed the CRC test: "接收:" and the frame line; never empties.
void LogReceived(QPlainTextEdit* memo, const std::string& frameLine);

// Copies a delivery to the start of `buffer` (at most its 1024 bytes; the rest of the
// buffer keeps what earlier deliveries left) and returns the delivered bytes, on which
// the reply checks are made. Nothing outside either is read or written.
std::span<const uint8_t> CopyDelivery(TReceiveBuffer& buffer, const void* data, uint16_t length);

// Moves a top-level window so that it is centred on its screen.
void CentreOnScreen(QWidget* window);

// True (and the event accepted) for a plain Esc: the test windows close by their exit
// button and the close box only, so Esc must not reach QDialog, which would close them.
bool IgnoreEscape(QKeyEvent* event);

} // namespace testwindows
