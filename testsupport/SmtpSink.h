// A real SMTP receiver for tests: Python's aiosmtpd (Debian's python3-aiosmtpd), started on a free loopback port.
// For each message it writes, into a directory of its own, the envelope ("from <sender>", "options <MAIL
// parameters>", one "rcpt <address>" line each) as messageN.envelope and the data as received (dot-stuffing undone)
// as messageN.data; the data file appears by a rename, never half written. Recipients that begin with "refuse" get
// a 550. Destroying the object stops the receiver.
#pragma once

#include "platform/ChildProcess.h"

#include <filesystem>
#include <optional>
#include <string>

namespace qm::test {

class SmtpSink {
public:
    /// A Python 3 that has aiosmtpd; "" when none has.
    static std::string Python();

    /// A receiver to keep its files under dir (which must exist).
    explicit SmtpSink(std::filesystem::path dir);
    ~SmtpSink();

    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    /// Starts the receiver and waits for its port. "" on success, else what failed.
    std::string Start();

    int Port() const { return m_port; }

    /// What the receiver wrote to its error output.
    std::string Errors() const;

    /// Whether the file name (such as "message1.data") has been received, and its content ("" when not).
    bool HasReceived(const std::string& name) const;
    std::string Received(const std::string& name) const;

private:
    std::filesystem::path m_dir;
    std::optional<ChildProcess> m_receiver;
    int m_port = 0;
};

} // namespace qm::test
