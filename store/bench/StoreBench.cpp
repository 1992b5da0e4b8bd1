// The store's benchmark: stores generated messages (1 KB to 200 KB, a tenth multipart with a base64 attachment)
// into a new user directory, each flushed to disk by its builder, then times what showing the first List page
// costs with that index: loading Messages.idx, Sort, SelectView and one page. Also times NextNumber with the full
// index. Run by scripts/bench-store.
// Usage: qm_store_bench <empty directory on the disk to measure> [messages]
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"
#include "store/StoreBatch.h"
#include "store/bench/GeneratedMessage.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using qm::store::MessageIndex;

constexpr int kRounds = 9;
constexpr int kPerPage = 25;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        (void)std::fprintf(stderr, "usage: qm_store_bench <empty directory> [messages]\n");
        return 1;
    }
    const std::string userDir = argv[1];
    const int count = argc > 2 ? std::atoi(argv[2]) : 10000;
    for (const char* folder : {"Inbox", "Work"}) {
        if (!qm::platform::MakeDirectories(qm::platform::PathJoin(userDir, folder)).has_value()) {
            (void)std::fprintf(stderr, "qm_store_bench: cannot create %s\n", folder);
            return 1;
        }
    }

    // Sizes spread evenly on a log scale from 1 KB to 200 KB: many small messages, some large, as in a mailbox.
    std::mt19937 rng(4711); // NOLINT(cert-msc51-cpp): the same messages in every run
    std::uniform_real_distribution<double> logSize(std::log(1024.0), std::log(200.0 * 1024.0));
    Clock::duration storing{};
    std::int64_t bytes = 0;
    {
        MessageIndex index(userDir);
        for (int i = 0; i < count; ++i) {
            const bool attachment = i % 10 == 0;
            const auto size = static_cast<std::size_t>(std::exp(logSize(rng)));
            const std::vector<std::string> lines =
                    qm::store::bench::GenerateMessage(rng, static_cast<std::uint32_t>(i + 1), size, attachment);
            const auto start = Clock::now();
            const qm::store::MessageIndexEntry* entry =
                    qm::store::StoreMessageLines(index, i % 5 == 4 ? "Work" : "Inbox", lines);
            storing += Clock::now() - start;
            if (entry == nullptr) {
                (void)std::fprintf(stderr, "qm_store_bench: message %d was not stored\n", i + 1);
                return 1;
            }
            bytes += entry->Size();
        }
        const auto start = Clock::now();
        if (!index.Save()) {
            (void)std::fprintf(stderr, "qm_store_bench: cannot save the index\n");
            return 1;
        }
        storing += Clock::now() - start;
    }
    const double seconds = Ms(storing) / 1000.0;
    (void)std::printf(
            "store:  %d messages, %.0f MB, in %.2f s: %.0f messages/s (each flushed to disk; index saved once)\n",
            count, static_cast<double>(bytes) / 1e6, seconds, count / seconds);

    // The same messages stored in batches of 64, as a fetch stores them: one sync of the data and of each folder per
    // batch, the index saved once.
    {
        const std::string batchDir = userDir + "-batched";
        for (const char* folder : {"Inbox", "Work"}) {
            if (!qm::platform::MakeDirectories(qm::platform::PathJoin(batchDir, folder)).has_value()) {
                (void)std::fprintf(stderr, "qm_store_bench: cannot create %s\n", folder);
                return 1;
            }
        }
        std::mt19937 again(4711); // NOLINT(cert-msc51-cpp): the same messages as above
        Clock::duration took{};
        MessageIndex index(batchDir);
        qm::store::StoreBatch batch;
        for (int i = 0; i < count; ++i) {
            const auto size = static_cast<std::size_t>(std::exp(logSize(again)));
            const std::vector<std::string> lines =
                    qm::store::bench::GenerateMessage(again, static_cast<std::uint32_t>(i + 1), size, i % 10 == 0);
            const auto start = Clock::now();
            const bool queued = qm::store::StoreMessageLines(index, i % 5 == 4 ? "Work" : "Inbox", lines, &batch);
            const bool committed = (batch.Count() < 64 && i + 1 < count) || batch.Commit().empty();
            took += Clock::now() - start;
            if (!queued || !committed) {
                (void)std::fprintf(stderr, "qm_store_bench: batched message %d was not stored\n", i + 1);
                return 1;
            }
        }
        const auto start = Clock::now();
        if (!index.Save()) {
            (void)std::fprintf(stderr, "qm_store_bench: cannot save the batched index\n");
            return 1;
        }
        took += Clock::now() - start;
        (void)std::printf("store:  %d messages in batches of 64, in %.2f s: %.0f messages/s (%d syncs)\n", count,
                          Ms(took) / 1000.0, count / (Ms(took) / 1000.0), batch.SyncCalls());
        (void)qm::platform::DeleteDirectoryTree(batchDir);
    }

    // What the disk alone allows: files of the same sizes written, flushed, renamed into a folder and the folder
    // synced, which is the least that storing a message durably takes.
    {
        const int files = std::min(count, 2000);
        const std::string folder = qm::platform::PathJoin(userDir, "Disk");
        if (!qm::platform::MakeDirectories(folder).has_value()) {
            (void)std::fprintf(stderr, "qm_store_bench: cannot create %s\n", folder.c_str());
            return 1;
        }
        std::mt19937 sizes(4711); // NOLINT(cert-msc51-cpp): the sizes the store got
        const auto start = Clock::now();
        for (int i = 0; i < files; ++i) {
            const std::string temp = qm::platform::PathJoin(userDir, ".disk.tmp");
            const std::string data(static_cast<std::size_t>(std::exp(logSize(sizes))), 'x');
            if (!qm::platform::WriteFileSynced(temp, data).has_value() ||
                !qm::platform::MoveNoReplace(temp, qm::platform::PathJoin(folder, std::to_string(i))).has_value()) {
                (void)std::fprintf(stderr, "qm_store_bench: cannot write a file\n");
                return 1;
            }
            qm::platform::SyncDirectory(folder);
        }
        (void)std::printf(
                "disk:   the same sizes without the store (write, flush, rename, folder sync): %.0f files/s\n",
                files / (Ms(Clock::now() - start) / 1000.0));
    }

    std::vector<double> load;
    std::vector<double> sort;
    std::vector<double> select;
    std::vector<double> page;
    std::vector<double> total;
    int visible = 0;
    std::size_t shown = 0;
    for (int round = 0; round < kRounds; ++round) {
        const auto t0 = Clock::now();
        MessageIndex index(userDir);
        const auto t1 = Clock::now();
        index.Sort("RevDate", 0);
        const auto t2 = Clock::now();
        index.SelectView("Inbox", "", "");
        const auto t3 = Clock::now();
        // The first page: its entries' texts as the List page reads them, and the page number it clamps to.
        shown = 0;
        int i = index.FirstVisible();
        for (int n = 0; n < kPerPage && i >= 0; ++n, i = index.NextVisible(i)) {
            const qm::store::MessageIndexEntry& e = *index.Entry(i);
            shown += e.From().size() + e.Subject().size() + static_cast<std::size_t>(e.Size() > 0);
        }
        const int lastPage = index.PageOf(index.LastVisible(), kPerPage);
        const auto t4 = Clock::now();
        visible = index.CountVisible();
        if (lastPage < 1 || shown == 0) {
            (void)std::fprintf(stderr, "qm_store_bench: the page came out empty\n");
            return 1;
        }
        load.push_back(Ms(t1 - t0));
        sort.push_back(Ms(t2 - t1));
        select.push_back(Ms(t3 - t2));
        page.push_back(Ms(t4 - t3));
        total.push_back(Ms(t4 - t0));
    }
    (void)std::printf("list:   %d entries, %d in Inbox; median of %d rounds: load %.2f ms, Sort(RevDate) %.2f ms, "
                      "SelectView %.2f ms, page of %d %.3f ms; together %.2f ms\n",
                      count, visible, kRounds, Median(load), Median(sort), Median(select), kPerPage, Median(page),
                      Median(total));

    MessageIndex index(userDir);
    std::vector<double> perCall;
    for (int round = 0; round < kRounds; ++round) {
        constexpr int kCalls = 1000;
        const auto start = Clock::now();
        for (int n = 0; n < kCalls; ++n) {
            if (index.NextNumber() == 0) {
                (void)std::fprintf(stderr, "qm_store_bench: no number left\n");
                return 1;
            }
        }
        perCall.push_back(Ms(Clock::now() - start) * 1000.0 / kCalls);
    }
    (void)std::printf("number: NextNumber with %d entries: %.2f us per call (median of %d rounds of 1000)\n",
                      index.Count(), Median(perCall), kRounds);
    return 0;
}
