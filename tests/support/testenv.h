// Set-up for client tests: offscreen, throw-away settings, answers to modal dialogs.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>

namespace testenv {

void prepare(); // before QApplication exists
// Runs `action`, from the event loop, on the next modal widget within `timeoutMs`; not once `owner` is gone.
void whenModal(std::function<void(QWidget*)> action, int timeoutMs = 5000, QObject* owner = nullptr);

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
