// What the window asks of the user, each behind a small seam so that tests
// can answer without a person: modal alerts, the confirmation sheet and the
// firmware-file chooser. The Qt implementations are the program's defaults.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <QPointer>
#include <QString>

#include "model/Alert.h"

class QFileDialog;
class QWidget;

namespace quorvel {

class UiQueue;

// Shows one alert on the interface thread and returns once it is acknowledged.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    virtual void present(const std::string& title, const std::string& text, AlertStyle style) = 0;
};

// An application-modal QMessageBox with one "OK" over the active window.
class MessageBoxAlertPresenter : public AlertPresenter {
public:
    void present(const std::string& title, const std::string& text, AlertStyle style) override;
};

// The process's alert sink in the desktop program. Alerts raised on another
// thread (an engine on the upgrade worker) are shown on the interface thread
// while the raising thread waits for the user's "OK", so the flow goes on in
// the order the user saw. Create on the interface thread.
class QtAlertSink : public AlertSink {
public:
    explicit QtAlertSink(std::shared_ptr<AlertPresenter> presenter);
    ~QtAlertSink() override;
    void alert(const std::string& title, const std::string& text, AlertStyle style) override;
    // Stops handing alerts to the interface thread (they are printed instead).
    void close();

private:
    std::shared_ptr<AlertPresenter> presenter_;
    std::shared_ptr<UiQueue> queue_;
};

// The "CAUTION" confirmation: `done(true)` for "OK", `done(false)` otherwise,
// called on the interface thread after the sheet has closed.
class ConfirmationSheet {
public:
    virtual ~ConfirmationSheet() = default;
    virtual void present(QWidget* window, const QString& message, const QString& informativeText,
                         std::function<void(bool confirmed)> done) = 0;
};

// A window-modal QMessageBox with "OK" then "Cancel"; returns at once.
class WindowModalSheet : public ConfirmationSheet {
public:
    void present(QWidget* window, const QString& message, const QString& informativeText,
                 std::function<void(bool confirmed)> done) override;
};

// Asks for one existing "*.bin" file; `done` gets its local path, or nothing
// when the user cancelled. Must not block the window.
class FileChooser {
public:
    virtual ~FileChooser() = default;
    virtual void choose(QWidget* parent, std::function<void(std::optional<QString> path)> done) = 0;
};

// QFileDialog, non-modal, starting in the home folder, filtered to *.bin.
class DialogFileChooser : public FileChooser {
public:
    void choose(QWidget* parent, std::function<void(std::optional<QString> path)> done) override;

private:
    QPointer<QFileDialog> open_;
};

}  // namespace quorvel
