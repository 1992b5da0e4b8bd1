// The SMTP dialogue: a state machine driven by the class of each reply, and the dot-stuffed message data.
#include "store/SmtpClient.h"

#include "common/IniAccess.h"
#include "common/Log.h"
#include "common/StringUtil.h"
#include "platform/SocketOps.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qm::store {
namespace {

// The dialogue's states; each waits for a reply of the class that kExpectedClass gives for it.
constexpr int kStateGreeting = 0;
constexpr int kStateHello = 1;    // EHLO or HELO sent
constexpr int kStateEnvelope = 2; // MAIL FROM, then each RCPT TO, sent
constexpr int kStateData = 4;     // DATA sent
constexpr int kStateBody = 5;     // message data going out
constexpr int kStateEndOfData = 6;
constexpr int kStateQuit = 7;
constexpr char kExpectedClass[] = "22223222";

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// An address that can stand between '<' and '>' of a command line: no control byte, blank, '<' or '>'.
bool IsCommandSafeAddress(std::string_view address)
{
    return std::none_of(address.begin(), address.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x21 || c == '<' || c == '>'; });
}

std::string BareAddress(std::string_view text)
{
    std::string address(text);
    ExtractAddress(address.data());
    address.resize(std::strlen(address.c_str()));
    return address;
}

// An EHLO reply line that offers the SIZE extension: "SIZE" (any case) after the code, then a blank or the end.
bool OffersSize(std::string_view line)
{
    if (line.size() < 8) {
        return false;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        if ((line[4 + i] & ~0x20) != "SIZE"[i]) {
            return false;
        }
    }
    return line.size() == 8 || line[8] == ' ';
}

} // namespace

SmtpClient::SmtpClient(std::string_view host, int port, std::string_view heloDomain, Logger& log,
                       const SmtpClientOptions& options)
    : m_log(log)
    , m_options(options)
    , m_heloDomain(heloDomain)
    , m_host(host)
    , m_port(port)
    , m_useEsmtp(ReadIniBool("SmtpClient", "UseESMTP", true))
{
    // The domain goes into a command line: nothing after a line break or another control byte.
    auto control = std::find_if(m_heloDomain.begin(), m_heloDomain.end(),
                                [](char c) { return static_cast<unsigned char>(c) < 0x20; });
    m_heloDomain.erase(control, m_heloDomain.end());
    m_sendBuffer.reserve(2 * kFileBlockSize + 5);
}

SmtpClient::~SmtpClient() = default;

bool SmtpClient::SetRecipients(const char* from, const char* recipients)
{
    m_sender = BareAddress(from != nullptr ? from : "");
    m_recipients.Clear();
    bool safe = IsCommandSafeAddress(m_sender);
    std::string piece;
    auto takePiece = [&] {
        std::string address = BareAddress(piece);
        piece.clear();
        if (address.empty()) {
            return;
        }
        safe = safe && IsCommandSafeAddress(address);
        m_recipients.Add(address.c_str());
    };
    bool quoted = false;
    for (const char* p = recipients != nullptr ? recipients : ""; *p != '\0'; ++p) {
        if (*p == '\\' && p[1] != '\0') {
            piece.push_back(*p++);
            piece.push_back(*p);
        } else if (*p == '"') {
            quoted = !quoted;
            piece.push_back(*p);
        } else if ((*p == ',' || *p == ';') && !quoted) {
            takePiece();
        } else {
            piece.push_back(*p);
        }
    }
    takePiece();
    if (!safe) {
        m_log.Log(4, "SMTP Address refused: it holds a control byte, a blank, '<' or '>'.");
        m_recipients.Clear();
        m_result = SmtpResult::NoRecipients;
        return false;
    }
    if (m_recipients.Count() == 0) {
        m_log.LogMsg(4, kMsgSmtpNoRecipients);
        m_result = SmtpResult::NoRecipients;
        return false;
    }
    return true;
}

bool SmtpClient::Send(const char* from, const char* recipients, const char* messagePath)
{
    m_log.LogMsg(3, kMsgSmtpSending, EscapeControlBytes(from != nullptr ? from : "").c_str());
    if (!SetRecipients(from, recipients)) {
        return false;
    }
    m_file = OpenFile(messagePath, "rb");
    m_fileSize = m_file != nullptr && std::fseek(m_file.get(), 0, SEEK_END) == 0 ? std::ftell(m_file.get()) : -1;
    if (m_fileSize < 0) {
        m_file.reset();
        m_log.LogMsg(4, kMsgSmtpCannotOpenFile);
        m_result = SmtpResult::CannotOpenFile;
        return false;
    }
    std::rewind(m_file.get());

    m_log.LogMsg(2, kMsgSmtpConnecting, EscapeControlBytes(m_host).c_str(), m_port);
    std::uint32_t local = 0;
    if (!ParseIpv4(ReadIniString("WebServer", "BindAddress", "0.0.0.0").c_str(), &local)) {
        local = 0;
    }
    if (!Connect(m_host.c_str(), m_port, local, static_cast<int>(m_options.ConnectTimeout.count()))) {
        m_log.LogMsg(4, kMsgSmtpConnectError, LastError());
        m_file.reset();
        m_result = SmtpResult::ConnectError;
        return false;
    }

    m_result = SmtpResult::Success;
    m_done = false;
    m_state = kStateGreeting;
    RestartClock();
    while (!m_done) {
        WaitResult waited = Wait(MillisecondsLeft());
        if (waited == WaitResult::Timeout) {
            m_log.LogMsg(4, kMsgSmtpTimedOut);
            m_result = SmtpResult::Timeout;
            break;
        }
        if (waited == WaitResult::Error) {
            m_log.LogMsg(4, kMsgSmtpWaitError, LastError());
            m_result = SmtpResult::WaitError;
            break;
        }
        DispatchEvents();
    }
    Close();
    m_file.reset();

    m_log.LogMsg(2, m_success ? kMsgSmtpCompleted : kMsgSmtpFailed);
    if (m_success) {
        m_result = SmtpResult::Success;
    }
    return m_success;
}

void SmtpClient::RestartClock()
{
    m_deadline = std::chrono::steady_clock::now() + m_options.ReplyTimeout;
}

int SmtpClient::MillisecondsLeft() const
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, INT32_MAX));
}

void SmtpClient::Finish(SmtpResult result)
{
    m_result = result;
    m_done = true;
}

void SmtpClient::OnRead()
{
    ReadReplies();
}

void SmtpClient::ReadReplies()
{
    std::size_t room = sizeof m_reply - m_replyLength;
    if (room < 2) {
        m_log.LogMsg(4, kMsgSmtpReceiveOverflow);
        Finish(SmtpResult::ReceiveOverflow);
        return;
    }
    int received = ReceiveString(m_reply + m_replyLength, static_cast<int>(room));
    if (received < 0) {
        m_log.LogMsg(4, kMsgSmtpReceiveError, LastError());
        Finish(SmtpResult::SocketError);
        return;
    }
    m_replyLength += static_cast<std::size_t>(received);
    std::size_t start = 0;
    for (;;) {
        const void* found = std::memchr(m_reply + start, '\n', m_replyLength - start);
        if (found == nullptr) {
            break;
        }
        const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(found) - m_reply);
        std::string_view line(m_reply + start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        m_log.Log(1, "SMTP >>> %s", EscapeControlBytes(line).c_str());
        if (!m_done) {
            OnReply(line);
        }
        start = end + 1;
    }
    std::memmove(m_reply, m_reply + start, m_replyLength - start);
    m_replyLength -= start;
    m_reply[m_replyLength] = '\0';
}

void SmtpClient::OnClose()
{
    if (m_done) {
        return;
    }
    // Lines that came before the close still count: the last reply often arrives together with it.
    ReadReplies();
    if (m_done) {
        return;
    }
    if (m_state == kStateQuit) {
        // The message was accepted and QUIT sent; the server may close without waiting to answer it.
        m_done = true;
        return;
    }
    m_log.LogMsg(4, kMsgSmtpConnectionClosed);
    Finish(SmtpResult::ConnectionClosed);
}

void SmtpClient::OnWrite()
{
    if (m_state == kStateGreeting) {
        return;
    }
    if (m_state == kStateBody) {
        SendBody();
        return;
    }
    if (SendPending() < 0) {
        m_log.Log(4, "SMTP Winsock send error: %d.", LastError());
        Finish(SmtpResult::SocketError);
    }
}

void SmtpClient::ProtocolError(std::string_view line)
{
    m_log.LogMsg(4, kMsgSmtpProtocolError, EscapeControlBytes(line).c_str());
    m_errorText.assign(line);
    Finish(SmtpResult::ProtocolError);
}

void SmtpClient::OnReply(std::string_view line)
{
    const bool wellFormed = line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) &&
                            (line.size() == 3 || line[3] == ' ' || line[3] == '-');
    if (!wellFormed) {
        ProtocolError(line);
        return;
    }
    const bool lastLine = line.size() == 3 || line[3] == ' ';
    if (m_skipToReplyEnd) {
        // The rest of a refused EHLO reply: its class is known already.
        if (lastLine) {
            m_skipToReplyEnd = false;
            OnLastLine();
        }
        return;
    }
    if (line[0] != kExpectedClass[m_state]) {
        if (m_state != kStateHello || !m_useEsmtp) {
            ProtocolError(line);
            return;
        }
        // The server does not take EHLO: greet again with HELO once this reply has ended.
        m_useEsmtp = false;
        m_state = kStateGreeting;
        m_skipToReplyEnd = !lastLine;
    }
    if (m_state == kStateHello && m_useEsmtp && OffersSize(line)) {
        m_sizeOffered = true;
    }
    if (lastLine && !m_skipToReplyEnd) {
        OnLastLine();
    }
}

void SmtpClient::OnLastLine()
{
    RestartClock();
    switch (m_state) {
    case kStateGreeting:
        m_command = (m_useEsmtp ? "EHLO " : "HELO ") + m_heloDomain + "\r\n";
        m_state = kStateHello;
        SendCommand();
        break;
    case kStateHello:
        m_command = "MAIL FROM: <" + m_sender + ">";
        if (m_sizeOffered) {
            m_command += " SIZE=" + std::to_string(m_fileSize);
        }
        m_command += "\r\n";
        m_state = kStateEnvelope;
        m_nextRecipient = 0;
        SendCommand();
        break;
    case kStateEnvelope:
        if (m_nextRecipient < m_recipients.Count()) {
            m_command = std::string("RCPT TO: <") + m_recipients.Item(m_nextRecipient++) + ">\r\n";
        } else {
            m_command = "DATA\r\n";
            m_state = kStateData;
        }
        SendCommand();
        break;
    case kStateData:
        m_state = kStateBody;
        m_atLineStart = true;
        m_pendingCr = false;
        SendBody();
        break;
    case kStateEndOfData:
        m_command = "QUIT\r\n";
        m_state = kStateQuit;
        m_success = true;
        SendCommand();
        break;
    case kStateQuit:
        m_done = true;
        break;
    default:
        break;
    }
}

void SmtpClient::SendCommand()
{
    std::string_view shown(m_command);
    if (shown.size() >= 2) {
        shown.remove_suffix(2); // the CR LF
    }
    m_log.Log(1, "SMTP <<< %.*s", static_cast<int>(shown.size()), shown.data());
    if (SendString(m_command) < 0) {
        m_log.Log(4, "SMTP Winsock send error: %d.", LastError());
        Finish(SmtpResult::SocketError);
    }
}

bool SmtpClient::FillBlock()
{
    std::FILE* file = m_file.get();
    const std::size_t count = std::fread(m_block, 1, sizeof m_block, file);
    if (count < sizeof m_block && std::ferror(file) != 0) {
        // Never end the data on a message that was not read whole: the server would accept it cut short.
        m_log.LogMsg(4, kMsgSmtpCannotOpenFile);
        Finish(SmtpResult::CannotOpenFile);
        return false;
    }
    m_sendBuffer.clear();
    // Every line end goes out as CR LF: a bare CR or a bare LF becomes CR LF, so that no byte sequence of the file
    // (such as CR "." CR LF) can look like the end of the data to a server that takes bare line ends.
    auto lineEnd = [this] {
        m_sendBuffer += "\r\n";
        m_atLineStart = true;
    };
    for (std::size_t i = 0; i < count; ++i) {
        const char c = m_block[i];
        if (m_pendingCr) {
            m_pendingCr = false;
            lineEnd();
            if (c == '\n') {
                continue;
            }
        }
        if (c == '\r') {
            m_pendingCr = true; // CR LF or a bare CR: the next byte (perhaps in the next block) tells
        } else if (c == '\n') {
            lineEnd();
        } else {
            // A line that begins with '.' gets a second one, so that no line of the message can end the data.
            if (c == '.' && m_atLineStart) {
                m_sendBuffer.push_back('.');
            }
            m_sendBuffer.push_back(c);
            m_atLineStart = false;
        }
    }
    if (count < sizeof m_block) {
        m_file.reset();
        if (m_pendingCr) {
            m_pendingCr = false;
            lineEnd();
        }
        m_sendBuffer += m_atLineStart ? ".\r\n" : "\r\n.\r\n";
    }
    return true;
}

void SmtpClient::SendBody()
{
    while (IsWritable() && !m_done) {
        int sent = 0;
        if (PendingBytes() > 0) {
            sent = SendPending();
        } else if (m_file != nullptr) {
            if (!FillBlock()) {
                return;
            }
            sent = SendString(m_sendBuffer);
        } else {
            // Everything is out; the server's reply follows.
            m_state = kStateEndOfData;
            RestartClock();
            return;
        }
        if (sent < 0) {
            m_log.Log(4, "SMTP Winsock send error: %d.", LastError());
            Finish(SmtpResult::SocketError);
            return;
        }
        if (sent > 0) {
            RestartClock();
        }
    }
}

} // namespace qm::store
