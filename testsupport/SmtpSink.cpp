#include "testsupport/SmtpSink.h"

#include "testsupport/Program.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <cstdlib>
#include <fstream>

namespace qm::test {
namespace {

constexpr const char* kReceiverScript = R"PY(
import asyncio, os, socket, sys
from aiosmtpd.smtp import SMTP

out = sys.argv[1]

class Sink:
    count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith('refuse'):
            return '550 no such user here'
        envelope.rcpt_tos.append(address)
        return '250 OK'

    async def handle_DATA(self, server, session, envelope):
        Sink.count += 1
        base = os.path.join(out, 'message%d' % Sink.count)
        with open(base + '.envelope', 'w') as f:
            f.write('from %s\n' % envelope.mail_from)
            f.write('options %s\n' % ' '.join(envelope.mail_options))
            for r in envelope.rcpt_tos:
                f.write('rcpt %s\n' % r)
        with open(base + '.tmp', 'wb') as f:
            f.write(envelope.original_content)
        os.rename(base + '.tmp', base + '.data')
        return '250 OK stored'

async def main():
    loop = asyncio.get_running_loop()
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(('127.0.0.1', 0))
    sock.listen(8)
    server = await loop.create_server(lambda: SMTP(Sink(), hostname='sink.test', loop=loop), sock=sock)
    print(sock.getsockname()[1], flush=True)
    await server.serve_forever()

asyncio.run(main())
)PY";

} // namespace

std::string SmtpSink::Python()
{
    for (const std::string& candidate : {FindProgram("python3"), std::string("/usr/bin/python3")}) {
        if (!candidate.empty() && RunProgram({candidate, "-c", "import aiosmtpd.smtp"}).Succeeded()) {
            return candidate;
        }
    }
    return "";
}

SmtpSink::SmtpSink(std::filesystem::path dir)
    : m_dir(std::move(dir))
{}

SmtpSink::~SmtpSink()
{
    if (m_receiver) {
        (void)m_receiver->Kill();
    }
}

std::string SmtpSink::Start()
{
    const std::string python = Python();
    if (python.empty()) {
        return "python3 with aiosmtpd is missing (scripts/deps installs python3-aiosmtpd)";
    }
    std::error_code error;
    std::filesystem::create_directories(m_dir / "received", error);
    const std::string script = (m_dir / "receiver.py").string();
    std::ofstream(script, std::ios::binary) << kReceiverScript;
    ChildOptions options;
    options.Argv = {python, script, (m_dir / "received").string()};
    options.Environment = ChildEnvironment();
    options.Stdout = ChildStdio::Pipe();
    options.Stderr = ChildStdio::File((m_dir / "receiver-errors.txt").string());
    options.Group = ProcessGroup::NewGroup;
    Result<ChildProcess> child = ChildProcess::Start(options);
    if (!child) {
        return child.error().Message;
    }
    m_receiver.emplace(std::move(child.value()));
    std::string buffer;
    m_port = std::atoi(ReadLineFrom(m_receiver->StdoutFd(), buffer, kPatience).c_str());
    return m_port > 0 ? "" : "the receiver did not start: " + Errors();
}

std::string SmtpSink::Errors() const
{
    return TempDir::ReadFile(m_dir / "receiver-errors.txt");
}

bool SmtpSink::HasReceived(const std::string& name) const
{
    return std::filesystem::exists(m_dir / "received" / name);
}

std::string SmtpSink::Received(const std::string& name) const
{
    return HasReceived(name) ? TempDir::ReadFile(m_dir / "received" / name) : std::string();
}

} // namespace qm::test
