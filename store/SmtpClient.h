// SmtpClient: sends one message file to one SMTP server (EHLO with the SIZE extension, or HELO) over an AsyncSocket.
#pragma once

#include "common/AsyncSocket.h"
#include "common/StringList.h"
#include "store/StoreText.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm {
class Logger;
} // namespace qm

namespace qm::store {

// The client's log messages, by number in the engine's message table.
inline constexpr int kMsgSmtpConnectionClosed = 209; ///< "SMTP Connection unexpectedly closed."
inline constexpr int kMsgSmtpNoRecipients = 210;     ///< "SMTP No recipients specified."
inline constexpr int kMsgSmtpConnecting = 211;       ///< "SMTP Connecting to %s:%d..."
inline constexpr int kMsgSmtpConnectError = 212;     ///< "SMTP Winsock connect error: %d."
inline constexpr int kMsgSmtpTimedOut = 213;         ///< "SMTP Connection timed out."
inline constexpr int kMsgSmtpWaitError = 214;        ///< "SMTP Socket wait error: %d."
inline constexpr int kMsgSmtpCompleted = 215;        ///< "SMTP Completed successfully."
inline constexpr int kMsgSmtpFailed = 216;           ///< "SMTP Completed unsuccessfully."
inline constexpr int kMsgSmtpReceiveOverflow = 217;  ///< "SMTP Receive buffer overflow."
inline constexpr int kMsgSmtpReceiveError = 218;     ///< "SMTP Winsock receive error: %d."
inline constexpr int kMsgSmtpProtocolError = 219;    ///< "SMTP Protocol error: %s."
inline constexpr int kMsgSmtpCannotOpenFile = 231;   ///< "SMTP Could not open message file."
inline constexpr int kMsgSmtpSending = 232;          ///< "SMTP Sending message from %s."

/// The outcome of SmtpClient::Send; the numbers are what the callers count and report.
enum class SmtpResult : int {
    Success = 0,
    NoRecipients = 2,     ///< no recipient, or a sender or recipient that cannot go into a command line
    CannotOpenFile = 3,   ///< the message file cannot be opened (or read)
    ConnectError = 4,     ///< the connection could not be made
    Timeout = 5,          ///< no reply (or no progress of the data) within the time-out
    WaitError = 6,        ///< waiting on the socket failed
    ReceiveOverflow = 7,  ///< a reply line longer than the reply buffer
    ConnectionClosed = 8, ///< the server closed the connection before the end
    SocketError = 9,      ///< a receive or send failed
    ProtocolError = 10,   ///< a malformed reply, or one of the wrong class (ErrorText holds it)
};

/// Time limits of one run.
struct SmtpClientOptions {
    /// The longest wait for each reply of the server, and for each step of the message data going out.
    std::chrono::milliseconds ReplyTimeout{150000};
    /// The longest wait for the connection to be made.
    std::chrono::milliseconds ConnectTimeout{kDefaultConnectTimeoutMs};
};

/// One SMTP delivery: construct, call Send once, read Result and ErrorText. Send blocks the calling thread for the
/// whole dialogue. The connection is bound to `[WebServer]` `BindAddress` of the main INI, and EHLO is used unless
/// `[SmtpClient]` `UseESMTP` says No. Used by one thread.
class SmtpClient final : public AsyncSocket {
public:
    /// Size of the reply buffer: a reply line (CR LF included) must fit in it less one byte.
    static constexpr std::size_t kReplyBufferSize = 512;
    /// Bytes of the message file read and sent at a time.
    static constexpr std::size_t kFileBlockSize = 4096;

    /// `host` and `port` name the server; `heloDomain` is the name given with EHLO or HELO (cut at its first
    /// control byte). `log` must outlive the client.
    SmtpClient(std::string_view host, int port, std::string_view heloDomain, Logger& log,
               const SmtpClientOptions& options = {});
    ~SmtpClient() override;

    /// Sends the RFC 822 message in the file `messagePath` from `from` to every address of `recipients` (both as
    /// typed; see SetRecipients). True when the server accepted the message and QUIT was sent; otherwise Result
    /// says why. Nothing reaches the server when SetRecipients fails or the file cannot be opened. The data goes
    /// out with CR LF line ends only (a bare CR or a bare LF becomes CR LF), a '.' after every line end doubled.
    bool Send(const char* from, const char* recipients, const char* messagePath);

    /// Takes the bare address of `from` as the sender and splits `recipients` at ',' and ';' outside double
    /// quotes ('\' makes the next character ordinary) into bare addresses, leaving out empty ones. False, with
    /// the result NoRecipients, when there is none, or when the sender or any recipient holds a byte below 0x21,
    /// '<' or '>' (such an address cannot go into a command line as it is).
    bool SetRecipients(const char* from, const char* recipients);

    SmtpResult Result() const { return m_result; }

    /// The reply line that caused a protocol error; "" otherwise.
    const std::string& ErrorText() const { return m_errorText; }

    /// The sender and the recipients that SetRecipients took.
    const std::string& Sender() const { return m_sender; }

    const StringList& Recipients() const { return m_recipients; }

protected:
    void OnRead() override;
    void OnClose() override;
    void OnWrite() override;

private:
    void ReadReplies();
    void OnReply(std::string_view line);
    void OnLastLine();
    void ProtocolError(std::string_view line);
    void SendCommand();
    void SendBody();
    bool FillBlock();
    void Finish(SmtpResult result);
    void RestartClock();
    int MillisecondsLeft() const;

    Logger& m_log;
    SmtpClientOptions m_options;
    bool m_done = false;
    StringList m_recipients;
    int m_nextRecipient = 0;
    std::string m_heloDomain;
    std::string m_host;
    int m_port;
    std::string m_sender;
    char m_reply[kReplyBufferSize] = {};
    std::size_t m_replyLength = 0;
    char m_block[kFileBlockSize] = {};
    // The block after dot-stuffing: up to twice the block, and the end marker. It grows as needed.
    std::string m_sendBuffer;
    // The text of the command going out.
    std::string m_command;
    // The data sent so far ends with a line end (or nothing was sent): a '.' now is doubled, the end marker is
    // ".\r\n" alone.
    bool m_atLineStart = true;
    // The last byte read was a CR whose line end is not written yet (a LF may follow in the next block).
    bool m_pendingCr = false;
    bool m_success = false;
    bool m_useEsmtp = true;
    bool m_sizeOffered = false;
    // EHLO was refused on the first line of a multi-line reply: the rest of that reply is skipped.
    bool m_skipToReplyEnd = false;
    int m_state = 0;
    FilePtr m_file;
    long long m_fileSize = 0;
    SmtpResult m_result = SmtpResult::Success;
    std::string m_errorText;
    std::chrono::steady_clock::time_point m_deadline{};
};

} // namespace qm::store
