// democomm-modbus-slave PATH: a Modbus RTU slave built on libmodbus, a protocol
// implementation none of us wrote, holding the data of e2e_peers.h at the device's addresses
// (writes with 06 and 10 hex change them). Prints "ready" once the line is open, then serves
// until killed or the line goes.
#include "e2e_peers.h"

#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>

int main(int argc, char** argv) {
    modbus_t* ctx = modbus_new_rtu(argc > 1 ? argv[1] : "", 9600, 'N', 8, 2);
    // One block of registers from 0000 to 0107 covers both ranges the windows read.
    modbus_mapping_t* map =
        modbus_mapping_new_start_address(0, 0, e2e::kInputStart, 12, 0, 0x108, 0, 0);
    if (!ctx || !map || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "democomm-modbus-slave: %s\n", modbus_strerror(errno));
        return 1;
    }
    std::copy(std::begin(e2e::kSlaveWorking), std::end(e2e::kSlaveWorking), map->tab_registers);
    std::copy(std::begin(e2e::kSlaveSetpoints), std::end(e2e::kSlaveSetpoints),
              map->tab_registers + 0x100);
    for (int i = 0; i < 12; ++i)
        map->tab_input_bits[i] = (e2e::kSlaveInputs >> i) & 1;
    std::printf("ready\n");
    std::fflush(stdout);
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    for (int rc; (rc = modbus_receive(ctx, query)) >= 0 ||
                 (errno != EBADF && errno != EIO && errno != ENXIO);)
        if (rc > 0) // 0: a frame for another slave; below 0: a bad frame. Serve on.
            modbus_reply(ctx, query, rc, map);
    return 0; // the line has gone
}
