// democomm-modbus-slave: a Modbus RTU slave built on libmodbus, an implementation of the
// protocol that none of us wrote, holding the device's data at the device's addresses.
// The end-to-end tests put it on one end of a socat pair and a master on the other.
//
//   democomm-modbus-slave PATH [SLAVE [BAUD]]
//
// Holding registers 0000..0004 (working data) and 0100..0107 (set-points) hold fixed,
// known values (listed in e2e_peers.h as kSlaveWorking and kSlaveSetpoints); discrete inputs
// 0300..030B hold kSlaveInputs. Writes with 06 and 10 hex change the registers. Prints
// "ready" once the line is open, then serves until killed.
#define E2E_PEERS_CONSTANTS_ONLY
#include "e2e_peers.h"

#include <modbus.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: democomm-modbus-slave PATH [SLAVE [BAUD]]\n");
        return 2;
    }
    const int slave = argc > 2 ? std::atoi(argv[2]) : 1;
    const int baud = argc > 3 ? std::atoi(argv[3]) : 9600;
    modbus_t* ctx = modbus_new_rtu(argv[1], baud, 'N', 8, 2);
    if (!ctx || modbus_set_slave(ctx, slave) != 0 || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "democomm-modbus-slave: cannot open %s: %s\n", argv[1], modbus_strerror(errno));
        return 1;
    }
    // One block of registers from 0000 to 0107 covers both ranges the windows read.
    modbus_mapping_t* map = modbus_mapping_new_start_address(0, 0, e2e::kInputStart, 12, 0, 0x108, 0, 0);
    if (!map) {
        std::fprintf(stderr, "democomm-modbus-slave: %s\n", modbus_strerror(errno));
        return 1;
    }
    for (int i = 0; i < 5; ++i)
        map->tab_registers[i] = e2e::kSlaveWorking[i];
    for (int i = 0; i < 8; ++i)
        map->tab_registers[0x100 + i] = e2e::kSlaveSetpoints[i];
    for (int i = 0; i < 12; ++i)
        map->tab_input_bits[i] = (e2e::kSlaveInputs >> i) & 1;

    std::printf("ready\n");
    std::fflush(stdout);
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        const int rc = modbus_receive(ctx, query);
        if (rc > 0) {
            modbus_reply(ctx, query, rc, map);
        } else if (rc < 0 && (errno == EBADF || errno == EIO || errno == ENXIO)) {
            break; // the line has gone
        }
        // rc == 0: a frame for another slave; rc < 0 otherwise: a bad frame. Serve on.
    }
    modbus_mapping_free(map);
    modbus_close(ctx);
    modbus_free(ctx);
    return 0;
}
