#include "cli/JsonOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <QJsonDocument>
#include <QString>

namespace quorvel {

namespace {

void writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a closed pipe: the reader has gone
        done += static_cast<size_t>(n);
    }
}

}  // namespace

QString qtext(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

int StdoutDiversion::start(LineHandler handler) {
    std::fflush(stdout);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    saved_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved_ < 0 || ::dup2(fds[1], STDOUT_FILENO) < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        if (saved_ >= 0) ::close(saved_);
        saved_ = -1;
        return -1;
    }
    ::close(fds[1]);
    reader_ = fds[0];
    thread_ = std::thread([fd = reader_, handler = std::move(handler)] {
        std::string pending;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
                handler(pending.substr(0, end));
        }
        if (!pending.empty()) handler(pending);
    });
    return saved_;
}

void StdoutDiversion::stop() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    // Replacing fd 1 closes the pipe's last writer: the reader sees its end.
    ::dup2(saved_, STDOUT_FILENO);
    if (thread_.joinable()) thread_.join();
    ::close(reader_);
    reader_ = -1;
    ::close(saved_);
    saved_ = -1;
}

JsonOutput::JsonOutput() {
    std::fflush(stdout);
    out_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    // Without a diversion the events still reach standard output, with the
    // engines' lines mixed in.
    diversion_.start([this](const std::string& text) { line(text); });
}

JsonOutput::~JsonOutput() {
    diversion_.stop();
    if (out_ >= 0) ::close(out_);
}

void JsonOutput::write(const QJsonObject& object) {
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact);
    writeAll(out_, std::string(bytes.constData(), static_cast<size_t>(bytes.size())) + "\n");
}

void JsonOutput::event(const char* name, QJsonObject fields) {
    QJsonObject object{{"event", name}};
    for (auto it = fields.begin(); it != fields.end(); ++it) object.insert(it.key(), it.value());
    std::lock_guard lock(mutex_);
    write(object);
}

void JsonOutput::result(bool ok, const std::string& message) {
    diversion_.stop();  // every earlier line, and its event, first
    std::lock_guard lock(mutex_);
    if (done_) return;
    done_ = true;
    write(QJsonObject{{"event", "result"}, {"ok", ok}, {"message", qtext(message)}});
}

void JsonOutput::progress(UpgradePhase phase, int64_t percent) {
    event("progress", QJsonObject{{"phase", phase == UpgradePhase::loader ? "loader" : "firmware"},
                                  {"percent", static_cast<qint64>(percent)}});
}

void JsonOutput::line(const std::string& text) { writeAll(STDERR_FILENO, text + "\n"); }

}  // namespace quorvel
