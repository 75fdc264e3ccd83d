#include "model/Alert.h"

#include <cstdio>
#include <mutex>

namespace quorvel {

namespace {
std::mutex sinkMutex;
std::shared_ptr<AlertSink>& currentSink() {
    static std::shared_ptr<AlertSink> sink = std::make_shared<PrintingAlertSink>();
    return sink;
}
}  // namespace

void PrintingAlertSink::alert(const std::string& title, const std::string& text, AlertStyle) {
    std::string line = title + ": " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

std::shared_ptr<AlertSink> setAlertSink(std::shared_ptr<AlertSink> sink) {
    std::lock_guard lock(sinkMutex);
    if (!sink) sink = std::make_shared<PrintingAlertSink>();
    auto previous = currentSink();
    currentSink() = std::move(sink);
    return previous;
}

std::shared_ptr<AlertSink> alertSink() {
    std::lock_guard lock(sinkMutex);
    return currentSink();
}

}  // namespace quorvel
