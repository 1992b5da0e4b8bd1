// A test driver for headless Chromium over its DevTools protocol on a pipe pair (no ports): start a browser with a
// profile of its own, open one page, navigate, evaluate JavaScript, type, press Enter and click like a user, take
// screenshots, and record the dialogs, console messages, requested URLs and downloads the pages cause.
#pragma once

#include "testsupport/TempDir.h"
#include "testsupport/WaitUntil.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace qm::test {

/// How the browser starts.
struct ChromiumOptions {
    int Width = 1280; ///< window size in CSS pixels
    int Height = 800;
    TestClock::duration StartBudget = std::chrono::seconds(60); ///< for the browser to start and open its page
    std::vector<std::string> ExtraArguments;                    ///< appended to the command line
};

/// The answer of one protocol command.
struct CdpReply {
    bool Ok = false;       ///< false: an error reply, a time-out or a lost browser (Error says which)
    nlohmann::json Result; ///< the reply's "result" object
    std::string Error;
};

/// The value of a JavaScript expression.
struct JsValue {
    bool Ok = false;      ///< false: it threw, the page was gone, or the time ran out (Error says why)
    nlohmann::json Value; ///< the value, passed by value (null for undefined)
    std::string Error;

    /// The value as text: a string as it is, anything else in JSON; "" when it failed.
    std::string Text() const;

    /// True when it succeeded and the value is the boolean true.
    bool IsTrue() const { return Ok && Value.is_boolean() && Value.get<bool>(); }
};

/// A dialog a page opened (alert, confirm, prompt, beforeunload).
struct DialogRecord {
    std::string Type;
    std::string Message;
    std::string Url;
};

/// A console message, an uncaught exception or a browser log entry of the page.
struct ConsoleRecord {
    std::string Source; ///< "console", "exception" or "log"
    std::string Level;  ///< console: log, error, warning, ...; log: verbose, info, warning, error; exception: error
    std::string Text;
};

/// A finished download.
struct DownloadRecord {
    std::string Url;
    std::string Path; ///< the file in the download directory
};

/// Whether a dialog is accepted or dismissed when it opens.
enum class DialogAnswer {
    Dismiss,
    Accept,
};

/// One headless Chromium with one page. Every wait has a deadline; nothing waits with a fixed pause. The browser's
/// whole process group is killed and its profile removed when the object goes. Not thread-safe.
class ChromiumDriver {
public:
    /// The browser program the driver runs.
    static constexpr const char* kProgram = "/usr/bin/chromium";

    /// True when the browser program is installed (tests skip otherwise).
    static bool Available();

    ChromiumDriver();
    ~ChromiumDriver();
    ChromiumDriver(const ChromiumDriver&) = delete;
    ChromiumDriver& operator=(const ChromiumDriver&) = delete;

    /// Starts the browser and opens a page with a flat session. False when it did not start (Error says why).
    bool Start(const ChromiumOptions& options = {});

    /// Why the last call failed, with the end of the browser's standard error when it was lost.
    const std::string& Error() const { return m_error; }

    /// The browser's standard error so far (for failure messages).
    std::string BrowserLog() const;

    /// Sends a command to the page's session (or, with toBrowser, to the browser itself) and waits for its reply.
    CdpReply Send(const std::string& method, const nlohmann::json& params = nlohmann::json::object(),
                  TestClock::duration budget = kPatience, bool toBrowser = false);

    /// Loads url in the page and waits for its load event. False on a network error or a time-out.
    bool Navigate(const std::string& url, TestClock::duration budget = kPatience);

    /// The number of load events of the page so far: take it before an action, then WaitForLoad(count).
    int LoadCount() const { return m_loads; }

    /// Waits until more than `seen` load events have come.
    bool WaitForLoad(int seen, TestClock::duration budget = kPatience);

    /// Evaluates a JavaScript expression in the page (promises are awaited).
    JsValue Evaluate(const std::string& expression, TestClock::duration budget = kPatience);

    /// Evaluates condition again and again until it gives true; an expression that throws (a page mid-way through
    /// a navigation) counts as not yet.
    bool WaitFor(const std::string& condition, TestClock::duration budget = kPatience);

    /// A JavaScript expression for the first element matching a CSS selector in the page.
    static std::string Css(const std::string& selector);

    /// The same inside the document of a same-origin frame or iframe named frameName.
    static std::string InFrame(const std::string& frameName, const std::string& selector);

    /// Focuses the element (a JavaScript expression such as Css(...)) and inserts text as typed input. With
    /// Replace the element's current text is selected first, so the text replaces it; with Append the caret is put
    /// after it.
    enum class TypeMode {
        Append,
        Replace,
    };
    bool Type(const std::string& element, const std::string& text, TypeMode mode = TypeMode::Replace);

    /// Presses and releases Enter in the focused element (a form submits).
    bool PressEnter();

    /// Scrolls the element into view and clicks the centre of its box with the mouse.
    bool Click(const std::string& element);

    /// Writes a PNG of the page's viewport to path.
    bool Screenshot(const std::string& path);

    /// How dialogs are answered from now on (dismissed unless told otherwise), and the text a prompt gets.
    void AnswerDialogs(DialogAnswer answer, std::string promptText = "");

    /// What the page did so far.
    const std::vector<DialogRecord>& Dialogs() const { return m_dialogs; }

    const std::vector<ConsoleRecord>& Console() const { return m_console; }

    /// The URL of every request the page made (frames, images and scripts included), in order.
    const std::vector<std::string>& RequestedUrls() const { return m_requests; }

    /// Waits for an event of the page (or of the browser) named method whose params match (any, when match is
    /// empty), takes it from the queue and gives its params. The queue keeps the latest events of every kind, at
    /// most a few thousand; ClearEvents empties it, so that only events after that point count.
    std::optional<nlohmann::json> WaitForEvent(const std::string& method,
                                               const std::function<bool(const nlohmann::json&)>& match = {},
                                               TestClock::duration budget = kPatience);

    void ClearEvents() { m_events.clear(); }

    /// Lets the browser run (reading its events) until predicate holds or the time runs out.
    bool Pump(const std::function<bool()>& predicate, TestClock::duration budget = kPatience);

    /// Allows downloads into a directory of the driver's own; call before the action that downloads.
    bool EnableDownloads();

    /// Waits for the next download to finish (one not given out before) and its file to be in place.
    std::optional<DownloadRecord> WaitForDownload(TestClock::duration budget = kPatience);

    /// The directory downloads go to.
    std::string DownloadDirectory() const { return m_scratch.PathOf("downloads"); }

private:
    struct Download {
        std::string Url;
        std::string Name;
        bool Done = false;
        bool Given = false;
    };

    int SendOnly(const std::string& method, const nlohmann::json& params, bool toBrowser);
    bool ReadSome(TestClock::time_point deadline);
    void Dispatch(const nlohmann::json& message);
    void OnEvent(const std::string& method, const nlohmann::json& params);
    bool WriteAll(const std::string& bytes, TestClock::time_point deadline);
    void Fail(const std::string& why);
    void Stop();

    TempDir m_scratch;
    int m_pid = -1;
    int m_toBrowser = -1;   // our end of the browser's fd 3
    int m_fromBrowser = -1; // our end of the browser's fd 4
    bool m_lost = false;
    std::string m_error;
    std::string m_input; // bytes read past the last complete message
    int m_nextId = 1;
    std::map<int, nlohmann::json> m_replies;
    std::set<int> m_ignored; // ids of commands whose replies nobody waits for
    std::string m_sessionId;
    std::string m_targetId;
    int m_loads = 0;
    DialogAnswer m_answer = DialogAnswer::Dismiss;
    std::string m_promptText;
    std::vector<DialogRecord> m_dialogs;
    std::vector<ConsoleRecord> m_console;
    std::vector<std::string> m_requests;
    std::map<std::string, Download> m_downloads; // by the browser's id of the download
    std::deque<std::string> m_downloadOrder;
    std::deque<std::pair<std::string, nlohmann::json>> m_events; // method and params, oldest first
};

} // namespace qm::test
