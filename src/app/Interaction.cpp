#include "app/Interaction.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

#include "app/UiQueue.h"

namespace quorvel {

namespace {
QMessageBox::Icon iconOf(AlertStyle style) {
    switch (style) {
    case AlertStyle::informational: return QMessageBox::Information;
    case AlertStyle::critical: return QMessageBox::Critical;
    case AlertStyle::warning: break;
    }
    return QMessageBox::Warning;
}
}  // namespace

void MessageBoxAlertPresenter::present(const std::string& title, const std::string& text, AlertStyle style) {
    QMessageBox box(iconOf(style), QString::fromStdString(title), QString::fromStdString(title), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setInformativeText(QString::fromStdString(text));
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

QtAlertSink::QtAlertSink(std::shared_ptr<AlertPresenter> presenter)
    : presenter_(std::move(presenter)), queue_(UiQueue::create()) {}

QtAlertSink::~QtAlertSink() { queue_->close(); }

void QtAlertSink::close() { queue_->close(); }

void QtAlertSink::alert(const std::string& title, const std::string& text, AlertStyle style) {
    const bool shown =
        queue_->runAndWait([presenter = presenter_, title, text, style] { presenter->present(title, text, style); });
    if (!shown) PrintingAlertSink().alert(title, text, style);
}

void WindowModalSheet::present(QWidget* window, const QString& message, const QString& informativeText,
                               std::function<void(bool confirmed)> done) {
    auto* box = new QMessageBox(window);
    box->setObjectName(QStringLiteral("confirmationSheet"));
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(message);
    box->setText(message);
    box->setInformativeText(informativeText);
    QPushButton* ok = box->addButton(QMessageBox::Ok);
    box->addButton(QMessageBox::Cancel);
    box->setDefaultButton(ok);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::finished, box,
                     [box, ok, done = std::move(done)](int) { done(box->clickedButton() == ok); });
    box->open();
}

void DialogFileChooser::choose(QWidget* parent, std::function<void(std::optional<QString> path)> done) {
    if (open_) {  // one panel at a time
        open_->raise();
        open_->activateWindow();
        return;
    }
    auto* dialog = new QFileDialog(parent, QStringLiteral("Select corresponding firmware file"), QDir::homePath(),
                                   QStringLiteral("Firmware files (*.bin)"));
    dialog->setObjectName(QStringLiteral("firmwareFileDialog"));
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setWindowModality(Qt::NonModal);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, done = std::move(done)](int result) {
        const QStringList files = dialog->selectedFiles();
        if (result == QDialog::Accepted && !files.isEmpty()) done(files.first());
        else done(std::nullopt);
    });
    open_ = dialog;
    dialog->show();
}

}  // namespace quorvel
