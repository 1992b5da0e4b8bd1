// The open-file chooser: description|patterns filter pairs, a proposed name and a default extension, existing
// files only.
#include "gui/ctrl/CommonDialogs.h"
#include "gui/ctrl/tests/CtrlTestSupport.h"
#include "testsupport/TempDir.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>

namespace qm::gui {
namespace {

using ChooserTest = test::CtrlTest;

// Runs act on the chooser once it is open (looking every few milliseconds); once patience runs out, closes every
// modal window still open, so that a chooser that does not end as expected fails the test instead of hanging it.
class TChooserDriver {
public:
    explicit TChooserDriver(std::function<void(QFileDialog&)> act)
        : m_act(std::move(act))
        , m_deadline(std::chrono::steady_clock::now() + qm::test::kPatience)
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start(10);
    }

    bool Acted() const { return m_acted; }

private:
    void Poll()
    {
        auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!m_acted && chooser != nullptr) {
            m_acted = true;
            m_act(*chooser);
        } else if (std::chrono::steady_clock::now() > m_deadline) {
            // Whatever is still open (the chooser refusing a name, its note) is closed, so the test ends.
            if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                modal->reject();
            }
        }
    }

    std::function<void(QFileDialog&)> m_act;
    std::chrono::steady_clock::time_point m_deadline;
    QTimer m_timer;
    bool m_acted = false;
};

// Types name into the chooser's file name field and presses its Open button, as a user would.
void TypeAndOpen(QFileDialog& chooser, const QString& name)
{
    auto* field = chooser.findChild<QLineEdit*>("fileNameEdit");
    auto* buttons = chooser.findChild<QDialogButtonBox*>("buttonBox");
    ASSERT_NE(field, nullptr);
    ASSERT_NE(buttons, nullptr);
    field->setText(name);
    buttons->button(QDialogButtonBox::Open)->click();
}

TEST_F(ChooserTest, TheFilterPairsTheProposedNameAndTheDefaultExtensionReachTheChooser)
{
    qm::test::TempDir dir;
    qm::test::WriteBytes(dir.Path() / "Quillmail.ini", "[Directories]\n");
    const std::string proposed = (dir.Path() / "Quillmail.ini").string();

    QStringList filters;
    QString selectedFilter;
    QString title;
    QStringList proposedFiles;
    TChooserDriver accept([&](QFileDialog& chooser) {
        filters = chooser.nameFilters();
        selectedFilter = chooser.selectedNameFilter();
        title = chooser.windowTitle();
        proposedFiles = chooser.selectedFiles();
        TypeAndOpen(chooser, "Quillmail"); // typed without its extension
    });
    const auto chosen = ChooseOpenFile(nullptr, "Find Quillmail.ini", "Ini Files (*.ini)|*.ini|All files (*.*)|*.*||",
                                       proposed, "ini");
    ASSERT_TRUE(accept.Acted());
    EXPECT_EQ(title, "Find Quillmail.ini");
    EXPECT_EQ(filters, QStringList({"Ini Files (*.ini)", "All files (*)"}));
    EXPECT_EQ(selectedFilter, "Ini Files (*.ini)");
    EXPECT_EQ(proposedFiles, QStringList({QString::fromStdString(proposed)}));
    EXPECT_EQ(chosen, proposed);

    // Without a filter to suggest it, the extension comes from the default alone.
    TChooserDriver bare([](QFileDialog& chooser) { TypeAndOpen(chooser, "Quillmail"); });
    EXPECT_EQ(ChooseOpenFile(nullptr, "Find Quillmail.ini", {}, dir.Path().string(), "ini"), proposed);
    EXPECT_TRUE(bare.Acted());
}

TEST_F(ChooserTest, AMissingFileIsNotChosenAndCancelChoosesNothing)
{
    qm::test::TempDir dir;
    bool stayedOpen = false;
    TChooserDriver missing([&](QFileDialog& chooser) {
        chooser.setDirectory(QString::fromStdString(dir.Path().string()));
        TypeAndOpen(chooser, "Absent.ini");
        // Qt tells the user the file does not exist; the chooser stays open. Close that note, then cancel.
        stayedOpen = chooser.isVisible();
        QTimer::singleShot(0, &chooser, [&chooser] {
            if (auto* note = qobject_cast<QDialog*>(QApplication::activeModalWidget()); note != &chooser && note) {
                note->reject();
            }
            chooser.reject();
        });
    });
    const auto chosen =
            ChooseOpenFile(nullptr, "Find Quillmail.ini", "Ini Files (*.ini)|*.ini||", dir.Path().string(), "ini");
    ASSERT_TRUE(missing.Acted());
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(chosen, std::nullopt);
}

TEST_F(ChooserTest, TheFolderChooserShowsFoldersOnlyAndGivesTheOneChosen)
{
    qm::test::TempDir dir;
    std::filesystem::create_directories(dir.Path() / "Quillmail");
    qm::test::WriteBytes(dir.Path() / "Quillmail.ini", "");
    QString title;
    bool foldersOnly = false;
    TChooserDriver choose([&](QFileDialog& chooser) {
        title = chooser.windowTitle();
        foldersOnly = chooser.fileMode() == QFileDialog::Directory && chooser.testOption(QFileDialog::ShowDirsOnly);
        TypeAndOpen(chooser, "Quillmail");
    });
    const auto chosen = ChooseFolder(nullptr, "Browse For Quillmail Directory", dir.Path().string());
    ASSERT_TRUE(choose.Acted());
    EXPECT_EQ(title, "Browse For Quillmail Directory");
    EXPECT_TRUE(foldersOnly);
    EXPECT_EQ(chosen, (dir.Path() / "Quillmail").string());

    TChooserDriver cancel([](QFileDialog& chooser) { chooser.reject(); });
    EXPECT_EQ(ChooseFolder(nullptr, "Browse For Quillmail Directory", dir.Path().string()), std::nullopt);
    EXPECT_TRUE(cancel.Acted());
}

} // namespace
} // namespace qm::gui
