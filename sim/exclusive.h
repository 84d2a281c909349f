#pragma once
// Exclusive mode a client left behind on the simulator's pseudo-terminal.
//
// democomm's programs open a port with flock(LOCK_EX) and then the terminal's exclusive mode
// (TIOCEXCL), and clear both when they close it. A client that is killed outright (SIGKILL)
// loses its lock with its last descriptor, but the exclusive mode is a flag on the terminal,
// which lives as long as the simulator holds the pseudo-terminal: every later open would be
// refused until the simulator restarts. A real serial device does not need this: the kernel
// drops the flag on its last close.

#include <string>
#include <thread>

namespace sim {

// Clears the exclusive mode of the terminal whose slave end is `slaveFd` when it is set but
// no process holds the flock that goes with it any more. Returns true when it cleared one.
// A program that holds the lock keeps its exclusive mode; while the lock is tested (a few
// microseconds) only programs that the flag refuses anyway could be turned away.
bool ClearStaleExclusive(int slaveFd);

// Runs ClearStaleExclusive on its own thread whenever a program closes the terminal at `path`
// (inotify), again every millisecond for a while after that (the closing program may not
// have dropped its lock yet), and every 100 ms besides, so that the next program can open
// the terminal at once. The thread takes no signals. With `slaveFd` < 0 (a real port) it
// does nothing. Stops and waits for its thread when destroyed.
class StaleExclusiveWatch {
public:
    StaleExclusiveWatch(int slaveFd, const std::string& path);
    ~StaleExclusiveWatch();
    StaleExclusiveWatch(const StaleExclusiveWatch&) = delete;
    StaleExclusiveWatch& operator=(const StaleExclusiveWatch&) = delete;

private:
    void Run();

    int slaveFd_;
    int closes_ = -1; // inotify
    int stop_ = -1;   // eventfd
    std::thread thread_;
};

} // namespace sim
