// Generated mail for the store's benchmark and its crash test: a plain text message, or a multipart one with a
// base64 attachment, of about a given size, whose last line is kGeneratedLastLine so that a reader can tell a
// whole message file from a cut one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace qm::store::bench {

inline constexpr const char* kGeneratedLastLine = "-- end of generated message --";

/// The lines (without line ends) of message serial: about bodyBytes of text, or of base64 with attachment.
inline std::vector<std::string> GenerateMessage(std::mt19937& rng, std::uint32_t serial, std::size_t bodyBytes,
                                                bool attachment)
{
    static constexpr char kWords[][8] = {"store", "index", "folder", "mail", "quill", "line", "part", "flush"};
    static constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string id = std::to_string(serial);
    std::vector<std::string> lines = {
            "From: Writer " + id + " <writer" + id + "@example.test>",
            "To: Reader <reader@example.test>",
            "Subject: " + std::string(attachment ? "Files " : "Note ") + id,
            "Date: Thu, 10 Dec 2026 12:" + std::to_string(10 + serial % 50) + ":00 +0000",
            "Message-ID: <" + id + "@example.test>",
    };
    const std::string boundary = "qm-part-" + id;
    if (attachment) {
        lines.push_back("MIME-Version: 1.0");
        lines.push_back("Content-Type: multipart/mixed; boundary=\"" + boundary + "\"");
    }
    lines.emplace_back();
    if (attachment) {
        lines.push_back("--" + boundary);
        lines.push_back("Content-Type: text/plain; charset=us-ascii");
        lines.emplace_back();
        lines.push_back("The file " + id + " is attached.");
        lines.push_back("--" + boundary);
        lines.push_back("Content-Type: application/octet-stream; name=\"data" + id + ".bin\"");
        lines.push_back("Content-Transfer-Encoding: base64");
        lines.push_back("Content-Disposition: attachment; filename=\"data" + id + ".bin\"");
        lines.emplace_back();
        std::uniform_int_distribution<int> pick(0, 63);
        for (std::size_t done = 0; done < bodyBytes; done += 78) {
            std::string line(76, 'A');
            for (char& c : line) {
                c = kBase64[pick(rng)];
            }
            lines.push_back(std::move(line));
        }
        lines.push_back("--" + boundary + "--");
    } else {
        std::uniform_int_distribution<std::size_t> pick(0, std::size(kWords) - 1);
        std::string line;
        for (std::size_t done = 0; done < bodyBytes;) {
            line += kWords[pick(rng)];
            if (line.size() >= 70) {
                done += line.size() + 2;
                lines.push_back(std::move(line));
                line.clear();
            } else {
                line += ' ';
            }
        }
    }
    lines.emplace_back(kGeneratedLastLine);
    return lines;
}

} // namespace qm::store::bench
