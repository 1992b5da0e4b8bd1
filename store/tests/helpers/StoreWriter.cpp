// A writer for the store's crash test: in the user directory given, first adopts the folder files as a new session
// does (scratch copies in the scratch directory given), then stores messages (plain ones and ones with an
// attachment) into two folders, deletes and moves some, and saves the index after each step, until it is killed
// or has done the number of steps given. Prints "ready" once it runs and one line per finished step.
// Usage: qm_store_writer <user directory> <scratch directory> <seed> <steps>
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "store/FolderList.h"
#include "store/MessageBuilder.h"
#include "store/MessageIndex.h"
#include "store/bench/GeneratedMessage.h"

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using qm::store::MessageIndex;
using qm::store::MessageIndexEntry;

constexpr const char* kFolders[] = {"Inbox", "Work/Projects"};
// Deletes keep the index near this size however many runs share the directory.
constexpr int kCrowded = 24;

// Says what failed; the exit code for main.
int Fail(const char* what, std::uint32_t number)
{
    (void)std::fprintf(stderr, "qm_store_writer: %s (message %u)\n", what, static_cast<unsigned>(number));
    return 2;
}

void Report(const char* step, std::uint32_t number)
{
    (void)std::printf("%s %u\n", step, static_cast<unsigned>(number));
    (void)std::fflush(stdout);
}

// A random entry that has a folder, or null.
MessageIndexEntry* PickFiled(MessageIndex& index, std::mt19937& rng)
{
    std::vector<MessageIndexEntry*> filed;
    for (int i = 0; i < index.Count(); ++i) {
        if (!index.Entry(i)->Folder().empty()) {
            filed.push_back(index.Entry(i));
        }
    }
    if (filed.empty()) {
        return nullptr;
    }
    return filed[std::uniform_int_distribution<std::size_t>(0, filed.size() - 1)(rng)];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        (void)std::fprintf(stderr, "usage: qm_store_writer <user directory> <scratch directory> <seed> <steps>\n");
        return 1;
    }
    const std::string userDir = argv[1];
    const std::string scratchDir = argv[2];
    std::mt19937 rng(static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)));
    const long steps = std::strtol(argv[4], nullptr, 10);
    for (const char* folder : kFolders) {
        if (!qm::platform::MakeDirectories(qm::platform::PathJoin(userDir, folder)).has_value()) {
            return Fail("cannot create the folders", 0);
        }
    }
    MessageIndex index(userDir);
    (void)std::printf("ready\n");
    (void)std::fflush(stdout);

    {
        const qm::store::FolderList folders(userDir, "en");
        index.AdoptFolderFiles(folders, scratchDir, qm::store::RestoreMessageFile);
        if (!index.Save()) {
            return Fail("save after adoption failed", 0);
        }
        Report("adopted", static_cast<std::uint32_t>(index.Count()));
    }

    std::uniform_int_distribution<int> dice(0, 9);
    for (long step = 0; step < steps; ++step) {
        const int roll = dice(rng);
        MessageIndexEntry* filed = roll < 4 || index.Count() >= kCrowded ? PickFiled(index, rng) : nullptr;
        if (filed != nullptr && (roll < 2 || index.Count() >= kCrowded)) {
            const std::uint32_t number = filed->Number();
            if (index.DeleteEntry(filed) == MessageIndex::DeleteOutcome::Failed) {
                return Fail("delete failed", number);
            }
            if (!index.Save()) {
                return Fail("save after a delete failed", number);
            }
            Report("deleted", number);
        } else if (filed != nullptr) {
            const std::string dest = filed->Folder() == kFolders[0] ? kFolders[1] : kFolders[0];
            if (!filed->MoveToFolder(dest)) {
                return Fail("move failed", filed->Number());
            }
            if (!index.Save()) {
                return Fail("save after a move failed", filed->Number());
            }
            Report("moved", filed->Number());
        } else {
            const bool attachment = dice(rng) < 3;
            const std::size_t bytes = std::uniform_int_distribution<std::size_t>(200, 24000)(rng);
            const std::vector<std::string> lines =
                    qm::store::bench::GenerateMessage(rng, index.PeekNextNumber(), bytes, attachment);
            MessageIndexEntry* entry = qm::store::StoreMessageLines(index, kFolders[dice(rng) % 2], lines);
            if (entry == nullptr || !entry->HasFlag(qm::store::MessageFlag::Stored)) {
                return Fail("store failed", entry == nullptr ? 0 : entry->Number());
            }
            if (!index.Save()) {
                return Fail("save after a store failed", entry->Number());
            }
            Report("stored", entry->Number());
        }
    }
    return 0;
}
