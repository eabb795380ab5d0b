#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A PulseAudio server for the capture tests: the one the test runner started (shared), or a private
// one started for a single test case from the same service script (for tests that kill it).
class PulseTestServer {
public:
    // Whether the runner's server is there (VOXLET_TEST_PULSE=1 with its address).
    static bool sharedAvailable();
    static PulseTestServer shared();
    // Starts a private server in a temporary folder; address() is empty when it failed (see error()).
    static std::unique_ptr<PulseTestServer> startPrivate();

    PulseTestServer(PulseTestServer&&) = default;
    PulseTestServer& operator=(PulseTestServer&&) = default;
    ~PulseTestServer();

    QString address() const { return serverAddress; }
    QString fifoPath() const { return fifo; }
    QString error() const { return failure; }

    // Runs pactl against this server; false (and the output in error()) when it fails.
    bool pactl(const QStringList& arguments, QString* output = nullptr);
    // Ends a private server abruptly, as a crash would.
    void kill();

private:
    PulseTestServer() = default;

    QString serverAddress;
    QString fifo;
    QString failure;
    std::unique_ptr<QTemporaryDir> privateDir;
};
