#include "master/session.h"

#include "modbus/codec.h"

#include <stdexcept>
#include <string>

namespace master {

Request Request::ReadHoldingRegisters(uint8_t slave, uint16_t address, uint16_t count) {
    return {Function::ReadHoldingRegisters, slave, address, count, {}, 0};
}

Request Request::ReadDiscreteInputs(uint8_t slave, uint16_t address, uint16_t count) {
    return {Function::ReadDiscreteInputs, slave, address, count, {}, 0};
}

Request Request::WriteSingleRegister(uint8_t slave, uint16_t address, uint16_t value) {
    return {Function::WriteSingleRegister, slave, address, 1, {value}, 0};
}

Request Request::WriteMultipleRegisters(uint8_t slave, uint16_t address,
                                        std::vector<uint16_t> values) {
    const auto count = static_cast<uint16_t>(values.size());
    return {Function::WriteMultipleRegisters, slave, address, count, std::move(values), 0};
}

Bytes Request::Frame() const {
    auto refuse = [](const std::string& why) { throw std::invalid_argument(why); };
    if (slave < 1 || slave > 247)
        refuse("slave address " + std::to_string(slave) + " is outside 1..247");
    switch (function) {
    case Function::ReadDiscreteInputs:
    case Function::ReadHoldingRegisters: {
        const int most = function == Function::ReadDiscreteInputs ? 2000 : 125;
        if (count < 1 || count > most)
            refuse("count " + std::to_string(count) + " is outside 1.." + std::to_string(most));
        if (address + count - 1 > 0xFFFF)
            refuse("address + count passes FFFF");
        const auto f =
            modbus::BuildRequest(slave, static_cast<uint8_t>(function), address, count);
        return {f.begin(), f.end()};
    }
    case Function::WriteSingleRegister: {
        if (values.size() != 1)
            refuse("function 06 writes exactly one value");
        const auto f = modbus::BuildRequest(slave, 0x06, address, values[0]);
        return {f.begin(), f.end()};
    }
    case Function::WriteMultipleRegisters:
        if (values.empty() || values.size() > 123)
            refuse("function 10 writes 1..123 values, not " + std::to_string(values.size()));
        if (address + values.size() - 1 > 0xFFFF)
            refuse("address + count passes FFFF");
        return modbus::BuildWriteMultipleRequest(slave, address, values);
    }
    refuse("unknown function");
    return {};
}

std::size_t Request::ReplyLength() const {
    switch (function) {
    case Function::ReadDiscreteInputs:
        return 5 + (count + 7u) / 8u;
    case Function::ReadHoldingRegisters:
        return 5 + 2u * count;
    case Function::WriteSingleRegister:
    case Function::WriteMultipleRegisters:
        return 8;
    }
    return 0;
}

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Ok:
        return "ok";
    case Outcome::CrcFailure:
        return "crc";
    case Outcome::ShortReply:
        return "short";
    case Outcome::Exception:
        return "exception";
    case Outcome::Timeout:
        return "timeout";
    case Outcome::NotEchoed:
        return "not-echoed";
    case Outcome::PortLost:
        return "port-lost";
    case Outcome::Cancelled:
        return "cancelled";
    }
    return "?";
}

} // namespace master

// ---- placeholder until the exchange lands (same commit series) ----
namespace master {
struct Session::Impl {};
Session::Session(QObject* parent) : QObject(parent), comm_(std::make_unique<TComm>()) {}
Session::~Session() = default;
void Session::Open(const QString& portName, uint32_t baudRate) {
    comm_->setCommName(portName);
    comm_->setBaudRate(baudRate);
    comm_->OpenPort();
}
void Session::Close() { comm_->ClosePort(); }
bool Session::IsOpen() const { return comm_->IsOpen(); }
uint64_t Session::Submit(const Request& request, Callback) {
    request.Frame();
    return 0;
}
void Session::ClearQueue() {}
std::size_t Session::Pending() const { return 0; }
void Session::setResponseTimeout(int ms) { responseTimeoutMs_ = ms; }
void Session::setInterval(int ms) { intervalMs_ = ms; }
int Session::LateGuard() const { return lateGuardMs_ < 0 ? 3 * responseTimeoutMs_ : lateGuardMs_; }
void Session::setLateGuard(int ms) { lateGuardMs_ = ms; }
void Session::setSettleTime(int ms) { settleMs_ = ms; }
Statistics Session::Stats() const { return {}; }
void Session::ResetStats() {}
} // namespace master
