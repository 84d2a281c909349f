#pragma once
// Real far ends of a line for tests, where a device would sit: the code under test gets
// SlavePath() as its port name. PtyPair: a pseudo-terminal whose master the test holds;
// closing it simulates an unplugged adapter. TcpEnd: a serial device server's raw port on
// the loopback, whose connection the test takes when it first reads or writes; closing it
// is the server ending the connection; a newer connection replaces it.

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class LineEnd {
public:
    virtual ~LineEnd();
    LineEnd(const LineEnd&) = delete;
    LineEnd& operator=(const LineEnd&) = delete;

    const std::string& SlavePath() const { return slavePath_; }

    void Write(const std::vector<uint8_t>& bytes);
    // Reads what arrives until `n` bytes are in or `timeoutMs` passes; returns what came.
    // Processes Qt events while waiting so that the code under test keeps running.
    std::vector<uint8_t> ReadExactly(std::size_t n, int timeoutMs = 3000);
    // Reads whatever arrives within `ms` (processing Qt events meanwhile).
    std::vector<uint8_t> ReadFor(int ms);
    void CloseMaster();

protected:
    LineEnd() = default;
    // The descriptor the far end reads and writes (non-blocking).
    virtual int Far() { return master_; }

    int master_ = -1;
    std::string slavePath_;

private:
    // Reads until `limit` bytes are in or `timeoutMs` passes, processing Qt events meanwhile.
    std::vector<uint8_t> ReadUpTo(std::size_t limit, int timeoutMs);
};

class PtyPair : public LineEnd {
public:
    PtyPair(); // opens a master in raw mode; throws std::runtime_error on failure
    ~PtyPair() override;
    int MasterFd() const { return master_; }

private:
    int keepSlave_ = -1; // keeps the slave side alive between opens (no spurious hangups)
};

class TcpEnd : public LineEnd {
public:
    TcpEnd(); // listens on 127.0.0.1, any free port; throws std::runtime_error on failure
    ~TcpEnd() override;

protected:
    int Far() override; // takes the connection (waiting up to 3 s) when there is none yet

private:
    int listener_ = -1;
};

} // namespace testsupport
