// The one widget application of a GUI test process, on the offscreen platform unless one is chosen. It is made
// before the first test and deleted after the last, while the process can still tear Qt down in order.
#pragma once

#include <QApplication>

#include <gtest/gtest.h>

#include <memory>

namespace qm::gui::test {

class GuiTestEnvironment final : public ::testing::Environment {
public:
    void SetUp() override { App(); }
    void TearDown() override { Holder().reset(); }

    static QApplication& App()
    {
        if (!Holder()) {
            if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
                qputenv("QT_QPA_PLATFORM", "offscreen");
            }
            Holder() = std::make_unique<QApplication>(s_argc, s_argv);
        }
        return *Holder();
    }

private:
    static std::unique_ptr<QApplication>& Holder()
    {
        static std::unique_ptr<QApplication> app;
        return app;
    }
    static inline int s_argc = 1;
    static inline char s_name[] = "gui_tests";
    static inline char* s_argv[] = {s_name, nullptr};
};

inline QApplication& GuiTestApp()
{
    return GuiTestEnvironment::App();
}

inline const bool g_guiTestEnvironment = (::testing::AddGlobalTestEnvironment(new GuiTestEnvironment), true);

} // namespace qm::gui::test
