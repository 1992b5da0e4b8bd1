#include "testsupport/ChromiumDriver.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::test {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// One protocol message may be a screenshot in base64; anything past this is a fault of the browser or the driver.
constexpr std::size_t kMaxMessage = std::size_t{256} << 20;
// Records kept of each kind, so that a page that logs in a loop cannot exhaust memory.
constexpr std::size_t kMaxRecords = 10000;

int MillisecondsUntil(TestClock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TestClock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

std::string DecodeBase64(const std::string& text)
{
    std::string out;
    out.reserve(text.size() / 4 * 3);
    unsigned buffer = 0;
    int bits = 0;
    for (unsigned char c : text) {
        int value;
        if (c >= 'A' && c <= 'Z') {
            value = c - 'A';
        } else if (c >= 'a' && c <= 'z') {
            value = c - 'a' + 26;
        } else if (c >= '0' && c <= '9') {
            value = c - '0' + 52;
        } else if (c == '+') {
            value = 62;
        } else if (c == '/') {
            value = 63;
        } else {
            continue; // padding and line ends
        }
        buffer = (buffer << 6) | static_cast<unsigned>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((buffer >> bits) & 0xff));
        }
    }
    return out;
}

// The text of one argument of a console call: its value, or the description of an object.
std::string RemoteObjectText(const json& object)
{
    if (object.contains("value")) {
        const json& value = object["value"];
        return value.is_string() ? value.get<std::string>() : value.dump();
    }
    if (object.contains("description")) {
        return object["description"].get<std::string>();
    }
    return object.value("type", "");
}

std::string Quoted(const std::string& text)
{
    return json(text).dump();
}

template <typename Record>
void Keep(std::vector<Record>& records, Record record)
{
    if (records.size() < kMaxRecords) {
        records.push_back(std::move(record));
    }
}

} // namespace

std::string JsValue::Text() const
{
    if (!Ok) {
        return "";
    }
    return Value.is_string() ? Value.get<std::string>() : Value.dump();
}

bool ChromiumDriver::Available()
{
    return ::access(kProgram, X_OK) == 0;
}

ChromiumDriver::ChromiumDriver()
    : m_scratch("qm-chromium")
{}

ChromiumDriver::~ChromiumDriver()
{
    try {
        Stop();
    } catch (...) {
        // Only allocation can throw here; the descriptors and the group are gone with the process anyway.
    }
}

std::string ChromiumDriver::BrowserLog() const
{
    return TempDir::ReadFile(m_scratch.PathOf("browser.err"));
}

void ChromiumDriver::Fail(const std::string& why)
{
    m_error = why;
}

bool ChromiumDriver::Start(const ChromiumOptions& options)
{
    const std::string profile = m_scratch.PathOf("profile");
    std::error_code ignored;
    fs::create_directories(profile, ignored);
    fs::create_directories(DownloadDirectory(), ignored);

    std::vector<std::string> args = {kProgram,
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--no-default-browser-check",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--disable-extensions",
                                     "--disable-crash-reporter",
                                     "--disable-breakpad",
                                     "--password-store=basic",
                                     "--remote-debugging-pipe",
                                     "--user-data-dir=" + profile,
                                     "--window-size=" + std::to_string(options.Width) + "," +
                                             std::to_string(options.Height)};
    args.insert(args.end(), options.ExtraArguments.begin(), options.ExtraArguments.end());
    args.push_back("about:blank");
    const std::vector<std::string> env = {"HOME=" + profile, "PATH=/usr/bin:/bin"};

    // Everything the child needs is made before fork, so that it only moves descriptors and executes.
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : env) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);

    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0) {
        Fail("pipe: " + std::error_code(errno, std::generic_category()).message());
        return false;
    }
    if (::pipe2(fromChild, O_CLOEXEC) != 0) {
        Fail("pipe: " + std::error_code(errno, std::generic_category()).message());
        ::close(toChild[0]);
        ::close(toChild[1]);
        return false;
    }
    // Files, not pipes, for its output: the browser's helper processes may keep inherited pipes open.
    const int out = ::open(m_scratch.PathOf("browser.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = ::open(m_scratch.PathOf("browser.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

    const pid_t pid = ::fork();
    if (pid == 0) {
        // Lift every descriptor above the target numbers first, so that no dup2 overwrites one still needed.
        const int in3 = ::fcntl(toChild[0], F_DUPFD_CLOEXEC, 10);
        const int out4 = ::fcntl(fromChild[1], F_DUPFD_CLOEXEC, 10);
        const int o = ::fcntl(out, F_DUPFD_CLOEXEC, 10);
        const int e = ::fcntl(err, F_DUPFD_CLOEXEC, 10);
        const int n = ::fcntl(null, F_DUPFD_CLOEXEC, 10);
        if (in3 < 0 || out4 < 0 || o < 0 || e < 0 || n < 0 || ::dup2(n, 0) < 0 || ::dup2(o, 1) < 0 ||
            ::dup2(e, 2) < 0 || ::dup2(in3, 3) < 0 || ::dup2(out4, 4) < 0) {
            ::_exit(126);
        }
        ::close_range(5, ~0U, 0);
        ::setpgid(0, 0);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    for (int fd : {toChild[0], fromChild[1], out, err, null}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    if (pid < 0) {
        Fail("fork: " + std::error_code(errno, std::generic_category()).message());
        ::close(toChild[1]);
        ::close(fromChild[0]);
        return false;
    }
    ::setpgid(pid, pid); // also in the parent, so that a kill of the group cannot come before the child's own call
    m_pid = pid;
    m_toBrowser = toChild[1];
    m_fromBrowser = fromChild[0];
    ::fcntl(m_toBrowser, F_SETFL, O_NONBLOCK);
    ::fcntl(m_fromBrowser, F_SETFL, O_NONBLOCK);

    const CdpReply target = Send("Target.createTarget", {{"url", "about:blank"}}, options.StartBudget, true);
    if (!target.Ok) {
        return false;
    }
    m_targetId = target.Result.value("targetId", "");
    const CdpReply attach =
            Send("Target.attachToTarget", {{"targetId", m_targetId}, {"flatten", true}}, kPatience, true);
    if (!attach.Ok) {
        return false;
    }
    m_sessionId = attach.Result.value("sessionId", "");
    for (const char* domain : {"Page.enable", "Runtime.enable", "Log.enable", "Network.enable"}) {
        if (!Send(domain).Ok) {
            return false;
        }
    }
    // A headless page never has the window's focus; without this, focus() and typing can go nowhere.
    return Send("Emulation.setFocusEmulationEnabled", {{"enabled", true}}).Ok;
}

void ChromiumDriver::Stop()
{
    if (m_pid > 0) {
        const bool polite = !m_lost;
        if (polite) {
            // A polite end first, so that the browser can let its helpers go; the group is killed after it anyway.
            const int id = SendOnly("Browser.close", json::object(), true);
            if (id > 0) {
                Pump([this, id] { return m_lost || m_replies.contains(id); }, std::chrono::seconds(5));
            }
        }
        const bool ended = WaitUntil([this] { return ::waitpid(m_pid, nullptr, WNOHANG) == m_pid; },
                                     polite ? std::chrono::seconds(10) : std::chrono::seconds(1));
        ::kill(-m_pid, SIGKILL); // the browser if it is still there, and helpers left in its group
        if (!ended) {
            ::waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }
    for (int* fd : {&m_toBrowser, &m_fromBrowser}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

bool ChromiumDriver::WriteAll(const std::string& bytes, TestClock::time_point deadline)
{
    // A browser that has gone would raise SIGPIPE: it is blocked for the write and a pending one taken back.
    sigset_t pipeSet;
    sigset_t old;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    std::size_t sent = 0;
    bool ok = true;
    while (sent < bytes.size()) {
        const ssize_t n = ::write(m_toBrowser, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN && TestClock::now() < deadline) {
            pollfd entry{m_toBrowser, POLLOUT, 0};
            ::poll(&entry, 1, MillisecondsUntil(deadline));
            continue;
        }
        ok = false;
        break;
    }
    if (!ok && errno == EPIPE) {
        const timespec zero{0, 0};
        sigtimedwait(&pipeSet, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

int ChromiumDriver::SendOnly(const std::string& method, const json& params, bool toBrowser)
{
    const int id = m_nextId++;
    json message = {{"id", id}, {"method", method}, {"params", params}};
    if (!toBrowser && !m_sessionId.empty()) {
        message["sessionId"] = m_sessionId;
    }
    std::string bytes = message.dump(-1, ' ', false, json::error_handler_t::replace);
    bytes.push_back('\0');
    if (m_lost || !WriteAll(bytes, TestClock::now() + kPatience)) {
        m_lost = true;
        Fail("the browser is gone (writing " + method + ")\n" + BrowserLog());
        return -1;
    }
    return id;
}

CdpReply ChromiumDriver::Send(const std::string& method, const json& params, TestClock::duration budget, bool toBrowser)
{
    CdpReply reply;
    const int id = SendOnly(method, params, toBrowser);
    if (id < 0) {
        reply.Error = m_error;
        return reply;
    }
    if (!Pump([this, id] { return m_replies.contains(id); }, budget)) {
        m_ignored.insert(id);
        reply.Error = m_lost ? m_error : "no reply to " + method + " in time";
        Fail(reply.Error);
        return reply;
    }
    json message = std::move(m_replies[id]);
    m_replies.erase(id);
    if (message.contains("error")) {
        reply.Error = method + ": " + message["error"].value("message", message["error"].dump());
        Fail(reply.Error);
        return reply;
    }
    reply.Ok = true;
    reply.Result = message.value("result", json::object());
    return reply;
}

bool ChromiumDriver::Pump(const std::function<bool()>& predicate, TestClock::duration budget)
{
    const auto deadline = TestClock::now() + budget;
    for (;;) {
        if (predicate()) {
            return true;
        }
        if (m_lost || TestClock::now() >= deadline) {
            return predicate();
        }
        ReadSome(deadline);
    }
}

bool ChromiumDriver::ReadSome(TestClock::time_point deadline)
{
    pollfd entry{m_fromBrowser, POLLIN, 0};
    const int ready = ::poll(&entry, 1, MillisecondsUntil(deadline));
    if (ready <= 0) {
        return false;
    }
    char chunk[65536];
    const ssize_t n = ::read(m_fromBrowser, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return false;
    }
    if (n <= 0) {
        m_lost = true;
        Fail("the browser closed its end of the protocol pipe\n" + BrowserLog());
        return false;
    }
    m_input.append(chunk, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t end; (end = m_input.find('\0', start)) != std::string::npos; start = end + 1) {
        json message = json::parse(m_input.begin() + static_cast<long>(start), m_input.begin() + static_cast<long>(end),
                                   nullptr, false);
        if (!message.is_discarded()) {
            Dispatch(message);
        }
    }
    m_input.erase(0, start);
    if (m_input.size() > kMaxMessage) {
        m_lost = true;
        Fail("a protocol message larger than the driver's limit");
    }
    return true;
}

void ChromiumDriver::Dispatch(const json& message)
{
    if (message.contains("id") && message["id"].is_number_integer()) {
        const int id = message["id"].get<int>();
        if (m_ignored.erase(id) == 0) {
            m_replies[id] = message;
        }
        return;
    }
    if (!message.contains("method")) {
        return;
    }
    const std::string session = message.value("sessionId", "");
    const bool ours = session.empty() || session == m_sessionId;
    if (ours) {
        std::string method = message["method"].get<std::string>();
        json params = message.value("params", json::object());
        OnEvent(method, params);
        if (m_events.size() >= kMaxRecords) {
            m_events.pop_front();
        }
        m_events.emplace_back(std::move(method), std::move(params));
    }
}

void ChromiumDriver::OnEvent(const std::string& method, const json& params)
{
    if (method == "Page.loadEventFired") {
        ++m_loads;
    } else if (method == "Page.javascriptDialogOpening") {
        Keep(m_dialogs, DialogRecord{params.value("type", ""), params.value("message", ""), params.value("url", "")});
        // The page is blocked until the dialog is answered; the reply is not waited for here.
        json answer = {{"accept", m_answer == DialogAnswer::Accept}};
        if (m_answer == DialogAnswer::Accept && params.value("type", "") == "prompt") {
            answer["promptText"] = m_promptText;
        }
        const int id = SendOnly("Page.handleJavaScriptDialog", answer, false);
        if (id > 0) {
            m_ignored.insert(id);
        }
    } else if (method == "Runtime.consoleAPICalled") {
        std::string text;
        for (const json& arg : params.value("args", json::array())) {
            text += (text.empty() ? "" : " ") + RemoteObjectText(arg);
        }
        Keep(m_console, ConsoleRecord{"console", params.value("type", ""), text});
    } else if (method == "Runtime.exceptionThrown") {
        const json details = params.value("exceptionDetails", json::object());
        std::string text = details.value("text", "");
        if (details.contains("exception")) {
            text += " " + RemoteObjectText(details["exception"]);
        }
        Keep(m_console, ConsoleRecord{"exception", "error", text});
    } else if (method == "Log.entryAdded") {
        const json entry = params.value("entry", json::object());
        Keep(m_console,
             ConsoleRecord{"log", entry.value("level", ""), entry.value("text", "") + " " + entry.value("url", "")});
    } else if (method == "Network.requestWillBeSent") {
        Keep(m_requests, params.value("request", json::object()).value("url", ""));
    } else if (method == "Browser.downloadWillBegin") {
        const std::string guid = params.value("guid", "");
        m_downloads[guid] = Download{params.value("url", ""), params.value("suggestedFilename", ""), false, false};
        m_downloadOrder.push_back(guid);
    } else if (method == "Browser.downloadProgress") {
        if (params.value("state", "") == "completed") {
            m_downloads[params.value("guid", "")].Done = true;
        }
    }
}

std::optional<json> ChromiumDriver::WaitForEvent(const std::string& method,
                                                 const std::function<bool(const json&)>& match,
                                                 TestClock::duration budget)
{
    std::optional<json> found;
    const auto take = [&] {
        for (auto it = m_events.begin(); it != m_events.end(); ++it) {
            if (it->first == method && (!match || match(it->second))) {
                found = std::move(it->second);
                m_events.erase(it);
                return true;
            }
        }
        return false;
    };
    if (!Pump(take, budget)) {
        Fail(m_lost ? m_error : "no " + method + " event in time");
    }
    return found;
}

bool ChromiumDriver::Navigate(const std::string& url, TestClock::duration budget)
{
    const auto deadline = TestClock::now() + budget;
    const int seen = m_loads;
    const CdpReply reply = Send("Page.navigate", {{"url", url}}, budget);
    if (!reply.Ok) {
        return false;
    }
    if (reply.Result.contains("errorText") && !reply.Result["errorText"].get<std::string>().empty()) {
        Fail("navigation to " + url + " failed: " + reply.Result["errorText"].get<std::string>());
        return false;
    }
    return WaitForLoad(seen, deadline - TestClock::now());
}

bool ChromiumDriver::WaitForLoad(int seen, TestClock::duration budget)
{
    if (Pump([this, seen] { return m_loads > seen; }, budget)) {
        return true;
    }
    Fail(m_lost ? m_error : "no load event in time");
    return false;
}

JsValue ChromiumDriver::Evaluate(const std::string& expression, TestClock::duration budget)
{
    JsValue value;
    const CdpReply reply =
            Send("Runtime.evaluate",
                 {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}, {"userGesture", true}},
                 budget);
    if (!reply.Ok) {
        value.Error = reply.Error;
        return value;
    }
    if (reply.Result.contains("exceptionDetails")) {
        const json& details = reply.Result["exceptionDetails"];
        value.Error = details.value("text", "exception");
        if (details.contains("exception")) {
            value.Error += " " + RemoteObjectText(details["exception"]);
        }
        Fail(value.Error);
        return value;
    }
    value.Ok = true;
    value.Value = reply.Result.value("result", json::object()).value("value", json());
    return value;
}

bool ChromiumDriver::WaitFor(const std::string& condition, TestClock::duration budget)
{
    const auto deadline = TestClock::now() + budget;
    std::string last;
    const bool met = WaitUntil(
            [&] {
                if (m_lost) {
                    return true;
                }
                const JsValue value = Evaluate(
                        condition, std::max<TestClock::duration>(deadline - TestClock::now(), std::chrono::seconds(1)));
                last = value.Ok ? value.Text() : value.Error;
                // Events that came in between (dialogs above all) are read on every round.
                Pump([] { return false; }, std::chrono::milliseconds(0));
                return value.IsTrue();
            },
            deadline);
    if (!met || m_lost) {
        Fail("not met in time: " + condition + " (last: " + last + ")" + (m_lost ? "\n" + m_error : ""));
        return false;
    }
    return true;
}

std::string ChromiumDriver::Css(const std::string& selector)
{
    return "document.querySelector(" + Quoted(selector) + ")";
}

std::string ChromiumDriver::InFrame(const std::string& frameName, const std::string& selector)
{
    const std::string frame = "frame[name=" + Quoted(frameName) + "],iframe[name=" + Quoted(frameName) + "]";
    return "document.querySelector(" + Quoted(frame) + ").contentDocument.querySelector(" + Quoted(selector) + ")";
}

bool ChromiumDriver::Type(const std::string& element, const std::string& text, TypeMode mode)
{
    const std::string focus =
            "(() => { const el = " + element + "; if (!el) return false; el.focus(); " +
            (mode == TypeMode::Replace
                     ? "if (el.select) el.select(); "
                     : "try { const n = el.value.length; el.setSelectionRange(n, n); } catch (e) {} ") +
            "return el.ownerDocument.activeElement === el; })()";
    const JsValue focused = Evaluate(focus);
    if (!focused.IsTrue()) {
        Fail("cannot focus " + element + ": " + (focused.Ok ? focused.Text() : focused.Error));
        return false;
    }
    return Send("Input.insertText", {{"text", text}}).Ok;
}

bool ChromiumDriver::PressEnter()
{
    const json down = {
            {"type", "keyDown"},          {"key", "Enter"}, {"code", "Enter"},       {"windowsVirtualKeyCode", 13},
            {"nativeVirtualKeyCode", 13}, {"text", "\r"},   {"unmodifiedText", "\r"}};
    json up = {{"type", "keyUp"},
               {"key", "Enter"},
               {"code", "Enter"},
               {"windowsVirtualKeyCode", 13},
               {"nativeVirtualKeyCode", 13}};
    return Send("Input.dispatchKeyEvent", down).Ok && Send("Input.dispatchKeyEvent", up).Ok;
}

bool ChromiumDriver::Click(const std::string& element)
{
    // The centre of the element's box in the top page's coordinates: frames add their own offsets.
    const std::string box = "(() => { const el = " + element +
                            "; if (!el) return null; el.scrollIntoView({block: 'center', inline: 'center'});"
                            " const r = el.getBoundingClientRect(); let x = r.left + r.width / 2;"
                            " let y = r.top + r.height / 2; let w = el.ownerDocument.defaultView;"
                            " while (w.frameElement) { const f = w.frameElement.getBoundingClientRect();"
                            " x += f.left + w.frameElement.clientLeft; y += f.top + w.frameElement.clientTop;"
                            " w = w.parent; }"
                            " return {x: x, y: y, w: r.width, h: r.height}; })()";
    const JsValue where = Evaluate(box);
    if (!where.Ok || !where.Value.is_object() || where.Value.value("w", 0.0) <= 0 || where.Value.value("h", 0.0) <= 0) {
        Fail("no visible box for " + element + ": " + (where.Ok ? where.Text() : where.Error));
        return false;
    }
    const double x = where.Value["x"].get<double>();
    const double y = where.Value["y"].get<double>();
    json mouse = {{"x", x}, {"y", y}, {"type", "mouseMoved"}};
    if (!Send("Input.dispatchMouseEvent", mouse).Ok) {
        return false;
    }
    mouse["button"] = "left";
    mouse["clickCount"] = 1;
    mouse["type"] = "mousePressed";
    if (!Send("Input.dispatchMouseEvent", mouse).Ok) {
        return false;
    }
    mouse["type"] = "mouseReleased";
    return Send("Input.dispatchMouseEvent", mouse).Ok;
}

bool ChromiumDriver::Screenshot(const std::string& path)
{
    const CdpReply reply = Send("Page.captureScreenshot", {{"format", "png"}});
    if (!reply.Ok) {
        return false;
    }
    const std::string png = DecodeBase64(reply.Result.value("data", ""));
    if (png.empty()) {
        Fail("an empty screenshot");
        return false;
    }
    std::error_code ignored;
    fs::create_directories(fs::path(path).parent_path(), ignored);
    WriteBytes(path, png);
    return true;
}

void ChromiumDriver::AnswerDialogs(DialogAnswer answer, std::string promptText)
{
    m_answer = answer;
    m_promptText = std::move(promptText);
}

bool ChromiumDriver::EnableDownloads()
{
    return Send("Browser.setDownloadBehavior",
                {{"behavior", "allow"}, {"downloadPath", DownloadDirectory()}, {"eventsEnabled", true}}, kPatience,
                true)
            .Ok;
}

std::optional<DownloadRecord> ChromiumDriver::WaitForDownload(TestClock::duration budget)
{
    Download* found = nullptr;
    const auto ready = [&] {
        for (const std::string& guid : m_downloadOrder) {
            Download& download = m_downloads[guid];
            if (!download.Given && download.Done && fs::exists(fs::path(DownloadDirectory()) / download.Name)) {
                found = &download;
                return true;
            }
        }
        return false;
    };
    if (!Pump(ready, budget)) {
        Fail(m_lost ? m_error : "no finished download in time");
        return std::nullopt;
    }
    found->Given = true;
    return DownloadRecord{found->Url, (fs::path(DownloadDirectory()) / found->Name).string()};
}

} // namespace qm::test
