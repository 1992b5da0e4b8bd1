// The read receipt's text: its layout, the optional report lines, values from the message kept to one line, English
// dates with the zone offset; and the address a receipt may go to.
#include "engine/ReadReceipt.h"

#include "engine/SessionMail.h"
#include "store/HeaderBlock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace qm::engine {
namespace {

// The process's zone for one test, put back after.
class ScopedZone {
public:
    explicit ScopedZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ")) { // NOLINT(concurrency-mt-unsafe)
            m_old = old;
        }
        ::setenv("TZ", zone, 1); // NOLINT(concurrency-mt-unsafe): the tests of a process run one at a time
        ::tzset();
    }

    ~ScopedZone()
    {
        if (m_old) {
            ::setenv("TZ", m_old->c_str(), 1); // NOLINT(concurrency-mt-unsafe)
        } else {
            ::unsetenv("TZ"); // NOLINT(concurrency-mt-unsafe)
        }
        ::tzset();
    }

    ScopedZone(const ScopedZone&) = delete;
    ScopedZone& operator=(const ScopedZone&) = delete;

private:
    std::optional<std::string> m_old;
};

constexpr time_t kNewYear2026 = 1767225600; // 2026-01-01 00:00:00 UTC

ReceiptFields Fields()
{
    ReceiptFields fields;
    fields.SenderName = "Demo User";
    fields.SenderAddress = "demo@example.org";
    fields.Recipient = "writer@example.com";
    fields.Subject = "Plans";
    fields.MessageDate = kNewYear2026;
    fields.Now = kNewYear2026 + 3600;
    return fields;
}

TEST(ReadReceiptTest, TheReceiptIsAReportOfTwoPartsWithEnglishDatesAndTheZoneOffset)
{
    const ScopedZone zone("XYZ-5:30"); // five and a half hours east of UTC
    ReceiptFields fields = Fields();
    fields.MessageId = "<m1@example.com>";
    fields.OriginalRecipient = "rfc822;demo@example.org";
    EXPECT_EQ(
            ReadReceiptText(fields),
            "Date: Thu, 01 Jan 2026 06:30:00 +0530\r\n"
            "From: \"Demo User\" <demo@example.org>\r\n"
            "To: <writer@example.com>\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: multipart/report; boundary=\"---PART-BREAK\";\r\n\treport-type=disposition-notification\r\n"
            "Subject: Notification for \"Plans\"\r\n"
            "\r\n"
            "-----PART-BREAK\r\nContent-Type: text/plain\r\n\r\n"
            "Your message of 01 Jan 2026 05:30:00 regarding \"Plans\" has been displayed by Demo User.\r\n\r\n"
            "-----PART-BREAK\r\nContent-Type: message/disposition-notification\r\n\r\n"
            "Final-Recipient: rfc822; <demo@example.org>\r\n"
            "Original-Recipient: rfc822;demo@example.org\r\n"
            "Original-Message-ID: <m1@example.com>\r\n"
            "Disposition: manual-action/MDN-sent-automatically; displayed\r\n"
            "\r\n-----PART-BREAK--\r\n");
}

TEST(ReadReceiptTest, OptionalLinesNamelessReadersAndValuesThatWouldAddLines)
{
    const ScopedZone zone("XYZ+3"); // three hours west
    ReceiptFields fields = Fields();
    fields.SenderName.clear();
    fields.Subject = "Plans\r\nBcc: victim@example.net";
    const std::string text = ReadReceiptText(fields);
    EXPECT_EQ(text.rfind("Date: Wed, 31 Dec 2025 22:00:00 -0300\r\nFrom: <demo@example.org>\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("\r\nSubject: Notification for \"PlansBcc: victim@example.net\"\r\n"), std::string::npos);
    EXPECT_NE(text.find("has been displayed by demo@example.org.\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("\nBcc:"), std::string::npos);
    EXPECT_EQ(text.find("Original-Message-ID"), std::string::npos);
    EXPECT_EQ(text.find("Original-Recipient"), std::string::npos);

    // A bare address is given its type.
    fields.OriginalRecipient = "demo@example.org";
    EXPECT_NE(ReadReceiptText(fields).find("\r\nOriginal-Recipient: rfc822; demo@example.org\r\n"), std::string::npos);
}

TEST(ReadReceiptTest, TheAddressIsTheFirstAskedForAndNeverOneWithALineBreak)
{
    struct Case {
        std::string Headers;
        std::optional<std::string> Address;
        bool Listed = false;
    };

    std::string many = "Disposition-Notification-To: ";
    for (int i = 0; i < 24; ++i) {
        many += (i == 0 ? "" : ", ") + std::string("victim") + std::to_string(i) + "@example.net";
    }
    const Case cases[] = {
            {"Disposition-Notification-To: \"W\" <first@example.com>\nX-Confirm-Reading-To: second@example.com",
             "first@example.com"},
            {"X-Confirm-Reading-To: second@example.com (W)", "second@example.com"},
            {"Disposition-Notification-To:", std::nullopt},
            {"Subject: none asked", std::nullopt},
            // One address, however it is written.
            {"Disposition-Notification-To: \"Doe, J; Jr\" <j@example.com>", "j@example.com"},
            {"Disposition-Notification-To: j@example.com,", "j@example.com"},
            // A list gets no receipt at all, not one to its first address.
            {many, std::nullopt, true},
            {"Disposition-Notification-To: a@example.com; b@example.net", std::nullopt, true},
            {"Disposition-Notification-To: \"A\" <a@example.com>, <b@example.net>", std::nullopt, true},
            {"Disposition-Notification-To: <a@example.com, b@example.net>", std::nullopt, true},
            {"X-Confirm-Reading-To: a@example.com,b@example.net", std::nullopt, true},
            // Not a list, but not one plain address either.
            {"Disposition-Notification-To: a@example.com b@example.net", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Headers);
        store::HeaderBlock headers;
        std::string text = c.Headers;
        for (std::size_t start = 0; start <= text.size();) {
            const std::size_t end = text.find('\n', start);
            headers.AddLine(std::string_view(text).substr(start, end - start));
            if (end == std::string::npos) {
                break;
            }
            start = end + 1;
        }
        bool listed = !c.Listed;
        EXPECT_EQ(ReceiptAddress(headers, &listed), c.Address);
        EXPECT_EQ(listed, c.Listed);
    }
    // A value with a line break inside (as an unfolded header can hold) goes nowhere.
    store::HeaderBlock broken;
    broken.Add("Disposition-Notification-To", "a@example.com\r\nBcc: victim@example.net");
    EXPECT_EQ(ReceiptAddress(broken), std::nullopt);
}

} // namespace
} // namespace qm::engine
