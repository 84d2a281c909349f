#pragma once
// A real pseudo-terminal for tests: the test holds the master end (the "far end" of the
// line, where a device would sit) and hands SlavePath() to the code under test as a port
// name. Closing the master simulates an unplugged adapter.

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class PtyPair {
public:
    PtyPair();  // opens a master in raw mode; throws std::runtime_error on failure
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    int MasterFd() const { return master_; }

    void Write(const std::vector<uint8_t>& bytes);
    // Reads what arrives until `n` bytes are in or `timeoutMs` passes; returns what came.
    // Processes Qt events while waiting so that the code under test keeps running.
    std::vector<uint8_t> ReadExactly(std::size_t n, int timeoutMs = 3000);
    // Reads whatever arrives within `ms` (processing Qt events meanwhile).
    std::vector<uint8_t> ReadFor(int ms);
    void CloseMaster();

private:
    // Reads until `limit` bytes are in or `timeoutMs` passes, processing Qt events meanwhile.
    std::vector<uint8_t> ReadUpTo(std::size_t limit, int timeoutMs);

    int master_ = -1;
    int keepSlave_ = -1; // keeps the slave side alive between opens (no spurious hangups)
    std::string slavePath_;
};

} // namespace testsupport
