#pragma once
// libmodbus as the master the benchmarks compare against: the simulator's line at `baud`
// (9600 unless given), 8 data bits, no parity, 2 stop bits, slave 1, a 500 ms response time-out.
#include <modbus.h>

#include <string>

namespace bench {

// Connects, runs `body(ctx)` and closes; false when libmodbus could not open the line.
template <class Body> bool WithLibmodbus(const std::string& port, Body body, int baud = 9600) {
    modbus_t* ctx = modbus_new_rtu(port.c_str(), baud, 'N', 8, 2);
    if (!ctx)
        return false;
    const bool open = modbus_set_slave(ctx, 1) == 0 && modbus_connect(ctx) == 0;
    if (open) {
        modbus_set_response_timeout(ctx, 0, 500000);
        body(ctx);
        modbus_close(ctx);
    }
    modbus_free(ctx);
    return open;
}

} // namespace bench
