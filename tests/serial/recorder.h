#pragma once
// A TComm wired to record every event it raises, for the serial tests.
#include "serial/co.h"
#include "support/openerror.h"
#include "support/wait.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

using testsupport::OpenError;
using testsupport::Pump;
using testsupport::WaitUntil;

struct Recorder {
    TComm comm;
    std::vector<std::vector<uint8_t>> pieces;
    std::vector<uint32_t> errors, modem;
    int hangups = 0, sent = 0, lineBreaks = 0;

    explicit Recorder(const std::string& path = "COM2") {
        comm.setCommName(QString::fromStdString(path));
        // The test windows' line: no flow control (so 0x11/0x13 are plain data).
        comm.setOutx_XonXoffFlow(false);
        comm.setInx_XonXoffFlow(false);
        comm.setReadIntervalTimeout(20);
        comm.OnReceiveData = [this](QObject*, const void* buf, uint16_t n) {
            const auto* p = static_cast<const uint8_t*>(buf);
            EXPECT_EQ(p[n], 0); // the byte after the last one
            pieces.emplace_back(p, p + n);
        };
        comm.OnReceiveError = [this](QObject*, uint32_t e) { errors.push_back(e); };
        comm.OnModemStateChange = [this](QObject*, uint32_t m) { modem.push_back(m); };
        comm.OnRequestHangup = [this](QObject*) { ++hangups; };
        comm.OnSendDataEmpty = [this](QObject*) { ++sent; };
        comm.OnLineBreak = [this](QObject*) { ++lineBreaks; };
    }
    std::vector<uint8_t> All() const {
        std::vector<uint8_t> all;
        for (const auto& p : pieces)
            all.insert(all.end(), p.begin(), p.end());
        return all;
    }
    bool Send(const std::vector<uint8_t>& bytes) {
        return comm.SendData(bytes.data(), static_cast<uint16_t>(bytes.size()));
    }
};

// Number of descriptors this process has open (to prove nothing leaks).
inline long OpenDescriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}
