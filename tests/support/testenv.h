// Common set-up for tests that build a client: offscreen platform, settings
// in a throw-away folder, and answers to modal dialogs.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>

namespace testenv {

// Call before QApplication exists (see PELLORA_TEST_MAIN).
void prepare();

// Runs `action` on the next modal widget that appears within `timeoutMs`.
// Returns at once; the action runs from the event loop.
void whenModal(std::function<void(QWidget*)> action, int timeoutMs = 5000);

} // namespace testenv

#define PELLORA_TEST_MAIN(TestClass)                                                                         \
    int main(int argc, char** argv)                                                                          \
    {                                                                                                        \
        testenv::prepare();                                                                                  \
        QApplication app(argc, argv);                                                                        \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                             \
        TestClass tc;                                                                                        \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }
